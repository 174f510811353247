// Parts of the supervisor window that stand alone: the tray registration and
// the hand-over of a worker's text to the UI thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ui/PostedText.h"
#include "ui/TrayIcon.h"

namespace {

HWND MakeWindow() {
    return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

// What the shell holds, not what the structure says: the icon from Add()
// until Remove(), and no icon back from a "TaskbarCreated" broadcast after it
// was removed. (NIM_MODIFY succeeds only for a registered icon.)
TEST(TrayIcon, TheShellHasTheIconFromAddUntilRemove) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(hWnd, nullptr);
    NOTIFYICONDATAW probe = {};
    probe.cbSize = sizeof probe;
    probe.hWnd = hWnd;
    probe.uID = 128;
    CTrayIcon tray;
    ASSERT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &probe));
    tray.Add(hWnd);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &probe));
    tray.Remove();
    EXPECT_TRUE(tray.OnShellMessage(RegisterWindowMessageW(L"TaskbarCreated")));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &probe)) << "removed, or back after a broadcast";
    DestroyWindow(hWnd);
}

// A worker queues its text and goes on: the UI thread shows it when it gets
// to the wake-up. The wake-up carries nothing, so the same message posted by
// anyone with any parameters only makes the handler find what is queued.
TEST(PostedText, AWorkersTextArrivesThroughTheQueueAndAWakeUpCarriesNothing) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(hWnd, nullptr);
    constexpr UINT kText = WM_APP + 40;
    PostedTexts texts(kText);
    std::thread([&] { EXPECT_TRUE(texts.Post(hWnd, PostedText{7, L"from the worker"})); }).join();
    std::thread([&] { EXPECT_TRUE(texts.Post(hWnd, PostedText{8, L"and the next"})); }).join();
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, hWnd, kText, kText, PM_REMOVE));
    EXPECT_EQ(msg.wParam + msg.lParam, 0u);
    const std::vector<PostedText> taken = texts.Take();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].id, 7);
    EXPECT_EQ(taken[1].text, L"and the next");
    EXPECT_TRUE(texts.Take().empty()) << "the second wake-up finds nothing left";
    EXPECT_FALSE(texts.Post(nullptr, PostedText{7, L"nowhere"})) << "a null window would post to our own queue";
    EXPECT_TRUE(texts.Take().empty()) << "a text whose wake-up was not posted is not kept";
    DestroyWindow(hWnd);
}

}  // namespace
