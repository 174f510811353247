#include "framework/WinApp.h"

#include <strsafe.h>

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

BOOL CWinApp::InitInstance() {
    if (m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART) {
        // Restart only: no recovery callback, no command line of its own.
        RegisterApplicationRestart(nullptr, 0);
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
