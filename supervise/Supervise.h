#pragma once
// Supervision helpers shared by the watch thread, the launcher, the
// application's second-instance path and the upgrade worker.

#include <windows.h>

class CQuillstoneDlg;

// True while Marlowcast's instance mutex exists, or when its absence cannot be
// established (access denied counts as running). Keeps nothing open.
BOOL IsMarlowcastRunning();

// The window search handed to EnumWindows: the first visible top-level window
// of the process, in enumeration order.
struct WindowSearch {
    DWORD dwProcessId;
    HWND hWnd;
};
BOOL CALLBACK FindWindowOfProcess(HWND hWnd, LPARAM lParam);

// What the supervisor window hands its watch thread at creation: the window,
// and an event to set once the thread's message queue exists.
struct WatchThreadStart {
    CQuillstoneDlg* pDlg;
    HANDLE hQueueReady;
};

// Path of Marlowcast.exe beside the running executable.
BOOL MarlowcastPath(wchar_t* path, DWORD cch);
