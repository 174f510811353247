#include "supervise/WindowSearch.h"

namespace {

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK TakeVisibleWindowOf(HWND hWnd, LPARAM lParam) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(hWnd, &processId);
    if (processId == search->processId && IsWindowVisible(hWnd) == TRUE) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindWindowOfProcess(DWORD processId) {
    WindowSearch search = {processId, nullptr};
    EnumWindows(TakeVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}
