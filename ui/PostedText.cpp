#include "ui/PostedText.h"

#include <cstring>
#include <cwchar>

BOOL PostTextCopy(HWND hWnd, UINT message, WPARAM wParam, const wchar_t* text) {
    // Posting to a null window would land in the caller's own thread queue.
    if (!hWnd) return FALSE;
    if (!text) text = L"";
    const size_t count = wcslen(text) + 1;
    wchar_t* copy = new wchar_t[count];
    std::memcpy(copy, text, count * sizeof(wchar_t));
    if (!PostMessageW(hWnd, message, wParam, reinterpret_cast<LPARAM>(copy))) {
        delete[] copy;
        return FALSE;
    }
    return TRUE;
}

void DiscardPostedTexts(HWND hWnd, UINT message) {
    MSG msg;
    while (PeekMessageW(&msg, hWnd, message, message, PM_REMOVE)) PostedText discarded(msg.lParam);
}
