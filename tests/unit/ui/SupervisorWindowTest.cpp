// Parts of the supervisor window that stand alone: the tray registration and
// the hand-over of a worker's text to the UI thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tests/support/TestEventLog.h"
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

// A shell that is not ready at logon refuses the icon: it is offered again
// until the shell takes it, and the refusal is logged once. A busy shell may
// refuse an icon it added; one it holds (NIM_MODIFY works) counts as taken.
int g_refusals = 0;
bool g_heldAnyway = false;
BOOL WINAPI ShellNotReady(DWORD message, PNOTIFYICONDATAW) {
    if (message == NIM_MODIFY) return g_heldAnyway;
    return message == NIM_DELETE || g_refusals-- <= 0;
}

TEST(TrayIcon, ARefusedIconIsOfferedAgainUntilTheShellTakesItAndLoggedOnce) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(hWnd, nullptr);
    const struct {
        const char* what;
        int refusals;
        bool heldAnyway;
        int retriesUntilShown;
    } cases[] = {
        {"taken at once", 0, false, 0},
        {"refused three times", 3, false, 3},
        {"refused but held", 1, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testlog::LogFolder log;
        g_refusals = c.refusals;
        g_heldAnyway = c.heldAnyway;
        CTrayIcon tray(ShellNotReady);
        EXPECT_EQ(tray.Add(hWnd), c.retriesUntilShown == 0);
        int retries = 0;
        while (tray.NeedsRetry() && retries < 10) {
            ++retries;
            tray.Retry();
        }
        EXPECT_EQ(retries, c.retriesUntilShown);
        EXPECT_TRUE(tray.Retry()) << "nothing left to offer";
        const auto events = testlog::Events(log.Log());
        const auto refusedLines = std::count_if(events.begin(), events.end(), [](const std::string& e) {
            return e.find("refused the tray icon") != std::string::npos;
        });
        EXPECT_EQ(refusedLines, c.retriesUntilShown ? 1 : 0);
        tray.Remove();
    }
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
