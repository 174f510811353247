#include "ui/TrayIcon.h"

#include <strsafe.h>

#include "base/Protocol.h"
#include "resource.h"

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the tray registration uses the full current structure");

namespace {

constexpr UINT kTrayIconId = 128;

// The shell broadcasts this when the notification area is created anew
// (Explorer restarted); icons must then be added again.
UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

}  // namespace

void CTrayIcon::Add(HWND hWnd) {
    m_nid = {};
    m_nid.cbSize = sizeof(NOTIFYICONDATAW);
    m_nid.hWnd = hWnd;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_SV_TRAY;
    StringCchPrintfW(m_nid.szTip, 120, L"%s", L"Quillstone");
    m_nid.uID = kTrayIconId;
    Register();
    m_bTrayIcon = 1;
}

bool CTrayIcon::OnShellMessage(UINT message) {
    if (message != TaskbarCreatedMessage()) return false;
    if (m_bTrayIcon) Register();
    return true;
}

void CTrayIcon::Remove() {
    if (!m_bTrayIcon) return;
    Shell_NotifyIconW(NIM_DELETE, &m_nid);
    m_bTrayIcon = 0;
}

void CTrayIcon::Register() {
    // A private copy of the icon, not the window's own: the shell copies the
    // image, so this one is destroyed right after the call.
    m_nid.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    Shell_NotifyIconW(NIM_ADD, &m_nid);
    if (m_nid.hIcon) DestroyIcon(m_nid.hIcon);
    m_nid.hIcon = nullptr;
}
