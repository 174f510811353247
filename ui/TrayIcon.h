#pragma once
// The supervisor's notification-area icon: added once the window has hidden
// itself, added again when Explorer restarts (otherwise the user would lose
// the only way to reach Exit), removed at shutdown.

#include <windows.h>
#include <shellapi.h>

class CTrayIcon {
public:
    CTrayIcon() = default;
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Registers the icon for the window: callback WM_SV_TRAY, tip "Quillstone".
    // Counts as added whatever the shell answers.
    void Add(HWND hWnd);
    // Handles the shell's "taskbar created" broadcast; true when it was one.
    bool OnShellMessage(UINT message);
    void Remove();

    bool IsAdded() const { return m_bTrayIcon != 0; }
    // The registration the shell was given.
    const NOTIFYICONDATAW& Registration() const { return m_nid; }

private:
    void Register();

    NOTIFYICONDATAW m_nid = {};
    BOOL m_bTrayIcon = 0;
};
