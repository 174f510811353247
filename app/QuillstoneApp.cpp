#include "app/QuillstoneApp.h"

#include <commctrl.h>

#include "base/EventLog.h"
#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
#include "ui/QuillstoneDlg.h"
#include "quillstone_version.h"
#include "upgrade/Download.h"

BEGIN_MESSAGE_MAP(CQuillstoneApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CQuillstoneApp::CQuillstoneApp() { m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART; }

// The one application object.
CQuillstoneApp theApp;

LPCWSTR SecondInstanceText(BOOL bMarlowcastRunning) {
    return bMarlowcastRunning ? L"Quillstone Already Started !" : L"Marlowcast will be automatically restart soon!";
}

namespace {

// Where this start runs from: what an administrator needs to match the log
// with an installation.
void LogStart() {
    wchar_t module[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring folder(module, length > 0 && length < MAX_PATH ? length : 0);
    const size_t slash = folder.rfind(L'\\');
    folder.resize(slash == std::wstring::npos ? 0 : slash);
    wchar_t current[MAX_PATH] = {};
    const DWORD currentLength = GetCurrentDirectoryW(MAX_PATH, current);
    if (currentLength >= MAX_PATH) current[0] = L'\0';
    LogEvent(L"Quillstone %hs started: process id %lu, executable folder %ls, working folder %ls",
             QUILLSTONE_VERSION_TEXT, GetCurrentProcessId(), folder.c_str(), current);
}

}  // namespace

BOOL CQuillstoneApp::InitInstance() {
    // First: a restart by Windows names the working folder on the command line.
    CWinApp::InitInstance();
    LogStart();

    INITCOMMONCONTROLSEX icc = {sizeof(icc), 0x000000FF};
    InitCommonControlsEx(&icc);

    // The name has no namespace prefix: one supervisor per logon session.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kSupervisorMutexName);
    const DWORD created = GetLastError();
    m_hMutex.Reset(mutex);
    // A first instance that runs elevated, or with another account's rights,
    // holds a mutex this one may not open: access denied is another instance
    // as surely as "already exists".
    const bool deniedToUs = !mutex && created == ERROR_ACCESS_DENIED;
    if (created == ERROR_ALREADY_EXISTS || deniedToUs) {
        m_hMutex.Reset();
        const BOOL marlowcastRunning = IsMarlowcastRunning();
        LogEvent(L"Second instance refused: another Quillstone runs in this logon%ls (Marlowcast %ls)",
                 deniedToUs ? L", with rights that keep its instance mutex from us" : L"",
                 marlowcastRunning ? L"runs" : L"does not run");
        AfxMessageBox(SecondInstanceText(marlowcastRunning), MB_OK, 0);
        return FALSE;
    }

    // Replaces the whole error mode. Marlowcast inherits it, so a crash there
    // ends its process at once instead of waiting on a dialog nobody answers.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);

    if (const int error = WSAStartup(MAKEWORD(2, 2), &m_wsaData)) {
        LogEvent(L"Winsock 2.2 failed to start: error %d (%ls)", error, ErrorText(error).c_str());
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
    // Closing the last handle removes the named mutex: a new supervisor can
    // start from here on.
    m_hMutex.Reset();
    WSACleanup();
    LogEvent(L"Quillstone exits: process id %lu", GetCurrentProcessId());
    const int exitCode = CWinApp::ExitInstance();
    // The orderly shutdown is complete (tray icon removed, upgrade thread and
    // any installation ended). A download thread left inside WinINet may hold
    // a lock that a DLL's detach code takes, which would hang ExitProcess:
    // with such a thread, end without running detach code.
    if (AbandonedDownloadRunning()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
