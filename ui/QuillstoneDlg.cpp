#include "ui/QuillstoneDlg.h"

#include <strsafe.h>

#include <cstring>

#include "app/Globals.h"
#include "app/Messages.h"
#include "supervise/Supervise.h"
#include "ui/PostedText.h"

namespace {

// The shutdown may run from inside the modal loop of a box we own (the
// upgrade result, the About box): the dialog cannot end before that loop
// returns, and nobody may be there to press OK. Close them as OK would.
BOOL CALLBACK CloseOwnedDialog(HWND hWnd, LPARAM lParam) {
    wchar_t cls[16] = {};
    if (GetWindow(hWnd, GW_OWNER) == reinterpret_cast<HWND>(lParam) && GetClassNameW(hWnd, cls, 16) &&
        wcscmp(cls, L"#32770") == 0) {
        PostMessageW(hWnd, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

}  // namespace

// A worker that is starting may not have its message queue yet; give it this
// long to make one before the first thread message is posted to it.
static constexpr DWORD kThreadQueueWaitMs = 5000;

// GetProcAddress returns a generic function pointer; this gives it its type.
template <typename Fn>
static void LookUp(HMODULE hModule, const char* name, Fn* pfn) {
    *pfn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, name)));
}

BEGIN_MESSAGE_MAP(CQuillstoneDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_MESSAGE(WM_SV_HIDE_TO_TRAY, OnHideToTray)
    ON_MESSAGE(WM_SV_QUIT, OnQuit)
    ON_MESSAGE(WM_SV_UPGRADE, FetchUpgradeList)
    ON_MESSAGE(WM_SV_UPGRADE_DONE, OnUpgradeDone)
    ON_COMMAND(ID_CONTROL_ABOUT, OnControlAbout)
    ON_COMMAND(ID_CONTROL_EXIT, OnControlExit)
    ON_WM_TIMER()
    ON_MESSAGE(WM_APP_SET_ITEM_TEXT, OnSetItemText)
    ON_MESSAGE(WM_APP_CHECK_TIMER, OnCheckTimerRequest)
END_MESSAGE_MAP()

CQuillstoneDlg::CQuillstoneDlg(CWnd* pParent)
    : CDialog(IDD_MAIN_DIALOG, pParent),
      m_pUpgradeWnd(nullptr),
      m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_nid{},
      m_bTrayIcon(0),
      m_nCheckTimer(0),
      m_nFailCount(0),
      m_hWatchThread(nullptr),
      m_hUpgradeThread(nullptr),
      m_dwWatchThreadId(0),
      m_bUpgrading(0),
      m_si{},
      m_pi{},
      m_hWatchedWnd(nullptr),
      m_hUser32(nullptr),
      m_pfnIsHungAppWindow(nullptr),
      m_pfnIsHungThread(nullptr) {
    std::memset(g_szUpgradeList, 0, sizeof(g_szUpgradeList));
}

CQuillstoneDlg::~CQuillstoneDlg() = default;

BOOL CQuillstoneDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    HMENU hSysMenu = GetSystemMenu(FALSE);
    if (hSysMenu) {
        wchar_t about[128] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 128) > 0) {
            CMenu menu(hSysMenu);
            menu.AppendMenu(MF_SEPARATOR);
            menu.AppendMenu(MF_STRING, IDM_ABOUTBOX, about);
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    g_bRunning = 1;

    // No taskbar button, no Alt+Tab entry.
    LONG_PTR exStyle = GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, (exStyle & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);

    WINDOWPLACEMENT wp = {};
    wp.length = sizeof(wp);
    GetWindowPlacement(m_hWnd, &wp);
    wp.length = sizeof(wp);
    wp.flags = WPF_RESTORETOMAXIMIZED;
    wp.showCmd = SW_HIDE;
    SetWindowPlacement(m_hWnd, &wp);

    PostMessage(WM_SV_HIDE_TO_TRAY, 0, 0);

    m_hUser32 = LoadLibraryW(L"USER32.DLL");
    if (m_hUser32) {
        LookUp(m_hUser32, "IsHungAppWindow", &m_pfnIsHungAppWindow);
        if (!m_pfnIsHungAppWindow) LookUp(m_hUser32, "IsHungThread", &m_pfnIsHungThread);
    }

    // The watch thread signals once its message queue exists, so that no
    // check or quit message posted to it can be lost.
    HANDLE hQueueReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WatchThreadStart start = {this, hQueueReady};
    m_hWatchThread = CreateThread(nullptr, 0, WatchThreadProc, &start, 0, &m_dwWatchThreadId);
    if (!m_hWatchThread) {
        if (hQueueReady) CloseHandle(hQueueReady);
        AfxMessageBox(L"Create Check Marlowcast Thread Failed!", MB_OK, 0);
        return FALSE;
    }
    if (hQueueReady) {
        WaitForSingleObject(hQueueReady, kThreadQueueWaitMs);
        CloseHandle(hQueueReady);
    }

    LaunchMarlowcast();
    m_nFailCount = 0;
    return TRUE;
}

void CQuillstoneDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == ID_TIMER_CHECK && m_hWatchThread) {
        PostThreadMessageW(m_dwWatchThreadId, WM_SV_CHECK, 0, 0);
    }
    CDialog::OnTimer(nIDEvent);
}

LRESULT CQuillstoneDlg::OnQuit(WPARAM, LPARAM) {
    OnOK();
    return 0;
}

void CQuillstoneDlg::OnControlExit() { OnOK(); }

// Escape and WM_CLOSE must not end the dialog without the shutdown: the
// workers would outlive the window object they use.
void CQuillstoneDlg::OnCancel() { OnOK(); }

void CQuillstoneDlg::OnOK() {
    g_bRunning = 0;

    StopCheckTimer();

    if (m_hWatchThread) {
        PostThreadMessageW(m_dwWatchThreadId, WM_SV_QUIT, 0, 0);
        WaitForSingleObject(m_hWatchThread, INFINITE);
        CloseHandle(m_hWatchThread);
        m_hWatchThread = nullptr;
    }
    if (m_hUpgradeThread) {
        WaitForSingleObject(m_hUpgradeThread, INFINITE);
        CloseHandle(m_hUpgradeThread);
        m_hUpgradeThread = nullptr;
    }
    // A restart may have asked for the timer again while we waited.
    StopCheckTimer();
    DiscardPostedTexts(m_hWnd, WM_APP_SET_ITEM_TEXT);

    if (m_bTrayIcon) {
        Shell_NotifyIconW(NIM_DELETE, &m_nid);
        m_bTrayIcon = 0;
    }
    if (m_hUser32) {
        FreeLibrary(m_hUser32);
        m_hUser32 = nullptr;
    }
    DestroyUpgradeWindow();
    EnumThreadWindows(GetCurrentThreadId(), CloseOwnedDialog, reinterpret_cast<LPARAM>(m_hWnd));

    // Marlowcast keeps running; only our handles to it go.
    if (m_pi.hProcess) CloseHandle(m_pi.hProcess);
    if (m_pi.hThread) CloseHandle(m_pi.hThread);
    m_pi.hProcess = nullptr;
    m_pi.hThread = nullptr;

    CDialog::OnOK();
}

bool CQuillstoneDlg::IsUiThread() const {
    return m_hWnd && GetWindowThreadProcessId(m_hWnd, nullptr) == GetCurrentThreadId();
}

void CQuillstoneDlg::SetItemTextFromAnyThread(int nID, LPCWSTR text) {
    if (IsUiThread()) {
        SetDlgItemText(nID, text);
    } else {
        PostTextCopy(m_hWnd, WM_APP_SET_ITEM_TEXT, static_cast<WPARAM>(nID), text);
    }
}

LRESULT CQuillstoneDlg::OnSetItemText(WPARAM wParam, LPARAM lParam) {
    PostedText text(lParam);
    SetDlgItemText(static_cast<int>(wParam), text.Get());
    return 0;
}

void CQuillstoneDlg::SetCheckTimerFromAnyThread(bool bRun) {
    if (IsUiThread()) {
        bRun ? StartCheckTimer() : StopCheckTimer();
    } else {
        ::PostMessageW(m_hWnd, WM_APP_CHECK_TIMER, bRun ? 1 : 0, 0);
    }
}

LRESULT CQuillstoneDlg::OnCheckTimerRequest(WPARAM wParam, LPARAM) {
    // A start that arrives after the shutdown began must not revive the timer.
    if (wParam && g_bRunning) {
        StartCheckTimer();
    } else if (!wParam) {
        StopCheckTimer();
    }
    return 0;
}

void CQuillstoneDlg::StartCheckTimer() {
    m_nCheckTimer = SetTimer(m_hWnd, ID_TIMER_CHECK, kCheckPeriodMs, nullptr);
}

void CQuillstoneDlg::StopCheckTimer() {
    if (m_nCheckTimer) {
        KillTimer(m_hWnd, m_nCheckTimer);
        m_nCheckTimer = 0;
    }
}
