// Supervision with the real 8000 ms checks: a crashed, hung or silent
// Marlowcast is relaunched by the counting rules, and the supervisor still
// exits promptly when told to in the middle of a check or a restart.
// These wait for real checks, so there are few of them.
#include <gtest/gtest.h>

#include <thread>

#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;

namespace {

constexpr UINT WM_SV_QUIT = 1850;

size_t StatusRequests(const Install& install) {
    size_t n = 0;
    for (const auto& e : ReadStandInLog(install)) n += e.text == "status request";
    return n;
}

TEST(Supervision, MisbehavingMarlowcastIsRelaunchedByTheCountingRules) {
    struct Case {
        const char* command;
        std::chrono::seconds limit;  // the checks the rules need, plus one period and the launch
    } cases[] = {
        {"crash", 26s},  // process gone, mutex gone: two checks
        {"hang", 70s},   // window hung, mutex held: six checks
        {"mute", 75s},   // no answer within the idle limit: six checks
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Install install;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD old = StandInStarts(install).front();
        // The first check finds and shows the window.
        ASSERT_TRUE(WaitFor([&] { return sup.ItemText(IDC_WINDOW_ID) != L"0"; }, 12s));
        std::wstring oldWindow = sup.ItemText(IDC_WINDOW_ID);

        ASSERT_EQ(StandInCommand(c.command), c.command == std::string("crash") ? "" : "ok");
        ASSERT_TRUE(WaitFor([&] { return StandInStarts(install).size() == 2; }, c.limit)) << "not relaunched in time";
        DWORD relaunched = StandInStarts(install).back();
        EXPECT_FALSE(ProcessRunning(old)) << "the old process must be ended";
        EXPECT_TRUE(WaitFor([&] { return sup.ItemText(IDC_PROCESS_ID) == std::to_wstring(relaunched); }, 5s));
        EXPECT_EQ(sup.ItemText(IDC_START_STATUS), L"Start Marlowcast OK!");
        // The next check looks for the new process's window.
        EXPECT_TRUE(WaitFor(
            [&] {
                std::wstring w = sup.ItemText(IDC_WINDOW_ID);
                return w != L"0" && w != oldWindow;
            },
            20s));
        EXPECT_EQ(StandInStarts(install).size(), 2u) << "one relaunch, not more";
    }
}

TEST(Supervision, ExitDuringAProbeOrARestartIsPrompt) {
    {
        SCOPED_TRACE("during a probe that waits for an answer");
        Install install;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        ASSERT_EQ(StandInCommand("mute"), "ok");
        size_t before = StatusRequests(install);
        ASSERT_TRUE(WaitFor([&] { return StatusRequests(install) > before; }, 12s));
        auto t0 = Clock::now();
        PostMessageW(sup.Window(), WM_SV_QUIT, 0, 0);
        ASSERT_TRUE(sup.Exited(10s));
        // The reply loop notices the cleared flag within one 20 ms poll; the
        // bound leaves room for a loaded machine, far below the 5 s idle limit
        // plus the 15 s connection wait the probe could otherwise take.
        EXPECT_LT(Clock::now() - t0, 5s);
    }
    {
        SCOPED_TRACE("during a restart's pause after ending the old process");
        Install install;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD old = StandInStarts(install).front();
        // Without its mutex a hung program is restarted at the second check.
        ASSERT_EQ(StandInCommand("drop-mutex"), "ok");
        ASSERT_EQ(StandInCommand("hang"), "ok");
        ASSERT_TRUE(WaitFor([&] { return !ProcessRunning(old); }, 40s, 20ms));
        auto t0 = Clock::now();
        PostMessageW(sup.Window(), WM_SV_QUIT, 0, 0);
        ASSERT_TRUE(sup.Exited(15s));
        // The restart runs to its end (the 1 s pause and the launch) before the
        // watch thread quits; nothing waits for a check or the 20 s limit.
        EXPECT_LT(Clock::now() - t0, 10s);
    }
}

}  // namespace
