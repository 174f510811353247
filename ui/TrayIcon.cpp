// How the user meets the hidden supervisor: tray icon and menu, system menu,
// About box, and the rules that keep the window out of sight.
#include <strsafe.h>

#include "app/Messages.h"
#include "ui/QuillstoneDlg.h"

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the tray registration uses the full current structure");

namespace {

constexpr UINT kTrayIconId = 128;

// The shell broadcasts this when the notification area is created anew
// (Explorer restarted); icons must then be added again.
UINT TaskbarCreatedMessage() {
    static const UINT msg = RegisterWindowMessageW(L"TaskbarCreated");
    return msg;
}

}  // namespace

static void AddTrayIcon(CQuillstoneDlg* dlg) {
    NOTIFYICONDATAW& nid = dlg->m_nid;
    nid = {};
    nid.cbSize = sizeof(NOTIFYICONDATAW);
    nid.hWnd = dlg->m_hWnd;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_SV_TRAY;
    StringCchPrintfW(nid.szTip, 120, L"%s", L"Quillstone");
    nid.uID = kTrayIconId;
    // A private copy (not the shared m_hIcon): the shell copies the image, so
    // this one is destroyed right after the call.
    nid.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                              IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0));
    Shell_NotifyIconW(NIM_ADD, &nid);
    if (nid.hIcon) DestroyIcon(nid.hIcon);
    nid.hIcon = nullptr;
}

LRESULT CQuillstoneDlg::OnHideToTray(WPARAM, LPARAM) {
    ShowWindow(SW_HIDE);
    AddTrayIcon(this);
    m_bTrayIcon = 1;
    return 0;
}

LRESULT CQuillstoneDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // The caption's close button, Alt+F4 and the system menu's Close.
    if (message == WM_SYSCOMMAND && wParam == SC_CLOSE) return 0;

    if (message == WM_SV_TRAY && lParam == WM_RBUTTONDOWN) {
        CMenu menu;
        if (menu.LoadMenu(IDR_TRAY_MENU)) {
            POINT pt = {};
            GetCursorPos(&pt);
            // Windows closes a pop-up menu on a click elsewhere only when its
            // owner is the foreground window.
            SetForegroundWindow(m_hWnd);
            CWnd* owner = AfxGetMainWnd() ? AfxGetMainWnd() : this;
            TrackPopupMenu(menu.GetSubMenu(0), TPM_RIGHTBUTTON, pt.x, pt.y, 0, owner->m_hWnd, nullptr);
            // Lets the menu close properly when the next click goes elsewhere.
            PostMessage(WM_NULL);
        }
    }

    if (message == TaskbarCreatedMessage() && m_bTrayIcon) AddTrayIcon(this);

    return CDialog::WindowProc(message, wParam, lParam);
}

void CQuillstoneDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CQuillstoneDlg::OnControlAbout() {
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
