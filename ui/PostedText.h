#pragma once
// What a worker thread hands to a window of the UI thread: label texts, and
// requests to start or stop a timer. SetWindowText on a window of another
// thread waits for that thread, SetTimer works only on the window's own
// thread, and the shutdown waits on the UI thread for the workers; so a
// worker queues the item here and posts a wake-up, and the window's handler
// takes what is queued and carries it out.
//
// The wake-up carries nothing. Any program on the desktop can post a message
// of the same number with any parameters (some broadcast in the WM_APP
// range); all it can do is make the handler look at a queue that only this
// process fills. No pointer, count or request ever travels in the message.
//
// One owner at every moment: the queue owns what is queued; Take() hands it
// to the handler; an item whose wake-up could not be posted is taken back at
// once; what is still queued when the window goes goes with the queue.

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

template <typename T>
class PostedQueue {
public:
    // `message` is the wake-up posted to the window for each item.
    explicit PostedQueue(UINT message) : m_message(message) {}
    PostedQueue(const PostedQueue&) = delete;
    PostedQueue& operator=(const PostedQueue&) = delete;

    // Any thread: queues the item and posts the wake-up. FALSE, and nothing
    // left queued, when there is no window or the wake-up could not be posted
    // (posting to a null window would land in the caller's own thread queue).
    BOOL Post(HWND hWnd, T item) {
        if (!hWnd) return FALSE;
        // Held across the post, which never waits, so that a failed post
        // takes back its own item and no other.
        std::lock_guard<std::mutex> hold(m_lock);
        m_items.push_back(std::move(item));
        if (PostMessageW(hWnd, m_message, 0, 0)) return TRUE;
        m_items.pop_back();
        return FALSE;
    }

    // The window's thread, in the wake-up's handler: everything queued,
    // oldest first, now the caller's. Empty for a wake-up that came after its
    // item was taken, or from another program.
    std::vector<T> Take() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::vector<T> taken;
        taken.swap(m_items);
        return taken;
    }

private:
    const UINT m_message;
    std::mutex m_lock;
    std::vector<T> m_items;
};

// A label's new text: the control id and a copy of the text.
struct PostedText {
    int id;
    std::wstring text;
};
using PostedTexts = PostedQueue<PostedText>;
