#pragma once
// The application object and the process entry it is run from.

#include <string>

#include "framework/Wnd.h"

constexpr DWORD AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;
constexpr UINT ID_HELP = 0xE146;

class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    // InitInstance enters the folder given by `--working-folder`, then
    // registers for restart with the restart manager when asked, with that
    // argument naming the working folder.
    // Returning FALSE skips the message pump; ExitInstance's result is the
    // process exit code either way.
    virtual BOOL InitInstance();
    virtual int ExitInstance() { return 0; }
    virtual int Run();

    void SetRegistryKey(LPCWSTR lpszRegistryKey);
    void OnHelp() {}  // there is no help file

    CWnd* m_pMainWnd = nullptr;
    LPCWSTR m_pszAppName = nullptr;      // executable name without extension by default
    LPCWSTR m_pszRegistryKey = nullptr;  // HKCU\Software\<key>; nothing is stored there
    DWORD m_dwRestartManagerSupportFlags = 0;

private:
    wchar_t m_szAppName[MAX_PATH] = {};
    wchar_t m_szRegistryKey[64] = {};
};

// The arguments a restart by Windows starts the program with:
// `--working-folder "<folder>"`, quoted so that CommandLineToArgvW gives the
// folder back whole; empty when there is no folder or the line would exceed
// what Windows keeps for a restart.
std::wstring RestartCommandLine(const std::wstring& folder);
// The folder named by `--working-folder` in a full command line (program
// name first); false when there is none.
bool WorkingFolderArgument(LPCWSTR commandLine, std::wstring* folder);

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// A modal box with OK, the exclamation icon unless another icon is asked
// for, and the application's name as caption.
int AfxMessageBox(LPCWSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
// For tests: the call AfxMessageBox makes (owner, text, caption, type), so
// that a test sees the type a box was asked for, which the platform may not
// show in the box's window; null goes back to MessageBoxW.
using MessageBoxCall = int(WINAPI*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
void AfxSetMessageBoxCall(MessageBoxCall call);

// Called by the process entry (wWinMain): sets the application up and runs it.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);
