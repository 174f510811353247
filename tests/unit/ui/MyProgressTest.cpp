#include "ui/MyProgress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WindowPixels.h"

namespace {

using namespace qs_test;

// Steps: "R100" is SetRange(100), "P50" SetPos(50). Returns the last SetPos's result.
int Play(CMyProgress& bar, const std::vector<std::string>& steps) {
    int result = -1;
    for (const std::string& s : steps) {
        const auto value = static_cast<std::uint32_t>(std::stoul(s.substr(1)));
        if (s[0] == 'R') {
            bar.SetRange(value);
        } else {
            result = bar.SetPos(value);
        }
    }
    return result;
}

// The upgrade thread may move bars that have no window: same numbers.
TEST(MyProgress, SetPosWithoutAWindowStoresPositionAndPercentage) {
    const struct {
        std::vector<std::string> steps;
        std::uint32_t pos;
        int percent, lastResult;
    } cases[] = {
        {{"P50"}, 0, 0, 0},
        {{"R100", "P250"}, 100, 100, 100},
        // A new range shows the old percentage until the next position.
        {{"R100", "P50", "R200"}, 50, 53, 53},
        {{"R100", "P50", "R200", "P50"}, 50, 27, 27},
        // Range 0 again: positions change nothing.
        {{"R100", "P50", "R0", "P100"}, 50, 53, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.steps));
        CMyProgress bar;
        EXPECT_EQ(Play(bar, c.steps), c.lastResult);
        EXPECT_EQ(bar.m_nPos.load(), c.pos);
        EXPECT_EQ(bar.m_nPercent.load(), c.percent);
    }
}

TEST(MyProgress, PaintsBackgroundFillTextAndFrame) {
    const struct {
        std::vector<std::string> steps;
        int filledColumns;
        bool text;
    } cases[] = {
        {{}, 0, false},                // no range: background and frame only
        {{"R100", "P0"}, 0, true},     // "0 %" without fill
        {{"R100", "P50"}, 156, true},  // 53 % of 296 pixels
        {{"R100", "P100"}, 296, true},
        {{"R100", "P50", "R0"}, 0, false},
    };
    // Shown without activation: the test display has no window manager, and
    // Wine waits two seconds for one whenever an activated window goes.
    CWnd host;
    ASSERT_TRUE(host.CreateEx(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP | WS_CLIPCHILDREN,
                              RECT{200, 200, 520, 240}, nullptr, 0));
    ShowWindow(host.m_hWnd, SW_SHOWNOACTIVATE);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.steps));
        CMyProgress bar;  // 296 x 18, like the upgrade window's
        ASSERT_TRUE(bar.Create(L"", 0x50020100, RECT{12, 10, 308, 28}, &host, 0xFFFF));
        Play(bar, c.steps);
        UpdateWindow(bar.m_hWnd);
        const BarLook look = LookAtBar(Capture(bar.m_hWnd));
        EXPECT_TRUE(look.frameIsBlack);
        EXPECT_EQ(look.filledColumns, c.filledColumns);
        EXPECT_EQ(look.hasText, c.text);
    }
    host.DestroyWindow();
}

}  // namespace
