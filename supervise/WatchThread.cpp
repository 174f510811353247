#include "app/Globals.h"
#include "app/Messages.h"
#include "supervise/Supervise.h"
#include "ui/QuillstoneDlg.h"

DWORD WINAPI CQuillstoneDlg::WatchThreadProc(LPVOID pParam) {
    WatchThreadStart* start = static_cast<WatchThreadStart*>(pParam);
    CQuillstoneDlg* pDlg = start->pDlg;
    // Make the message queue before telling the UI thread it may post.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    if (start->hQueueReady) SetEvent(start->hQueueReady);
    start = nullptr;  // lives on the creator's stack only until the event is set

    try {
        while (g_bRunning) {
            if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
            if (msg.message == WM_SV_QUIT) break;
            if (msg.message == WM_SV_RESTART) {
                pDlg->RestartMarlowcast();
            } else if (msg.message == WM_SV_CHECK) {
                pDlg->CheckHealth();
            }
        }
    } catch (...) {
        // Nothing may unwind out of a thread; the shutdown still joins us.
    }
    return 0;
}

BOOL IsMarlowcastRunning() {
    HANDLE hMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kMarlowcastMutexName);
    if (hMutex) {
        CloseHandle(hMutex);
        return TRUE;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

BOOL CALLBACK FindWindowOfProcess(HWND hWnd, LPARAM lParam) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (pid == search->dwProcessId && IsWindowVisible(hWnd) == TRUE) {
        search->hWnd = hWnd;
        return FALSE;
    }
    return TRUE;
}
