#include "app/QuillstoneApp.h"

#include <commctrl.h>

#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
#include "ui/QuillstoneDlg.h"
#include "upgrade/Download.h"
#include "upgrade/Installation.h"

BEGIN_MESSAGE_MAP(CQuillstoneApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CQuillstoneApp::CQuillstoneApp() { m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART; }

// The one application object.
CQuillstoneApp theApp;

LPCWSTR SecondInstanceText(BOOL bMarlowcastRunning) {
    return bMarlowcastRunning ? L"Quillstone Already Started !" : L"Marlowcast will be automatically restart soon!";
}

BOOL CQuillstoneApp::InitInstance() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), 0x000000FF};
    InitCommonControlsEx(&icc);

    CWinApp::InitInstance();

    // The name has no namespace prefix: one supervisor per logon session.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kSupervisorMutexName);
    const DWORD created = GetLastError();
    m_hMutex.Reset(mutex);
    if (created == ERROR_ALREADY_EXISTS) {
        m_hMutex.Reset();
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

    // An upgrade cut short by a kill or a power cut is finished or undone
    // before Marlowcast starts again from the installation folder. When that
    // cannot be done now (a file locked by somebody else), the next start
    // tries again; supervision starts all the same.
    wchar_t installDir[320] = {};
    const DWORD length = GetCurrentDirectoryW(320, installDir);
    if (length > 0 && length < 320) Installation::Recover(installDir);

    CQuillstoneDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CQuillstoneApp::ExitInstance() {
    // Closing the last handle removes the named mutex: a new supervisor can
    // start from here on.
    m_hMutex.Reset();
    WSACleanup();
    const int exitCode = CWinApp::ExitInstance();
    // The orderly shutdown is complete (tray icon removed, upgrade thread and
    // any installation ended). A download thread left inside WinINet may hold
    // a lock that a DLL's detach code takes, which would hang ExitProcess:
    // with such a thread, end without running detach code.
    if (AbandonedDownloadRunning()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
