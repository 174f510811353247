#pragma once
// Texts handed from a worker thread to a window of the UI thread.
// SetWindowText on a window of another thread waits for that thread, and the
// shutdown waits on the UI thread for the workers; so a worker posts a heap
// copy instead, and the window's handler shows it and frees it.

#include <windows.h>

// Posts a copy of text (null counts as empty) with the message; lParam carries
// the copy. FALSE, and nothing left allocated, when it could not be posted.
BOOL PostTextCopy(HWND hWnd, UINT message, WPARAM wParam, const wchar_t* text);

// The handler's side: the text a message of PostTextCopy carries, freed when
// the holder goes out of scope.
class PostedText {
public:
    explicit PostedText(LPARAM lParam) : m_text(reinterpret_cast<wchar_t*>(lParam)) {}
    ~PostedText() { delete[] m_text; }
    PostedText(const PostedText&) = delete;
    PostedText& operator=(const PostedText&) = delete;
    const wchar_t* Get() const { return m_text; }

private:
    wchar_t* m_text;
};

// Frees the copies still queued for the window (it is going away, and its
// queued messages with it).
void DiscardPostedTexts(HWND hWnd, UINT message);
