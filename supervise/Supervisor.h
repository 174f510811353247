#pragma once
// The supervisor keeps Marlowcast running. It owns the watch thread, which
// runs one health check for every tick of the check timer and restarts
// Marlowcast after repeated failures, and the handles of the process it
// launched. It knows no window: what a user may see of it, and the check
// timer that lives on the supervisor window, go through SupervisorReport.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "base/Handles.h"
#include "base/StopFlag.h"
#include "supervise/Dumps.h"

// The labels a launch or a check writes.
enum class SupervisorLabel { kProcessId, kThreadId, kWindowId, kStartStatus };

// What the supervisor tells its owner. Called on the UI thread during the
// first launch and on the watch thread afterwards; an implementation must not
// wait for the UI thread, since the shutdown waits there for the watch thread.
class SupervisorReport {
public:
    virtual void ShowText(SupervisorLabel label, const wchar_t* text) = 0;
    // The check timer runs (true) or stops (false).
    virtual void RunCheckTimer(bool run) = 0;

protected:
    ~SupervisorReport() = default;
};

// The system calls supervision rests on, replaceable so that a test can play a
// process that will not end, a failing probe, or a pause that takes no time.
struct SupervisorSystem {
    std::function<bool(const std::wstring& path, PROCESS_INFORMATION* started)> createProcess;
    std::function<bool(HANDLE process, DWORD* code)> exitCode;
    std::function<bool(HANDLE process)> terminate;
    std::function<void(DWORD ms)> pause;
    // The status answer, counted only from the listener of `launched` (0: any).
    std::function<bool(DWORD launched)> probeStatus;
    std::function<bool()> marlowcastRunning;
    // The first visible top-level window of the process, or null.
    std::function<HWND(DWORD processId)> findWindow;
    // Asks the watch thread for a restart (a thread message).
    std::function<bool(DWORD watchThreadId)> postRestart;
    // Before each launch: an installation cut short is recovered first,
    // waiting for held files at most `boundMs`. False while it cannot be
    // (Marlowcast started by hand holds the files, a file is locked): nothing
    // is launched, and a later restart tries again.
    std::function<bool(DWORD boundMs)> recoverInstallation;
    // The release installed last is on probation (asked after the recovery
    // before each launch); one more failed launch of it, the count so far;
    // rolling it back (`why` ends the log line) within `boundMs`, true once
    // the old release is whole again; accepting it once it has run healthy.
    std::function<bool()> onProbation;
    std::function<int()> countFailedLaunch;
    std::function<bool(const std::wstring& why, DWORD boundMs)> rollBack;
    std::function<void()> acceptRelease;
    // How many installations have committed: a launch that exits for an
    // upgrade is forgotten only when one went on to install.
    std::function<unsigned()> installations;
    // Milliseconds, for the probation's healthy run.
    std::function<ULONGLONG()> now;
    // Evidence of a hung or silent Marlowcast, written before it is ended.
    DumpSystem dumps;
};

// The real calls; the status probe ends early once `running` is cleared.
SupervisorSystem RealSupervisorSystem(const StopFlag& running);

// The command line Marlowcast is started with: its path, quoted, and no
// arguments. Windows gives a child started with an application name and no
// command line the bare path as its command line, which splits into stray
// arguments at a space.
std::wstring MarlowcastCommandLine(const std::wstring& path);

// A release on probation that fails this many launches is rolled back; one
// whose Marlowcast passes every check for this long is kept.
constexpr int kProbationLaunches = 3;
// What the first launch's work on the installation may take in all, on the
// UI thread before it answers the tray icon.
constexpr DWORD kFirstLaunchBoundMs = 20000;
constexpr ULONGLONG kProbationMs = 10 * 60 * 1000;

// The responsiveness tests USER32 offers; either may be missing.
using HungWindowTest = BOOL(WINAPI*)(HWND);
using HungThreadTest = BOOL(WINAPI*)(DWORD);

class Supervisor {
public:
    Supervisor(SupervisorReport& report, const StopFlag& running);
    Supervisor(SupervisorReport& report, const StopFlag& running, SupervisorSystem system);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // UI thread. Looks up the hung tests and starts the watch thread. False
    // when it cannot be created.
    bool Start();
    // UI thread, once after Start: launches Marlowcast, which starts the check
    // timer. The UI thread answers nobody meanwhile, so the launch's
    // recoveries, count and rollback share one bound of kFirstLaunchBoundMs.
    void LaunchFirst();
    // UI thread, on each tick of the check timer: one health check, queued
    // behind any that still run.
    void RequestCheck();
    // UI thread, during the shutdown (the stop flag is already cleared): ends
    // and joins the watch thread, which first finishes what it is doing. The
    // process we launched keeps running; only our handles to it go.
    void Stop();

    // While an upgrade runs, Marlowcast exits on purpose: checks and restarts
    // do nothing. Set on the UI thread, read on the watch thread.
    // The process that exits during the wait of an upgrade that goes on to
    // install is no failure of a release on probation; an upgrade that goes
    // nowhere leaves the launch judged as any other. No health counts across
    // an upgrade toward a probation's healthy run.
    void SetUpgrading(bool upgrading) {
        if (upgrading) m_upgradeBegan.store(true);
        m_upgrading.store(upgrading ? 1 : 0);
    }
    bool IsUpgrading() const { return m_upgrading.load() != 0; }

    // The watch thread's work, run by tests directly on their own thread.
    void CheckHealth();
    bool Launch();   // the first launch; the launch step of every restart
    void Restart();  // end the old process within 20 s, then launch again
    void UseHungTests(HungWindowTest window, HungThreadTest thread);

    int FailCount() const { return m_failCount.load(); }
    // The watch thread's id (0 while none runs): the target of its thread messages.
    DWORD WatchThreadId() const { return m_watchThreadId; }

private:
    static DWORD WINAPI WatchThreadProc(LPVOID param);
    void WatchLoop();
    void CountFailure();
    void ApplyMutexRule();
    void RequestRestart();
    bool LaunchStep();
    void Failed(std::wstring why);
    void Passed();
    bool FailedOnProbation(const std::wstring& why);
    void ForgetProbationAcrossUpgrade();
    DWORD TransactionBound() const;

    SupervisorReport& m_report;
    const StopFlag& m_running;
    SupervisorSystem m_system;
    DumpKeeper m_dumps;

    // Written by the UI thread before the watch thread runs a check, then by
    // the watch thread alone.
    std::atomic<int> m_failCount{0};
    std::atomic<int> m_upgrading{0};
    bool m_restartAsked = false;  // the watch thread's own: a restart is queued
    ProcessHandles m_process;
    HWND m_watchedWnd = nullptr;            // Marlowcast's visible window, once found
    DumpKind m_failedAs = DumpKind::kNone;  // what the last failed check found: the dump a kill takes

    // The watch thread's own: whether the process we launched runs the
    // release on probation, since when its checks have all passed, and what
    // the last failed check found.
    bool m_onProbation = false;
    bool m_passing = false;
    ULONGLONG m_passingSince = 0;
    // Whether a check has passed since the launch: an exit with code 0 after
    // one is Marlowcast ended on purpose, no failed launch.
    bool m_passedSinceLaunch = false;
    unsigned m_installationsAtLaunch = 0;
    std::wstring m_lastFailure;
    // While the first launch runs: when its shared bound ends (now()'s time).
    ULONGLONG m_firstLaunchEnds = 0;
    std::atomic<bool> m_upgradeBegan{false};

    ModuleHandle m_user32;
    HungWindowTest m_isHungAppWindow = nullptr;
    HungThreadTest m_isHungThread = nullptr;

    UniqueHandle m_watchThread;
    DWORD m_watchThreadId = 0;
    UniqueHandle m_queueReady;  // set by the watch thread once it can take thread messages
};
