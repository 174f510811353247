#include "app/QuillstoneApp.h"

#include <commctrl.h>

#include "app/Messages.h"
#include "supervise/Supervise.h"
#include "ui/QuillstoneDlg.h"

BEGIN_MESSAGE_MAP(CQuillstoneApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CQuillstoneApp::CQuillstoneApp() {
    m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
    m_hMutex = nullptr;
}

// The one application object.
CQuillstoneApp theApp;

LPCWSTR SecondInstanceText(BOOL bMarlowcastRunning) {
    return bMarlowcastRunning ? L"Quillstone Already Started !"
                              : L"Marlowcast will be automatically restart soon!";
}

BOOL CQuillstoneApp::InitInstance() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), 0x000000FF};
    InitCommonControlsEx(&icc);

    CWinApp::InitInstance();

    // The name has no namespace prefix: one supervisor per logon session.
    m_hMutex = CreateMutexW(nullptr, TRUE, kSupervisorMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (m_hMutex) {
            CloseHandle(m_hMutex);
            m_hMutex = nullptr;
        }
        AfxMessageBox(SecondInstanceText(IsMarlowcastRunning()), MB_OK, 0);
        return FALSE;
    }

    // Replaces the whole error mode. Marlowcast inherits it, so a crash there
    // ends its process at once instead of waiting on a dialog nobody answers.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);

    if (WSAStartup(MAKEWORD(2, 2), &m_wsaData) != 0) {
        AfxMessageBox(L"Netwok Library Start Failed!", MB_OK, 0);
    }

    SetRegistryKey(L"Quillstone");

    CQuillstoneDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CQuillstoneApp::ExitInstance() {
    if (m_hMutex) {
        CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
    WSACleanup();
    return CWinApp::ExitInstance();
}
