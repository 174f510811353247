#include "ui/TrayIcon.h"

#include <commctrl.h>
#include <strsafe.h>

#include "base/EventLog.h"
#include "base/Protocol.h"
#include "resource.h"
#include "ui/WindowMessages.h"

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

bool CTrayIcon::Add(HWND hWnd) {
    m_nid = {};
    m_nid.cbSize = sizeof(NOTIFYICONDATAW);
    m_nid.hWnd = hWnd;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_SV_TRAY;
    StringCchPrintfW(m_nid.szTip, 120, L"%s", L"Quillstone");
    m_nid.uID = kTrayIconId;
    m_bTrayIcon = 1;
    Register();
    return m_bShown;
}

bool CTrayIcon::OnShellMessage(UINT message) {
    if (message != TaskbarCreatedMessage()) return false;
    if (m_bTrayIcon) {
        m_bShown = false;
        Register();
    }
    return true;
}

bool CTrayIcon::Retry() {
    if (NeedsRetry()) Register();
    return !NeedsRetry();
}

void CTrayIcon::Remove() {
    if (!m_bTrayIcon) return;
    m_call(NIM_DELETE, &m_nid);
    m_bTrayIcon = 0;
    m_bShown = false;
}

void CTrayIcon::Register() {
    // A private copy of the icon, not the window's own: the shell copies the
    // image, so this one is destroyed right after the call.
    // The size the shell asks for at its DPI, drawn from the image made for
    // it, not a 32-pixel one shrunk and enlarged again.
    m_nid.hIcon = nullptr;
    LoadIconMetric(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), LIM_SMALL, &m_nid.hIcon);
    // A shell that is busy (at logon) may answer "no" after a few seconds
    // although it added the icon; a second add of it would then fail
    // forever, so an icon it already holds counts as taken.
    m_bShown = m_call(NIM_ADD, &m_nid) || m_call(NIM_MODIFY, &m_nid);
    if (m_nid.hIcon) DestroyIcon(m_nid.hIcon);
    m_nid.hIcon = nullptr;
    if (!m_bShown && m_refusals++ == 0) {
        LogEvent(
            L"The notification area refused the tray icon (the shell may still be starting): trying again "
            L"every %u s",
            kTrayRetryMs / 1000);
    } else if (m_bShown && m_refusals) {
        LogEvent(L"The tray icon is in the notification area after %u refusals", m_refusals);
        m_refusals = 0;
    }
}
