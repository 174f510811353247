#include "ui/QuillstoneDlg.h"

#include "base/EventLog.h"
#include "base/Protocol.h"

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

int ControlOf(SupervisorLabel label) {
    switch (label) {
        case SupervisorLabel::kProcessId: return IDC_PROCESS_ID;
        case SupervisorLabel::kThreadId: return IDC_THREAD_ID;
        case SupervisorLabel::kWindowId: return IDC_WINDOW_ID;
        case SupervisorLabel::kStartStatus: break;
    }
    return IDC_START_STATUS;
}

}  // namespace

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
    ON_MESSAGE(WM_APP_FIRST_LAUNCH, OnFirstLaunch)
END_MESSAGE_MAP()

CQuillstoneDlg::CQuillstoneDlg(CWnd* pParent)
    : CDialog(IDD_MAIN_DIALOG, pParent),
      m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_supervisor(*this, m_running) {}

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

    m_running.Start();

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

    if (!m_supervisor.Start()) {
        // The window runs on without supervision: tray, About and Exit work.
        AfxMessageBox(L"Create Check Marlowcast Thread Failed!", MB_OK, 0);
        return FALSE;
    }
    // The first launch comes after the hide above, which adds the tray icon:
    // it may take its bound recovering an installation, and Quillstone is in
    // the tray meanwhile (its menu opens once the launch is done).
    PostMessage(WM_APP_FIRST_LAUNCH, 0, 0);
    return TRUE;
}

LRESULT CQuillstoneDlg::OnFirstLaunch(WPARAM, LPARAM) {
    // Once: another program may post the same number.
    if (m_firstLaunched || !m_running.IsRunning()) return 0;
    m_firstLaunched = true;
    m_supervisor.LaunchFirst();
    return 0;
}

void CQuillstoneDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == ID_TIMER_CHECK) m_supervisor.RequestCheck();
    if (nIDEvent == ID_TIMER_UPGRADE_END) OnUpgradeDone(0, 0);
    if (nIDEvent == ID_TIMER_TRAY && m_tray.Retry()) KillTimer(m_hWnd, ID_TIMER_TRAY);
    CDialog::OnTimer(nIDEvent);
}

LRESULT CQuillstoneDlg::OnQuit(WPARAM, LPARAM) {
    m_shutdownCause = L"a quit message (WM_SV_QUIT)";
    OnOK();
    return 0;
}

void CQuillstoneDlg::OnControlExit() {
    m_shutdownCause = L"the tray menu's Exit";
    OnOK();
}

void CQuillstoneDlg::OnCancel() {
    m_shutdownCause = L"a close request (WM_CLOSE or Escape)";
    OnOK();
}

void CQuillstoneDlg::OnOK() {
    if (m_running.IsRunning()) {
        LogEvent(L"Shutting down, asked by %ls", m_shutdownCause ? m_shutdownCause : L"the window's OK");
    }
    m_running.Stop();
    StopCheckTimer();
    // A WM_SV_QUIT that arrives while the tray menu is open runs here, inside
    // the menu's modal loop: the dialog cannot end, nor the instance mutex go,
    // until that loop returns, and nobody may be there to dismiss the menu.
    EndMenu();

    // The watch thread first, then the upgrade thread; neither waits for
    // this thread, so the unlimited waits end.
    m_supervisor.Stop();
    m_upgrade.reset();
    // A restart may have asked for the timer again while we waited.
    StopCheckTimer();
    KillTimer(m_hWnd, ID_TIMER_UPGRADE_END);
    KillTimer(m_hWnd, ID_TIMER_TRAY);
    m_texts.Take();  // the window is going: texts not shown yet are dropped

    m_tray.Remove();
    DestroyUpgradeWindow();
    EnumThreadWindows(GetCurrentThreadId(), CloseOwnedDialog, reinterpret_cast<LPARAM>(m_hWnd));
    CDialog::OnOK();
}

bool CQuillstoneDlg::IsUiThread() const {
    return m_hWnd && GetWindowThreadProcessId(m_hWnd, nullptr) == GetCurrentThreadId();
}

void CQuillstoneDlg::ShowText(SupervisorLabel label, const wchar_t* text) {
    const int id = ControlOf(label);
    // The process the supervisor launched: only its listener's answers count.
    if (label == SupervisorLabel::kProcessId) m_launchedProcess = text ? wcstoul(text, nullptr, 10) : 0;
    if (IsUiThread()) {
        SetDlgItemText(id, text);
    } else {
        m_texts.Post(m_hWnd, PostedText{id, text ? text : L""});
    }
}

LRESULT CQuillstoneDlg::OnSetItemText(WPARAM, LPARAM) {
    for (const PostedText& posted : m_texts.Take()) SetDlgItemText(posted.id, posted.text.c_str());
    return 0;
}

void CQuillstoneDlg::RunCheckTimer(bool run) {
    // Windows lets only the window's own thread set or kill its timers.
    if (IsUiThread()) {
        run ? StartCheckTimer() : StopCheckTimer();
    } else {
        m_timerRequests.Post(m_hWnd, run);
    }
}

LRESULT CQuillstoneDlg::OnCheckTimerRequest(WPARAM, LPARAM) {
    // In the order the worker asked. A start that arrives after the shutdown
    // began must not revive the timer.
    for (bool run : m_timerRequests.Take()) {
        if (run && m_running.IsRunning()) {
            StartCheckTimer();
        } else if (!run) {
            StopCheckTimer();
        }
    }
    return 0;
}

void CQuillstoneDlg::StartCheckTimer() { m_nCheckTimer = SetTimer(m_hWnd, ID_TIMER_CHECK, kCheckPeriodMs, nullptr); }

void CQuillstoneDlg::StopCheckTimer() {
    if (m_nCheckTimer) {
        KillTimer(m_hWnd, m_nCheckTimer);
        m_nCheckTimer = 0;
    }
}

// How the user meets the hidden window: the tray icon and menu, the system
// menu's About item, and the rules that keep the window out of sight.

LRESULT CQuillstoneDlg::OnHideToTray(WPARAM, LPARAM) {
    ShowWindow(SW_HIDE);
    if (!m_tray.Add(m_hWnd)) SetTimer(m_hWnd, ID_TIMER_TRAY, kTrayRetryMs, nullptr);
    return 0;
}

LRESULT CQuillstoneDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // The caption's close button, Alt+F4 and the system menu's Close.
    if (message == WM_SYSCOMMAND && wParam == SC_CLOSE) return 0;
    if (message == WM_SV_TRAY && lParam == WM_RBUTTONDOWN) ShowTrayMenu();
    if (m_tray.OnShellMessage(message) && m_tray.NeedsRetry()) SetTimer(m_hWnd, ID_TIMER_TRAY, kTrayRetryMs, nullptr);
    return CDialog::WindowProc(message, wParam, lParam);
}

void CQuillstoneDlg::ShowTrayMenu() {
    CMenu menu;
    if (!menu.LoadMenu(IDR_TRAY_MENU)) return;
    POINT pt = {};
    GetCursorPos(&pt);
    // Windows closes a pop-up menu on a click elsewhere only when its owner
    // is the foreground window.
    SetForegroundWindow(m_hWnd);
    CWnd* owner = AfxGetMainWnd() ? AfxGetMainWnd() : this;
    TrackPopupMenu(menu.GetSubMenu(0), TPM_RIGHTBUTTON, pt.x, pt.y, 0, owner->m_hWnd, nullptr);
    // Lets the menu close properly when the next click goes elsewhere.
    PostMessage(WM_NULL);
}

void CQuillstoneDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAboutBox();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CQuillstoneDlg::OnControlAbout() { ShowAboutBox(); }

void CQuillstoneDlg::ShowAboutBox() {
    if (!m_running.IsRunning()) return;  // no box once the shutdown has begun
    // Modal, and its loop goes on dispatching this window's timer and messages.
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
}

void CQuillstoneDlg::OnPaint() {
    if (IsIconic()) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(m_hWnd, &ps);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        int cxIcon = GetSystemMetrics(SM_CXICON);
        int cyIcon = GetSystemMetrics(SM_CYICON);
        RECT rect;
        GetClientRect(&rect);
        int x = (rect.right - rect.left - cxIcon + 1) / 2;
        int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
        DrawIcon(dc, x, y, m_hIcon);
        EndPaint(m_hWnd, &ps);
    } else {
        // Whatever shows the window, it hides again at its next paint.
        ShowWindow(SW_HIDE);
        CDialog::OnPaint();
    }
}

HCURSOR CQuillstoneDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
