// The supervisor as a process among processes: it survives a Marlowcast that
// crashes at every start without growing, and of eight supervisors started at
// the same moment exactly one stays.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>

#include "res/resource.h"
#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;
using namespace rel;

namespace {

TEST(Process, MarlowcastCrashingAtEveryStartIsRelaunchedWithoutGrowth) {
    Install install;
    EventLogReader log;
    Supervisor sup(install, L"", {L"MARLOWCAST_ON_START=crash"});
    ASSERT_TRUE(sup.Started());
    ASSERT_TRUE(WaitFor([&] { return sup.Window() && !StandInStarts(install).empty(); }, 15s));

    // What is measured here does not depend on the 8000 ms period, so the
    // checks are brought on by the timer message itself, a little more than
    // one a second: slow enough that checks never queue up behind each other
    // (queued checks would each ask for a restart of their own).
    constexpr size_t kCycles = 10;
    std::vector<Footprint> afterRelaunch;
    size_t seen = StandInStarts(install).size();
    const bool done = WaitFor(
        [&] {
            size_t now = StandInStarts(install).size();
            if (now > seen) {
                seen = now;
                afterRelaunch.push_back(FootprintOf(sup.Process()));
            }
            PostMessageW(sup.Window(), WM_TIMER, kCheckTimerId, 0);
            return now >= kCycles + 1;
        },
        150s, 800ms);
    if (!done) {
        for (const StandInEvent& e : ReadStandInLog(install)) std::printf("log: %lu %s\n", e.pid, e.text.c_str());
        std::printf("window: %ls / %ls / %ls\n", sup.ItemText(IDC_START_STATUS).c_str(),
                    sup.ItemText(IDC_PROCESS_ID).c_str(), sup.ItemText(IDC_WINDOW_ID).c_str());
    }
    ASSERT_TRUE(done) << "relaunched " << seen - 1 << " times";
    // Let the last launch settle before the final reading.
    std::this_thread::sleep_for(1s);
    afterRelaunch.push_back(FootprintOf(sup.Process()));

    for (size_t i = 0; i < afterRelaunch.size(); ++i) {
        std::printf("measured: relaunch %zu: %lu handles, %zu KiB private, %zu KiB working set\n", i + 1,
                    afterRelaunch[i].handles, afterRelaunch[i].privateBytes >> 10, afterRelaunch[i].workingSet >> 10);
    }
    ASSERT_GE(afterRelaunch.size(), 4u);
    const Footprint& early = afterRelaunch[2];
    const Footprint& late = afterRelaunch.back();
    ASSERT_GT(early.handles, 0u) << "no handle count for the supervisor";
    ASSERT_GT(early.privateBytes, 0u) << "no memory figure for the supervisor";
    // A handle or two may come and go with the timing of a check; one per
    // cycle would show as eight or more.
    EXPECT_LE(late.handles, early.handles + 3) << "handles grow with every relaunch";
    EXPECT_LE(late.privateBytes, early.privateBytes + (2u << 20)) << "memory grows with every relaunch";
    for (DWORD pid : StandInStarts(install)) EXPECT_FALSE(ProcessRunning(pid)) << pid;
    EXPECT_TRUE(UiResponds(sup.Window()));
    // Every relaunch is in the log with the crash that brought it about.
    EXPECT_GE(log.Matching("Restarting Marlowcast: failure count").size(), kCycles);
    EXPECT_GE(log.Matching("exited with code 0xC0000005").size(), kCycles);
}

TEST(Process, OfEightSupervisorsStartedAtOnceExactlyOneStays) {
    Install install;
    EventLogReader log;
    const std::wstring exe = install.Path(L"Quillstone.exe");
    constexpr int kCount = 8;
    std::vector<PROCESS_INFORMATION> started;
    for (int i = 0; i < kCount; ++i) {
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   install.Folder().c_str(), &si, &pi));
        started.push_back(pi);
    }
    for (const PROCESS_INFORMATION& pi : started) ResumeThread(pi.hThread);

    // Every one but the first explains itself; dismiss the boxes as they come.
    const std::set<std::wstring> expected = {L"Quillstone Already Started !",
                                             L"Marlowcast will be automatically restart soon!"};
    int dismissed = 0;
    for (int i = 0; i < kCount - 1; ++i) {
        std::wstring text;
        if (!DismissMessageBox(&text, 30s)) break;
        ++dismissed;
        EXPECT_EQ(expected.count(text), 1u) << "unexpected text: " << std::string(text.begin(), text.end());
    }
    EXPECT_EQ(dismissed, kCount - 1);
    EXPECT_EQ(log.Matching("Second instance refused").size(), static_cast<size_t>(kCount - 1)) << log.Dump();

    std::vector<DWORD> running;
    WaitFor(
        [&] {
            running.clear();
            for (const PROCESS_INFORMATION& pi : started) {
                if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) running.push_back(pi.dwProcessId);
            }
            return running.size() <= 1;
        },
        15s);
    ASSERT_EQ(running.size(), 1u) << "supervisors left running";
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(MessageBoxes().empty()) << "no further box";

    // The one that stays supervises: its window exists and Marlowcast runs.
    std::vector<HWND> windows = MessageBoxes(L"Quillstone for Marlowcast");
    ASSERT_EQ(windows.size(), 1u);
    DWORD owner = 0;
    GetWindowThreadProcessId(windows.front(), &owner);
    EXPECT_EQ(owner, running.front());
    EXPECT_TRUE(WaitFor([&] { return StandInStarts(install).size() == 1; }, 10s));

    PostMessageW(windows.front(), WM_SV_QUIT, 0, 0);
    for (const PROCESS_INFORMATION& pi : started) {
        if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
}

}  // namespace
