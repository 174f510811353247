// The idle reference: what any resident program with a hidden dialog costs
// under the same Windows (or Wine) doing nothing at all. It creates the
// supervisor's own main dialog from the same resources, hides it, and sits in
// its message loop until it is told to close (WM_CLOSE) or is ended.
#include <windows.h>

#include "resource.h"

namespace {

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG: return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) DestroyWindow(hwnd);
            return TRUE;
        case WM_CLOSE: DestroyWindow(hwnd); return TRUE;
        case WM_DESTROY: PostQuitMessage(0); return TRUE;
        default: return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr, DialogProc, 0);
    if (!dialog) return 1;
    ShowWindow(dialog, SW_HIDE);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}
