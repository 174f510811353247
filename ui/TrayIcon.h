#pragma once
// The supervisor's notification-area icon: added once the window has hidden
// itself, added again when Explorer restarts (otherwise the user would lose
// the only way to reach Exit), removed at shutdown. At logon the shell may
// not be ready and refuse the icon: the window then tries again on a timer.

#include <windows.h>
#include <shellapi.h>

// The shell call (Shell_NotifyIconW unless a test gives another).
using NotifyIconCall = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);

class CTrayIcon {
public:
    explicit CTrayIcon(NotifyIconCall call = Shell_NotifyIconW) : m_call(call) {}
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Registers the icon for the window: callback WM_SV_TRAY, tip "Quillstone".
    // Counts as added whatever the shell answers; false when the shell
    // refused it (then Retry until it takes it).
    bool Add(HWND hWnd);
    // Handles the shell's "taskbar created" broadcast; true when it was one.
    bool OnShellMessage(UINT message);
    // Offers the icon again when the shell refused it; true once the shell
    // holds it (or it is no longer wanted).
    bool Retry();
    void Remove();

    bool IsAdded() const { return m_bTrayIcon != 0; }
    bool NeedsRetry() const { return m_bTrayIcon && !m_bShown; }
    // The registration the shell was given.
    const NOTIFYICONDATAW& Registration() const { return m_nid; }

private:
    void Register();

    NotifyIconCall m_call;
    NOTIFYICONDATAW m_nid = {};
    BOOL m_bTrayIcon = 0;
    bool m_bShown = false;    // the shell took the icon
    unsigned m_refusals = 0;  // since it last took it
};
