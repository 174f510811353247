#include "ui/Dpi.h"

namespace {

UINT WindowDpi(HWND hWnd) {
    // USER32 is loaded in every process with a window; Windows 7 and 8 have no
    // per-window DPI, and their process-wide DPI needs no scaling of ours.
    using Query = UINT(WINAPI*)(HWND);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = query && hWnd ? query(hWnd) : 0;
    return dpi ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

int ScaledForWindow(HWND hWnd, int pixels) {
    return MulDiv(pixels, static_cast<int>(WindowDpi(hWnd)), USER_DEFAULT_SCREEN_DPI);
}

RECT ScaledForWindow(HWND hWnd, const RECT& rect) {
    return {ScaledForWindow(hWnd, rect.left), ScaledForWindow(hWnd, rect.top), ScaledForWindow(hWnd, rect.right),
            ScaledForWindow(hWnd, rect.bottom)};
}
