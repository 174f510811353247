// Supervision with the real 8000 ms checks: a crashed, hung or silent
// Marlowcast is relaunched by the counting rules, and the supervisor still
// exits promptly when told to in the middle of a check or a restart.
// These wait for real checks, so there are few of them.
#include <gtest/gtest.h>

#include <thread>

#include "quillstone_version.h"
#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;

namespace {

constexpr UINT WM_SV_QUIT = 1850;

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr) -
        1);
    return out;
}

size_t StatusRequests(const Install& install) {
    size_t n = 0;
    for (const auto& e : ReadStandInLog(install)) n += e.text == "status request";
    return n;
}

TEST(Supervision, MisbehavingMarlowcastIsRelaunchedByTheCountingRules) {
    struct Case {
        const char* command;
        std::chrono::seconds limit;  // the checks the rules need, plus one period and the launch
        const char* failedCheck;     // what the log says of each failed check
        const char* oldProcessEnd;   // and of the old process at the restart
    } cases[] = {
        // process gone, mutex gone: two checks
        {"crash", 26s, "exited with code 0xC0000005", "had ended with code 0xC0000005"},
        // window hung, mutex held: six checks
        {"hang", 70s, "is hung", "terminated"},
        // no answer within the idle limit: six checks
        {"mute", 75s, "no \"200 OK\" status answer", "terminated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Install install;
        EventLogReader log;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD old = StandInStarts(install).front();
        // The first check finds and shows the window.
        ASSERT_TRUE(WaitFor([&] { return sup.ItemText(IDC_WINDOW_ID) != L"0"; }, 12s));
        std::wstring oldWindow = sup.ItemText(IDC_WINDOW_ID);
        const std::string marlowcast = Utf8(install.Path(L"Marlowcast.exe"));
        EXPECT_EQ(log.Matching("Quillstone " QUILLSTONE_VERSION_TEXT " started: process id " +
                               std::to_string(sup.Pid()) + ", executable folder " + Utf8(install.Folder()))
                      .size(),
                  1u)
            << log.Dump();
        EXPECT_EQ(log.Matching("Launched " + marlowcast + ": process id " + std::to_string(old)).size(), 1u);
        EXPECT_TRUE(log.Matching("Check failed").empty()) << "a healthy check writes nothing";

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

        // The log tells why: the failed checks, the restart, the old process's
        // end and the new launch.
        const std::string oldId = std::to_string(old);
        EXPECT_GE(log.Matching(c.failedCheck).size(), 1u) << log.Dump();
        EXPECT_EQ(log.Matching("Check failed: no \"200 OK\"").empty(), c.command != std::string("mute"));
        EXPECT_EQ(log.Matching("Restarting Marlowcast: failure count 6 is over the limit of 5").size(), 1u);
        EXPECT_EQ(log.Matching("Marlowcast (process id " + oldId + ") " + c.oldProcessEnd).size(), 1u);
        EXPECT_EQ(log.Matching("Launched " + marlowcast + ": process id " + std::to_string(relaunched)).size(), 1u);
    }
}

TEST(Supervision, ExitDuringAProbeOrARestartIsPrompt) {
    {
        SCOPED_TRACE("during a probe that waits for an answer");
        Install install;
        EventLogReader log;
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
        const std::vector<std::string> ending = {"Shutting down, asked by a quit message (WM_SV_QUIT)",
                                                 "Quillstone exits: process id " + std::to_string(sup.Pid())};
        const std::vector<std::string> events = log.Events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()), ending) << log.Dump();
        EXPECT_TRUE(log.Matching("Check failed").empty()) << "a probe cut short by the shutdown is no failure";
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
