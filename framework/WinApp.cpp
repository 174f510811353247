#include "framework/WinApp.h"

#include <shellapi.h>
#include <strsafe.h>

#include "base/EventLog.h"

namespace {
CWinApp* g_pApp = nullptr;
MessageBoxCall g_messageBox = MessageBoxW;

// The executable's file name without folder and extension.
void ExecutableBaseName(wchar_t* out, size_t cch) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    StringCchCopyW(out, cch, name);
    wchar_t* dot = wcsrchr(out, L'.');
    if (dot) *dot = 0;
}
}  // namespace

CWinApp::CWinApp(LPCWSTR lpszAppName) {
    if (lpszAppName) {
        StringCchCopyW(m_szAppName, MAX_PATH, lpszAppName);
    } else {
        ExecutableBaseName(m_szAppName, MAX_PATH);
    }
    m_pszAppName = m_szAppName;
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

std::wstring RestartCommandLine(const std::wstring& folder) {
    // The command line is split by the rules of CommandLineToArgvW: a run of
    // backslashes before a quote escapes it, so the root's "C:\" ends in two.
    std::wstring line = L"--working-folder \"" + folder;
    for (auto it = folder.rbegin(); it != folder.rend() && *it == L'\\'; ++it) line += L'\\';
    line += L'"';
    return folder.empty() || line.size() >= RESTART_MAX_CMD_LINE ? std::wstring() : line;
}

bool WorkingFolderArgument(LPCWSTR commandLine, std::wstring* folder) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    if (!args) return false;
    bool found = false;
    for (int i = 1; i + 1 < count && !found; ++i) {
        if (wcscmp(args[i], L"--working-folder") == 0 && args[i + 1][0]) {
            *folder = args[i + 1];
            found = true;
        }
    }
    LocalFree(args);
    return found;
}

BOOL CWinApp::InitInstance() {
    // A restart by Windows comes back in another working folder, with only
    // the command line registered below: the folder is taken from it before
    // anything looks at the working folder.
    std::wstring folder;
    if (WorkingFolderArgument(GetCommandLineW(), &folder) && !SetCurrentDirectoryW(folder.c_str())) {
        LogLastError(L"The working folder %ls cannot be entered", folder.c_str());
    }
    if (m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART) {
        // Restart only, no recovery callback; restarted, the program comes back
        // in the folder it works in now.
        wchar_t current[MAX_PATH] = {};
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
        const std::wstring line = RestartCommandLine(length && length < MAX_PATH ? current : L"");
        RegisterApplicationRestart(line.empty() ? nullptr : line.c_str(), 0);
    }
    return TRUE;
}

int CWinApp::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

void CWinApp::SetRegistryKey(LPCWSTR lpszRegistryKey) {
    StringCchCopyW(m_szRegistryKey, 64, lpszRegistryKey);
    m_pszRegistryKey = m_szRegistryKey;
}

CWinApp* AfxGetApp() { return g_pApp; }

CWnd* AfxGetMainWnd() { return g_pApp ? g_pApp->m_pMainWnd : nullptr; }

int AfxMessageBox(LPCWSTR lpszText, UINT nType, UINT /*nIDHelp*/) {
    if ((nType & MB_ICONMASK) == 0) nType |= MB_ICONEXCLAMATION;
    CWnd* pMain = AfxGetMainWnd();
    HWND hOwner = pMain ? pMain->m_hWnd : nullptr;
    LPCWSTR caption = g_pApp ? g_pApp->m_pszAppName : nullptr;
    return g_messageBox(hOwner, lpszText, caption, nType);
}

void AfxSetMessageBoxCall(MessageBoxCall call) { g_messageBox = call ? call : MessageBoxW; }

int AfxWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
