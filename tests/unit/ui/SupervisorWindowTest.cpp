// Parts of the supervisor window that stand alone: the tray registration and
// the hand-over of a worker's text to the UI thread.
#include <gtest/gtest.h>

#include <thread>

#include "ui/PostedText.h"
#include "ui/TrayIcon.h"

namespace {

HWND MakeWindow() {
    return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

TEST(TrayIcon, RegistersWithTheFullStructureTheCallbackAndTheTip) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(hWnd, nullptr);
    CTrayIcon tray;
    EXPECT_FALSE(tray.IsAdded());
    tray.Add(hWnd);
    EXPECT_TRUE(tray.IsAdded());
    const NOTIFYICONDATAW& nid = tray.Registration();
    EXPECT_EQ(nid.cbSize, 976u);
    EXPECT_EQ(nid.hWnd, hWnd);
    EXPECT_EQ(nid.uFlags, 7u);
    EXPECT_EQ(nid.uCallbackMessage, 1870u);
    EXPECT_EQ(nid.uID, 128u);
    EXPECT_STREQ(nid.szTip, L"Quillstone");
    EXPECT_EQ(nid.hIcon, nullptr) << "the icon copy given to the shell is not kept";

    EXPECT_FALSE(tray.OnShellMessage(WM_PAINT));
    EXPECT_TRUE(tray.OnShellMessage(RegisterWindowMessageW(L"TaskbarCreated")));
    tray.Remove();
    EXPECT_FALSE(tray.IsAdded());
    DestroyWindow(hWnd);
}

// A worker posts its text and goes on: the UI thread shows it when it gets to
// its messages, and a text that is never shown is still freed.
TEST(PostedText, AWorkersTextArrivesByMessageOnly) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(hWnd, nullptr);
    constexpr UINT kText = WM_APP + 40;
    std::thread([&] { EXPECT_TRUE(PostTextCopy(hWnd, kText, 7, L"from the worker")); }).join();
    std::thread([&] { EXPECT_TRUE(PostTextCopy(hWnd, kText, 8, L"never shown")); }).join();
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, hWnd, kText, kText, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_STREQ(PostedText(msg.lParam).Get(), L"from the worker");
    DiscardPostedTexts(hWnd, kText);
    EXPECT_FALSE(PeekMessageW(&msg, hWnd, kText, kText, PM_REMOVE));
    EXPECT_FALSE(PostTextCopy(nullptr, kText, 0, L"nowhere")) << "a null window would post to our own queue";
    DestroyWindow(hWnd);
}

}  // namespace
