// The supervisor's rules, driven on the test thread with a Marlowcast the test
// plays: a process that ends, hangs or will not be terminated, a probe that
// fails, a mutex that is gone, and pauses that take no time.
#include "supervise/Supervisor.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "base/Protocol.h"
#include "tests/support/TestEventLog.h"

namespace {

// What the supervisor reports, as the window would show it.
struct Report : SupervisorReport {
    std::map<SupervisorLabel, std::wstring> labels;
    std::vector<bool> timerCalls;
    void ShowText(SupervisorLabel label, const wchar_t* text) override { labels[label] = text; }
    void RunCheckTimer(bool run) override { timerCalls.push_back(run); }
    std::wstring operator[](SupervisorLabel label) { return labels[label]; }
};

HWND g_hungWindow = nullptr;
int g_threadTests = 0;
BOOL WINAPI WindowHungIfChosen(HWND hWnd) { return hWnd == g_hungWindow; }
BOOL WINAPI ThreadAlwaysHung(DWORD) { return ++g_threadTests, TRUE; }

// Marlowcast as the test plays it. Launched processes get real (event)
// handles, so that the supervisor's owners close something real.
struct Marlowcast {
    bool launches = true;
    bool exitCodeKnown = true;
    bool ended = false;
    DWORD code = 3;  // once ended
    bool terminates = true;
    bool answers = true;
    bool mutexHeld = true;
    bool folderWhole = true;  // no installation cut short, or one recovered
    HWND window = nullptr;
    std::function<void()> duringPause = [] {};

    // The release installed last, as its journal keeps it.
    bool onProbation = false;
    int failures = 0, rollBacks = 0, accepts = 0;
    unsigned installations = 0;
    std::wstring rolledBackWhy;
    ULONGLONG clock = 0;

    int launched = 0, terminated = 0, probes = 0, searches = 0, restartRequests = 0, recoveries = 0;
    std::vector<DWORD> pauses;
    std::wstring launchedPath;
    std::vector<std::wstring> dumps;  // "<kind>.dmp after <n> terminations"

    SupervisorSystem System() {
        SupervisorSystem s;
        s.createProcess = [this](const std::wstring& path, PROCESS_INFORMATION* started) {
            launchedPath = path;
            if (!launches) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return false;
            }
            ++launched;
            ended = false;
            *started = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr),
                        static_cast<DWORD>(4000 + launched), static_cast<DWORD>(7000 + launched)};
            return true;
        };
        s.exitCode = [this](HANDLE, DWORD* code) {
            *code = ended ? this->code : STILL_ACTIVE;
            return exitCodeKnown;
        };
        s.terminate = [this](HANDLE) {
            if (!terminates) return false;
            ++terminated;
            ended = true;
            return true;
        };
        s.pause = [this](DWORD ms) {
            pauses.push_back(ms);
            duringPause();
        };
        s.probeStatus = [this](DWORD) { return ++probes, answers; };
        s.marlowcastRunning = [this] { return mutexHeld; };
        s.findWindow = [this](DWORD) { return ++searches, window; };
        s.postRestart = [this](DWORD) { return ++restartRequests, true; };
        s.recoverInstallation = [this](DWORD) { return ++recoveries, folderWhole; };
        s.onProbation = [this] { return onProbation; };
        s.countFailedLaunch = [this] { return onProbation ? ++failures : 0; };
        s.rollBack = [this](const std::wstring& why, DWORD) {
            return rolledBackWhy = why, onProbation = false, ++rollBacks;
        };
        s.acceptRelease = [this] { onProbation = false, ++accepts; };
        s.now = [this] { return clock; };
        s.dumps.enabled = [] { return true; };
        s.dumps.folder = [] { return std::wstring(L"C:\\dumps"); };
        s.dumps.list = [](const std::wstring&) { return std::vector<DumpFile>(); };
        s.dumps.now = [] { return 134411947200000000ull; };
        s.dumps.write = [this](HANDLE, DWORD, const std::wstring& path, DWORD) {
            dumps.push_back(path.substr(path.rfind(L'-') + 1) + L" after " + std::to_wstring(terminated));
            return DumpResult{DumpResult::kWritten, 0, 1000, 10};
        };
        s.installations = [this] { return installations; };
        return s;
    }
};

class SupervisorRules : public ::testing::Test {
protected:
    void SetUp() override {
        running.Start();
        g_hungWindow = nullptr;
        g_threadTests = 0;
    }
    Supervisor& Make() {
        supervisor = std::make_unique<Supervisor>(report, running, marlowcast.System());
        return *supervisor;
    }
    // Launched, then as many failed checks as it takes to reach `count`.
    Supervisor& LaunchedWithFailures(int count) {
        Supervisor& s = Make();
        s.Launch();
        bool answers = marlowcast.answers;
        marlowcast.answers = false;
        while (s.FailCount() < count) s.CheckHealth();
        marlowcast.answers = answers;
        marlowcast.restartRequests = 0;
        return s;
    }

    StopFlag running;
    Report report;
    Marlowcast marlowcast;
    std::unique_ptr<Supervisor> supervisor;
};

TEST_F(SupervisorRules, ChecksCountFailuresAndAskForARestartByTheRules) {
    struct Case {
        const char* what;
        std::function<void(Marlowcast&)> state;
        bool launched;
        std::vector<int> counts;  // after each check
        int firstRestartAt;       // 0: none
        int probes;
    } cases[] = {
        // clang-format off
        {"healthy", [](Marlowcast&) {}, true, {0, 0, 0}, 0, 3},
        {"ended, mutex held: the sixth check restarts, once",
         [](Marlowcast& m) { m.ended = true; }, true, {1, 2, 3, 4, 5, 6, 7}, 6, 0},
        {"ended, mutex gone: the second check restarts",
         [](Marlowcast& m) { m.ended = true, m.mutexHeld = false; }, true, {5, 6}, 2, 0},
        {"silent, mutex held", [](Marlowcast& m) { m.answers = false; }, true, {1, 2, 3, 4, 5, 6}, 6, 6},
        {"silent, mutex gone", [](Marlowcast& m) { m.answers = false, m.mutexHeld = false; }, true, {5, 6}, 2, 2},
        {"exit code unknown: the probe decides", [](Marlowcast& m) { m.exitCodeKnown = false, m.ended = true; },
         true, {0, 0}, 0, 2},
        {"answers although our launch failed: never 0", [](Marlowcast& m) { m.launches = false; }, false,
         {1, 1, 1}, 0, 3},
        {"answers although our launch failed, mutex gone",
         [](Marlowcast& m) { m.launches = false, m.mutexHeld = false; }, false, {5, 5}, 0, 2},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        marlowcast = Marlowcast();
        c.state(marlowcast);
        Supervisor& s = Make();
        EXPECT_EQ(s.Launch(), c.launched);
        c.state(marlowcast);  // a launch makes a fresh process
        std::vector<int> counts;
        int restartAt = 0;
        for (std::size_t check = 1; check <= c.counts.size(); ++check) {
            s.CheckHealth();
            counts.push_back(s.FailCount());
            if (!restartAt && marlowcast.restartRequests) restartAt = static_cast<int>(check);
        }
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(restartAt, c.firstRestartAt);
        if (c.firstRestartAt) {
            // Asked once; the checks after it wait for that restart, which
            // a second request would repeat on the process it launched.
            EXPECT_EQ(marlowcast.restartRequests, 1);
        }
        EXPECT_EQ(marlowcast.probes, c.probes);
    }
}

TEST_F(SupervisorRules, NothingIsJudgedOrRestartedWhileAnUpgradeRuns) {
    Supervisor& s = LaunchedWithFailures(3);
    s.SetUpgrading(true);
    marlowcast.ended = true;
    marlowcast.mutexHeld = false;
    const std::size_t timerCalls = report.timerCalls.size();
    for (int i = 0; i < 3; ++i) s.CheckHealth();
    s.Restart();
    EXPECT_EQ(s.FailCount(), 3);
    EXPECT_EQ(marlowcast.probes, 3);  // those of the failures before
    EXPECT_EQ(marlowcast.restartRequests, 0);
    EXPECT_EQ(marlowcast.launched, 1);
    EXPECT_EQ(marlowcast.terminated, 0);
    EXPECT_EQ(report.timerCalls.size(), timerCalls) << "the timer keeps running";
}

// A release on probation: its launches that fail, or that the rules restart,
// count (kept in its journal, so across a new supervisor too), and the third
// rolls it back and launches the old one; ten minutes of passing checks in a
// row keep it. The clock moves 8 s a check.
TEST_F(SupervisorRules, AReleaseOnProbationIsRolledBackAtItsThirdFailedLaunchOrKeptAfterTenHealthyMinutes) {
    using Script = std::function<void(Marlowcast&, Supervisor&)>;
    const auto checks = [](Marlowcast& m, Supervisor& s, int n) {
        for (int i = 0; i < n; ++i) m.clock += 8000, s.CheckHealth();
    };
    // Fails as `fail` makes it until a restart is asked for, which then runs.
    const auto cycle = [checks](std::function<void(Marlowcast&)> fail) {
        return [checks, fail](Marlowcast& m, Supervisor& s) {
            fail(m);
            for (const int asked = m.restartRequests; m.restartRequests == asked;) checks(m, s, 1);
            s.Restart();
            m.answers = true;
        };
    };
    const Script crash = cycle([](Marlowcast& m) { m.ended = true, m.code = 0xC0000005, m.mutexHeld = false; });
    const Script endsBesideAnother = cycle([](Marlowcast& m) { m.ended = true, m.mutexHeld = true; });
    const Script silent = cycle([](Marlowcast& m) { m.answers = false; });
    const Script hung = cycle([](Marlowcast& m) { g_hungWindow = m.window; });
    // Passing checks for n minutes, from the first to the last.
    const auto minutes = [checks](int n) {
        return [checks, n](Marlowcast& m, Supervisor& s) { checks(m, s, n * 60 / 8 + 1); };
    };
    const Script oneFailedCheck = [checks](Marlowcast& m, Supervisor& s) {
        m.answers = false, checks(m, s, 1), m.answers = true;
    };
    const Script exitsForAnUpgrade = [](Marlowcast& m, Supervisor& s) {
        s.SetUpgrading(true);
        m.ended = true, m.code = 3, m.onProbation = true, m.failures = 0;  // the upgrade installs a release
        ++m.installations;
        s.SetUpgrading(false);
    };
    // Asked for, refused or failed before its wait: Marlowcast still runs.
    const Script upgradeGoesNowhere = [](Marlowcast&, Supervisor& s) { s.SetUpgrading(true), s.SetUpgrading(false); };
    const Script exitsCleanlyAtOnce = cycle([](Marlowcast& m) { m.ended = true, m.code = 0, m.mutexHeld = false; });
    const Script closedAfterAPassingCheck = [checks, exitsCleanlyAtOnce](Marlowcast& m, Supervisor& s) {
        checks(m, s, 1), exitsCleanlyAtOnce(m, s);
    };
    const Script launchFails = [](Marlowcast& m, Supervisor& s) { m.launches = false, s.Restart(); };
    struct Case {
        const char* what;
        bool onProbation;
        int failuresBefore;
        std::vector<Script> script;
        int failures, rollBacks, accepts, launched;
        const wchar_t* why;  // the end of the rollback's log line
    } cases[] = {
        // clang-format off
        {"crashes at every start", true, 0, {crash, crash, crash, crash}, 3, 1, 0, 5,
         L"3 failed launches, the last: it exited with code 0xC0000005"},
        {"silent at every start", true, 0, {silent, silent, silent}, 3, 1, 0, 4, L"the last: no status answer"},
        {"hangs at every start", true, 0, {hung, hung, hung}, 3, 1, 0, 4, L"the last: its window hung"},
        {"cannot be launched", true, 0, {launchFails, launchFails}, 3, 1, 0, 1,
         L"the last: its launch failed with error 2"},
        {"healthy for ten minutes", true, 0, {minutes(10), crash}, 0, 0, 1, 2, L""},
        {"a failed check after nine healthy minutes starts the ten again", true, 0,
         {minutes(9), oneFailedCheck, minutes(9)}, 0, 0, 0, 1, L""},
        {"...and ten in a row after it keep the release", true, 0, {minutes(9), oneFailedCheck, minutes(11)}, 0, 0, 1,
         1, L""},
        {"two failed launches counted before Quillstone started again", true, 2, {crash}, 3, 1, 0, 2,
         L"3 failed launches"},
        {"an upgrade during probation: the process that exits for it counts for neither release", true, 1,
         {exitsForAnUpgrade, crash, crash}, 1, 0, 0, 3, L""},
        {"ends at once because another Marlowcast runs", true, 0, {endsBesideAnother, endsBesideAnother,
         endsBesideAnother}, 0, 0, 0, 4, L""},
        {"asks for an upgrade that goes nowhere, then crashes, each time", true, 0, {upgradeGoesNowhere, crash,
         upgradeGoesNowhere, crash, upgradeGoesNowhere, crash}, 3, 1, 0, 4, L"the last: it exited with code 0xC0000005"},
        {"closed with code 0 after a passing check, three times", true, 0, {closedAfterAPassingCheck,
         closedAfterAPassingCheck, closedAfterAPassingCheck}, 0, 0, 0, 4, L""},
        {"exits with code 0 before its first passing check", true, 0, {exitsCleanlyAtOnce, exitsCleanlyAtOnce,
         exitsCleanlyAtOnce}, 3, 1, 0, 4, L"the last: it exited with code 0x00000000"},
        {"no release on probation", false, 0, {crash, crash, crash, minutes(11)}, 0, 0, 0, 4, L""},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        marlowcast = Marlowcast();
        marlowcast.window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x4321));
        marlowcast.onProbation = c.onProbation;
        marlowcast.failures = c.failuresBefore;
        g_hungWindow = nullptr;
        Supervisor& s = Make();
        s.UseHungTests(WindowHungIfChosen, nullptr);
        s.Launch();
        for (const Script& step : c.script) step(marlowcast, s), g_hungWindow = nullptr;
        EXPECT_EQ(marlowcast.failures, c.failures);
        EXPECT_EQ(marlowcast.rollBacks, c.rollBacks);
        EXPECT_EQ(marlowcast.accepts, c.accepts);
        EXPECT_EQ(marlowcast.launched, c.launched);
        EXPECT_NE(marlowcast.rolledBackWhy.find(c.why), std::wstring::npos) << marlowcast.rolledBackWhy;
    }
}

TEST_F(SupervisorRules, TheThreadTestIsUsedOnlyWhereTheWindowTestIsMissing) {
    const HWND found = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1234));
    struct Case {
        const char* what;
        HungWindowTest windowTest;
        HungThreadTest threadTest;
        HWND window, hung;
        std::vector<int> counts;
        int searches, threadTests, probes;
        const wchar_t* windowLabel;  // null: never written
    } cases[] = {
        // clang-format off
        {"window found and not hung: one search, then the probe", WindowHungIfChosen, ThreadAlwaysHung, found, nullptr,
         {0, 0}, 1, 0, 2, L"4660"},
        {"window hung: counted without a probe", WindowHungIfChosen, ThreadAlwaysHung, found, found, {1, 2}, 1, 0, 0,
         L"4660"},
        {"no visible window: searched at every check, no thread test", WindowHungIfChosen, ThreadAlwaysHung, nullptr,
         nullptr, {0, 0}, 2, 0, 2, L"0"},
        {"only the thread test", nullptr, ThreadAlwaysHung, found, found, {1, 2}, 0, 2, 0, nullptr},
        {"neither: the probe alone", nullptr, nullptr, found, found, {0, 0}, 0, 0, 2, nullptr},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        marlowcast = Marlowcast();
        marlowcast.window = c.window;
        g_hungWindow = c.hung;
        g_threadTests = 0;
        report = Report();
        Supervisor& s = Make();
        s.UseHungTests(c.windowTest, c.threadTest);
        s.Launch();
        std::vector<int> counts;
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            s.CheckHealth();
            counts.push_back(s.FailCount());
        }
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(marlowcast.searches, c.searches);
        EXPECT_EQ(g_threadTests, c.threadTests);
        EXPECT_EQ(marlowcast.probes, c.probes);
        // A launch shows "0"; a search shows what it found.
        EXPECT_EQ(report[SupervisorLabel::kWindowId], c.windowLabel ? c.windowLabel : L"0");
    }
}

TEST_F(SupervisorRules, ARestartEndsTheOldProcessWithinItsBoundsAndLaunchesAgain) {
    struct Case {
        const char* what;
        std::function<void(Marlowcast&)> old;  // the old process, before the restart
        int terminated;
        std::vector<DWORD> pauses;
        std::vector<std::wstring> dumps;  // taken before the kill
    } cases[] = {
        // clang-format off
        {"running: terminated, one pause", [](Marlowcast&) {}, 1, {1000}, {L"silent.dmp after 0"}},
        {"already ended: no pause, no dump", [](Marlowcast& m) { m.ended = true; }, 0, {}, {}},
        {"termination keeps failing: twenty pauses, then the launch all the same",
         [](Marlowcast& m) { m.terminates = false; }, 0, std::vector<DWORD>(20, 1000), {L"silent.dmp after 0"}},
        {"exit code unknown: twenty pauses", [](Marlowcast& m) { m.exitCodeKnown = false; }, 0,
         std::vector<DWORD>(20, 1000), {}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        marlowcast = Marlowcast();
        report = Report();
        Supervisor& s = LaunchedWithFailures(6);
        c.old(marlowcast);
        report.timerCalls.clear();
        s.Restart();
        EXPECT_EQ(marlowcast.terminated, c.terminated);
        EXPECT_EQ(marlowcast.pauses, c.pauses);
        EXPECT_EQ(marlowcast.dumps, c.dumps);
        EXPECT_EQ(marlowcast.launched, 2);
        EXPECT_EQ(report.timerCalls, (std::vector<bool>{false, true})) << "stopped while the old process is ended";
        EXPECT_EQ(s.FailCount(), 0);
        EXPECT_EQ(report[SupervisorLabel::kStartStatus], L"Start Marlowcast OK!");
        EXPECT_EQ(report[SupervisorLabel::kProcessId], L"4002");
        EXPECT_EQ(report[SupervisorLabel::kThreadId], L"7002");
        EXPECT_EQ(report[SupervisorLabel::kWindowId], L"0") << "the new process's window is searched anew";
    }
}

TEST_F(SupervisorRules, ARestartWithoutAProcessLaunchesAtOnceAndAFailedOneIsRetried) {
    testlog::LogFolder log;
    marlowcast.launches = false;
    Supervisor& s = LaunchedWithFailures(6);
    EXPECT_EQ(report[SupervisorLabel::kStartStatus], L"Start Marlowcast Failed!");
    s.Restart();
    EXPECT_TRUE(marlowcast.pauses.empty()) << "no process handle: nothing to end";
    EXPECT_EQ(s.FailCount(), 5) << "a failed relaunch leaves the count at the limit";
    EXPECT_EQ(report.timerCalls.back(), true) << "the timer runs on after a failed launch";
    EXPECT_EQ(report[SupervisorLabel::kProcessId], L"") << "the ids of the last successful launch stay";

    // Marlowcast stays missing: every round of a failed check, a restart and
    // a failed launch reads the same, and the log has each line once.
    marlowcast.answers = false;
    for (int round = 0; round < 5; ++round) {
        s.CheckHealth();
        s.Restart();
    }
    EXPECT_EQ(marlowcast.restartRequests, 5);
    const std::vector<std::string> events = testlog::Events(log.Log());
    for (const std::string line : {"Check failed: no \"200 OK\" status answer (failure count 6)",
                                   "Restarting Marlowcast: failure count 6 is over the limit of 5"}) {
        EXPECT_EQ(std::count(events.begin(), events.end(), line), 1) << line;
    }
    EXPECT_EQ(
        std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("Launch of ", 0) == 0; }),
        1);

    // The retry: the next failed check asks again, and this time it starts.
    marlowcast.restartRequests = 0;
    s.CheckHealth();
    EXPECT_EQ(marlowcast.restartRequests, 1);
    marlowcast.launches = true;
    s.Restart();
    EXPECT_EQ(marlowcast.launched, 1);
    EXPECT_EQ(s.FailCount(), 0);
    EXPECT_EQ(report[SupervisorLabel::kProcessId], L"4001");
}

TEST_F(SupervisorRules, NothingIsLaunchedIntoAFolderThatAnInstallationLeftHalfDone) {
    marlowcast.folderWhole = false;
    Supervisor& s = LaunchedWithFailures(6);
    EXPECT_EQ(marlowcast.launched, 0);
    EXPECT_EQ(report[SupervisorLabel::kStartStatus], L"Start Marlowcast Failed!");
    EXPECT_EQ(report.timerCalls.back(), true) << "the checks go on, and with them the restarts that try again";

    marlowcast.folderWhole = true;
    s.Restart();
    EXPECT_EQ(marlowcast.recoveries, 2) << "every launch recovers first";
    EXPECT_EQ(marlowcast.launched, 1);
}

TEST_F(SupervisorRules, AnUpgradeBegunDuringTheWaitLaunchesNothingButKeepsTheTimer) {
    Supervisor& s = LaunchedWithFailures(6);
    marlowcast.terminates = false;
    marlowcast.duringPause = [&] { s.SetUpgrading(true); };
    report.timerCalls.clear();
    s.Restart();
    EXPECT_EQ(marlowcast.launched, 1) << "nothing was launched";
    EXPECT_EQ(s.FailCount(), 0);
    EXPECT_EQ(report.timerCalls, (std::vector<bool>{false, true})) << "supervision must resume after the upgrade";
}

TEST_F(SupervisorRules, LaunchesMarlowcastFromOurOwnFolder) {
    Supervisor& s = Make();
    s.Launch();
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring expected(module);
    expected = expected.substr(0, expected.rfind(L'\\')) + L"\\Marlowcast.exe";
    EXPECT_EQ(marlowcast.launchedPath, expected);
}

// Marlowcast starts without arguments: its command line is its path alone,
// read back as one argument wherever the spaces are (Wine quotes a bare path
// itself, so only the value shows it).
TEST(Launch, MarlowcastsCommandLineIsItsQuotedPathAlone) {
    for (const std::wstring path :
         {L"C:\\Quillstone\\Marlowcast.exe", L"\\\\server\\a share\\two  spaces\\Marlowcast.exe"}) {
        int count = 0;
        LPWSTR* argv = CommandLineToArgvW(MarlowcastCommandLine(path).c_str(), &count);
        ASSERT_NE(argv, nullptr);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(std::wstring(argv[0]), path);
        LocalFree(argv);
    }
}

// The watch thread takes the timer's checks and the restarts in order, drops
// every other message, and ends on the quit message even while the stop flag
// is still set.
TEST_F(SupervisorRules, TheWatchThreadRunsChecksAndRestartsAndDropsOtherMessages) {
    SupervisorSystem system = marlowcast.System();
    std::atomic<int> probes{0}, launches{0};
    system.probeStatus = [&](DWORD) { return ++probes, true; };
    auto launch = system.createProcess;
    system.createProcess = [&, launch](const std::wstring& path, PROCESS_INFORMATION* started) {
        ++launches;
        return launch(path, started);
    };
    Supervisor s(report, running, system);
    ASSERT_TRUE(s.Start());
    ASSERT_NE(s.WatchThreadId(), 0u);
    s.LaunchFirst();
    EXPECT_EQ(launches, 1);

    const UINT strangers[] = {WM_USER + 7, WM_APP, WM_SV_UPGRADE, WM_SV_UPGRADE_DONE, WM_TIMER};
    for (UINT message : strangers) ASSERT_TRUE(PostThreadMessageW(s.WatchThreadId(), message, 1, 2));
    s.RequestCheck();
    s.RequestCheck();
    ASSERT_TRUE(PostThreadMessageW(s.WatchThreadId(), WM_SV_RESTART, 0, 0));
    s.RequestCheck();
    const DWORD deadline = GetTickCount() + 10000;
    while ((probes < 3 || launches < 2) && GetTickCount() < deadline) Sleep(10);
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(launches, 2) << "one restart, nothing else";

    const DWORD stopping = GetTickCount();
    s.Stop();
    EXPECT_LT(GetTickCount() - stopping, 5000u);
    EXPECT_EQ(s.WatchThreadId(), 0u);
}

// The first launch runs on the UI thread, which answers the tray icon only
// after it: its recoveries and its rollback share one bound. A later launch,
// on the watch thread, has a bound of its own.
TEST_F(SupervisorRules, TheFirstLaunchsWorkOnTheInstallationSharesOneBound) {
    SupervisorSystem system = marlowcast.System();
    std::vector<DWORD> bounds;
    const auto takes12s = [&](DWORD boundMs) { bounds.push_back(boundMs), marlowcast.clock += 12000; };
    system.recoverInstallation = [&](DWORD boundMs) { return takes12s(boundMs), true; };
    system.rollBack = [&](const std::wstring&, DWORD boundMs) {
        takes12s(boundMs);
        marlowcast.onProbation = false;
        return true;
    };
    marlowcast.onProbation = true, marlowcast.failures = 2, marlowcast.launches = false;
    Supervisor s(report, running, system);
    s.LaunchFirst();
    s.Restart();
    EXPECT_EQ(bounds, (std::vector<DWORD>{20000, 8000, 0, 20000}));
}

// What an administrator reads afterwards: each failed check with the test
// that failed, each restart with its count and how the old process ended,
// each launch; and nothing at all while Marlowcast is healthy.
TEST_F(SupervisorRules, TheLogSaysWhyEachCheckFailedAndStaysQuietWhileHealthy) {
    testlog::LogFolder log;
    const HWND hung = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1234));
    const struct {
        const char* what;
        std::function<void(Marlowcast&)> fault;
        int checks;
        std::vector<std::string> events;
    } cases[] = {
        {"healthy", [](Marlowcast&) {}, 3, {}},
        {"crashed",
         [](Marlowcast& m) { m.ended = true, m.code = 0xC0000005; },
         2,
         {"Check failed: Marlowcast (process id 4001) exited with code 0xC0000005 (failure count 1)",
          "Check failed: Marlowcast (process id 4001) exited with code 0xC0000005 (failure count 2)"}},
        {"hung window",
         [hung](Marlowcast& m) { m.window = hung, g_hungWindow = hung; },
         1,
         {"Check failed: Marlowcast's window 4660 (process id 4001) is hung (failure count 1)"}},
        {"silent, mutex gone",
         [](Marlowcast& m) { m.answers = false, m.mutexHeld = false; },
         1,
         {"Check failed: no \"200 OK\" status answer (failure count 1)",
          "Marlowcast's instance mutex is gone: failure count raised to 5, the next failed check restarts it"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        marlowcast = Marlowcast();
        Supervisor& s = Make();
        s.UseHungTests(WindowHungIfChosen, nullptr);
        s.Launch();
        log.Clear();
        c.fault(marlowcast);
        for (int i = 0; i < c.checks; ++i) s.CheckHealth();
        EXPECT_EQ(testlog::Events(log.Log()), c.events);
        g_hungWindow = nullptr;
    }

    // A restart: why, the dump before the kill, how the old process ended, the
    // new one; then a launch that fails names the file and Windows' error.
    marlowcast = Marlowcast();
    Supervisor& s = LaunchedWithFailures(6);
    log.Clear();
    s.Restart();
    marlowcast.launches = false;
    s.Launch();
    const std::vector<std::string> events = testlog::Events(log.Log());
    ASSERT_EQ(events.size(), 5u);
    const std::string path(marlowcast.launchedPath.begin(), marlowcast.launchedPath.end());
    EXPECT_EQ(events[0], "Restarting Marlowcast: failure count 6 is over the limit of 5");
    EXPECT_EQ(
        events[1].rfind(
            "Dump of the silent Marlowcast (process id 4001) written before it is ended: C:\\dumps\\Marlowcast-", 0),
        0u)
        << events[1];
    EXPECT_EQ(events[2], "Marlowcast (process id 4001) terminated");
    EXPECT_EQ(events[3], "Launched " + path + ": process id 4002");
    EXPECT_EQ(events[4].rfind("Launch of " + path + " failed: error 2 (", 0), 0u) << events[4];
}

}  // namespace
