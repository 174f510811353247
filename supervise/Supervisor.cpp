#include "supervise/Supervisor.h"

#include <strsafe.h>

#include "base/EventLog.h"
#include "base/AwakeClock.h"
#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
#include "channel/LocalChannel.h"
#include "install/Installation.h"
#include "install/ReleaseRecord.h"
#include "supervise/WindowSearch.h"

namespace {

// More failed checks in a row than this ask for a restart.
constexpr int kMaxFailures = 5;
// Ending the old process: at most this many attempts, with this pause after
// each failed one and after a termination (the process needs a moment to let
// go of its files, mutex and port).
constexpr int kTerminateAttempts = 20;
constexpr DWORD kTerminatePauseMs = 1000;

// Marlowcast.exe beside our own executable; empty when our path is unknown,
// so that the launch fails as it would for a missing file.
std::wstring MarlowcastPath() {
    wchar_t module[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring path(module, length);
    return path.substr(0, path.rfind(L'\\') + 1) + kMarlowcastExeName;
}

template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
    // GetProcAddress returns a generic function pointer; this gives it its type.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// "%ld": ids are shown as signed 32-bit decimals, window handles included
// (they have 32 significant bits).
void Format(wchar_t (&text)[32], long value) { StringCchPrintfW(text, 32, L"%ld", value); }

// The topics of the lines a round of supervision writes, for the log's
// condensation of lines that repeat unchanged. A failed check's line says
// something new at every check while a process of ours runs (its count
// grows), and the same every 8 s when none does (Marlowcast.exe missing) or
// when one we did not start answers.
constexpr wchar_t kCheckTopic[] = L"check";
constexpr wchar_t kMutexTopic[] = L"mutex";
constexpr wchar_t kRestartTopic[] = L"restart";
constexpr wchar_t kLaunchTopic[] = L"launch";

// The restart's and the mutex rule's lines always read the same; with a
// process of ours each names a round of its own and is written, without one
// (every launch fails) it is condensed.
const wchar_t* RoundTopic(const ProcessHandles& process, const wchar_t* topic) {
    return process.Process() ? nullptr : topic;
}

// Upgrades install into the current folder, so the journal is there.
std::wstring InstallationFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), &folder[0]));
    return folder;
}

}  // namespace

std::wstring MarlowcastCommandLine(const std::wstring& path) { return L"\"" + path + L"\""; }

SupervisorSystem RealSupervisorSystem(const StopFlag& running) {
    SupervisorSystem system;
    system.createProcess = [](const std::wstring& path, PROCESS_INFORMATION* started) {
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        // No arguments, no inherited handles, our environment, current folder
        // and error mode (no crash dialog: a crash ends the process).
        std::wstring commandLine = MarlowcastCommandLine(path);
        return CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                              nullptr, &si, started) != FALSE;
    };
    system.exitCode = [](HANDLE process, DWORD* code) { return GetExitCodeProcess(process, code) != FALSE; };
    system.terminate = [](HANDLE process) { return TerminateProcess(process, 0) != FALSE; };
    system.pause = [](DWORD ms) { Sleep(ms); };
    system.probeStatus = [&running](DWORD launched) { return ProbeStatus(running, launched) != FALSE; };
    system.marlowcastRunning = [] { return IsMarlowcastRunning(); };
    system.findWindow = [](DWORD processId) { return FindWindowOfProcess(processId); };
    system.postRestart = [](DWORD threadId) { return PostThreadMessageW(threadId, WM_SV_RESTART, 0, 0) != FALSE; };
    system.recoverInstallation = [&running](DWORD boundMs) {
        const std::wstring folder = InstallationFolder();
        return folder.empty() || Installation::RecoverBeforeLaunch(folder, running, boundMs);
    };
    system.onProbation = [] { return Installation(InstallationFolder()).OnProbation(); };
    // At the limit the count stays there: a rollback that could not start is
    // tried again at each later failed launch.
    system.countFailedLaunch = [] { return Installation(InstallationFolder()).CountFailedLaunch(kProbationLaunches); };
    system.rollBack = [&running](const std::wstring& why, DWORD boundMs) {
        const auto refuse = [](const std::string& release) { return RecordRefusedRelease(kReleaseRecordKey, release); };
        return Installation(InstallationFolder()).RollBack(why, refuse, running, boundMs);
    };
    system.acceptRelease = [] { Installation(InstallationFolder()).AcceptRelease(); };
    system.installations = [] { return Installation::Committed(); };
    system.now = [] { return AwakeMilliseconds(); };
    system.dumps = RealDumpSystem(running);
    return system;
}

Supervisor::Supervisor(SupervisorReport& report, const StopFlag& running)
    : Supervisor(report, running, RealSupervisorSystem(running)) {}

Supervisor::Supervisor(SupervisorReport& report, const StopFlag& running, SupervisorSystem system)
    : m_report(report), m_running(running), m_system(std::move(system)), m_dumps(m_system.dumps) {
    // A system that knows no installation has no release on probation.
    if (!m_system.onProbation) m_system.onProbation = [] { return false; };
    if (!m_system.now) m_system.now = [] { return AwakeMilliseconds(); };
    if (!m_system.installations) m_system.installations = [] { return 0u; };
}

Supervisor::~Supervisor() { Stop(); }

bool Supervisor::Start() {
    // Dumps past their age go even if Marlowcast never hangs again.
    m_dumps.Prune();
    m_user32.Reset(LoadLibraryW(L"USER32.DLL"));
    if (m_user32) {
        // The thread test stands in only where the window test is missing.
        HungWindowTest window = LookUp<HungWindowTest>(m_user32.Get(), "IsHungAppWindow");
        UseHungTests(window, window ? nullptr : LookUp<HungThreadTest>(m_user32.Get(), "IsHungThread"));
    }

    m_queueReady.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_watchThread.Reset(CreateThread(nullptr, 0, WatchThreadProc, this, 0, &m_watchThreadId));
    if (!m_watchThread) return false;
    // A thread message posted before the thread has its queue is lost. The
    // thread sets the event once it has one; should it end first, its handle
    // ends the wait.
    if (m_queueReady) {
        const HANDLE either[] = {m_queueReady.Get(), m_watchThread.Get()};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }

    return true;
}

void Supervisor::LaunchFirst() {
    m_firstLaunchEnds = m_system.now() + kFirstLaunchBoundMs;
    Launch();
    m_firstLaunchEnds = 0;
    m_failCount = 0;
}

void Supervisor::RequestCheck() {
    // A check lost because the post failed is made good by the next tick.
    if (m_watchThread) PostThreadMessageW(m_watchThreadId, WM_SV_CHECK, 0, 0);
}

void Supervisor::Stop() {
    if (m_watchThread) {
        // The thread may be inside a check or a restart; both end by their
        // own bounds or at the cleared stop flag, and the quit is taken next.
        PostThreadMessageW(m_watchThreadId, WM_SV_QUIT, 0, 0);
        WaitForSingleObject(m_watchThread.Get(), INFINITE);
        m_watchThread.Reset();
        m_watchThreadId = 0;
    }
    UseHungTests(nullptr, nullptr);
    m_user32.Reset();
    m_process.CloseHandles();
}

void Supervisor::UseHungTests(HungWindowTest window, HungThreadTest thread) {
    m_isHungAppWindow = window;
    m_isHungThread = thread;
}

DWORD WINAPI Supervisor::WatchThreadProc(LPVOID param) {
    try {
        static_cast<Supervisor*>(param)->WatchLoop();
    } catch (...) {
        // Nothing may unwind out of a thread; the shutdown still joins it.
    }
    return 0;
}

void Supervisor::WatchLoop() {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    if (m_queueReady) SetEvent(m_queueReady.Get());

    // The flag is tested only before each wait: a thread blocked in the wait
    // stays there until a message comes, which is why the shutdown posts the
    // quit message.
    while (m_running.IsRunning()) {
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
        if (msg.message == WM_SV_QUIT) break;
        if (msg.message == WM_SV_RESTART) {
            Restart();
        } else if (msg.message == WM_SV_CHECK) {
            CheckHealth();
        }
    }
}

void Supervisor::CheckHealth() {
    // Marlowcast exits on purpose during an upgrade; nothing is judged then.
    if (IsUpgrading()) return;
    ForgetProbationAcrossUpgrade();

    if (HANDLE process = m_process.Process()) {
        DWORD code = 0;
        if (m_system.exitCode(process, &code) && code != STILL_ACTIVE) {
            LogRepeatingEvent(kCheckTopic,
                              L"Check failed: Marlowcast (process id %lu) exited with code 0x%08lX (failure count %d)",
                              m_process.ProcessId(), code, m_failCount.load() + 1);
            wchar_t why[48];
            StringCchPrintfW(why, 48, L"it exited with code 0x%08lX", code);
            Failed(why);
            m_failedAs = DumpKind::kNone;
            // Closed by its user or by itself once it had run healthy: the
            // restart that follows is no failed launch of a release.
            if (code == 0 && m_passedSinceLaunch) m_onProbation = false;
            return CountFailure();
        }
    }

    if (m_isHungAppWindow) {
        if (!m_watchedWnd) {
            m_watchedWnd = m_system.findWindow(m_process.ProcessId());
            wchar_t text[32];
            Format(text, static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_watchedWnd)));
            m_report.ShowText(SupervisorLabel::kWindowId, text);
        }
        if (m_watchedWnd && m_isHungAppWindow(m_watchedWnd)) {
            LogRepeatingEvent(kCheckTopic,
                              L"Check failed: Marlowcast's window %ld (process id %lu) is hung (failure count %d)",
                              static_cast<long>(reinterpret_cast<LONG_PTR>(m_watchedWnd)), m_process.ProcessId(),
                              m_failCount.load() + 1);
            Failed(L"its window hung");
            m_failedAs = DumpKind::kHung;
            return CountFailure();
        }
    } else if (m_isHungThread && m_process.ThreadId() && m_isHungThread(m_process.ThreadId())) {
        LogRepeatingEvent(kCheckTopic,
                          L"Check failed: Marlowcast's thread %lu (process id %lu) is hung (failure count %d)",
                          m_process.ThreadId(), m_process.ProcessId(), m_failCount.load() + 1);
        Failed(L"its thread hung");
        m_failedAs = DumpKind::kHung;
        return CountFailure();
    }

    if (m_system.probeStatus(m_process.ProcessId())) {
        if (m_process.Process()) {
            m_failCount = 0;
            EndRepeatingEvent(kCheckTopic);
            return Passed();
        }
        // It answers, but it is not a process we started.
        LogRepeatingEvent(kCheckTopic,
                          L"Check failed: a Marlowcast answers that Quillstone did not start (failure count 1)");
        m_failCount = 1;
    } else {
        Failed(L"no status answer");
        m_failedAs = DumpKind::kSilent;
        if (m_running.IsRunning()) {
            LogRepeatingEvent(kCheckTopic, L"Check failed: no \"200 OK\" status answer (failure count %d)",
                              m_failCount.load() + 1);
        }
        if (++m_failCount > kMaxFailures) return RequestRestart();
    }
    ApplyMutexRule();
}

void Supervisor::CountFailure() {
    if (++m_failCount > kMaxFailures) return RequestRestart();
    ApplyMutexRule();
}

void Supervisor::ApplyMutexRule() {
    // Plainly gone: the next failed check restarts it.
    if (!m_system.marlowcastRunning()) {
        if (m_failCount.load() < kMaxFailures) {
            LogRepeatingEvent(
                RoundTopic(m_process, kMutexTopic),
                L"Marlowcast's instance mutex is gone: failure count raised to %d, the next failed check restarts it",
                kMaxFailures);
        }
        m_failCount = kMaxFailures;
    }
}

void Supervisor::RequestRestart() {
    // The count stays above the limit until the restart resets it, so a lost
    // request is made good by the next failed check. One that went out is
    // not made again: a second restart queued behind it would end the
    // process the first one launched.
    if (!m_restartAsked && m_system.postRestart(m_watchThreadId)) m_restartAsked = true;
}

bool Supervisor::Launch() {
    if (IsUpgrading()) return true;
    return LaunchStep();
}

void Supervisor::Restart() {
    m_restartAsked = false;
    if (IsUpgrading()) return;
    ForgetProbationAcrossUpgrade();

    LogRepeatingEvent(RoundTopic(m_process, kRestartTopic),
                      L"Restarting Marlowcast: failure count %d is over the limit of %d", m_failCount.load(),
                      kMaxFailures);
    m_report.RunCheckTimer(false);
    if (HANDLE process = m_process.Process()) {
        const DWORD processId = m_process.ProcessId();
        bool ended = false, dumped = false;
        for (int attempt = 0; attempt < kTerminateAttempts; ++attempt) {
            DWORD code = 0;
            if (m_system.exitCode(process, &code)) {
                if (code != STILL_ACTIVE) {
                    LogEvent(L"Marlowcast (process id %lu) had ended with code 0x%08lX", processId, code);
                    ended = true;
                    // A second Marlowcast that ends because the first one
                    // runs (Quillstone started again beside it) is no
                    // failure of the release.
                    if (m_system.marlowcastRunning()) m_onProbation = false;
                    break;
                }
                // Evidence first, once, while there is still a process to
                // look at: a crashed one has ended above.
                if (!dumped) m_dumps.BeforeKill(process, processId, m_failedAs), dumped = true;
                if (m_system.terminate(process)) {
                    LogEvent(L"Marlowcast (process id %lu) terminated", processId);
                    ended = true;
                    m_system.pause(kTerminatePauseMs);
                    break;
                }
            }
            m_system.pause(kTerminatePauseMs);
        }
        if (!ended) {
            LogEvent(L"Marlowcast (process id %lu) could not be ended in %d attempts (error %lu); launching anyway",
                     processId, kTerminateAttempts, GetLastError());
        }
    }

    if (IsUpgrading()) {
        LogEvent(L"Restart left off: an upgrade began; supervision resumes after it");
        m_failCount = 0;
        // Supervision resumes once the upgrade is over, so the timer must run.
        m_report.RunCheckTimer(true);
        return;
    }
    // The release on probation failed once more; at the last failure it is
    // rolled back, and what is launched next is the old one.
    if (m_onProbation) FailedOnProbation(m_lastFailure);
    // A failed launch leaves the count at the limit: the next failed check
    // asks for another restart. Each round then reads the same in the log,
    // which writes a failure that repeats unchanged once an hour.
    m_failCount = LaunchStep() ? 0 : kMaxFailures;
}

bool Supervisor::LaunchStep() {
    const std::wstring path = MarlowcastPath();
    // The timer runs whether or not the start succeeds: a failed start is
    // retried by the restart that the following failed checks ask for.
    m_report.RunCheckTimer(true);

    PROCESS_INFORMATION started = {};
    // An installation cut short is recovered before Marlowcast runs from the
    // folder again; until it can be, nothing is launched.
    const bool recovered = m_system.recoverInstallation(TransactionBound());
    const bool created = recovered && m_system.createProcess(path, &started);
    const DWORD launchError = created ? 0 : GetLastError();
    // The handles of the process being replaced are not used again.
    m_process.CloseHandles();
    // Asked only now: the recovery may have completed a rollback.
    const bool probation = recovered && m_system.onProbation();
    m_onProbation = created && probation;
    m_passing = false;
    m_passedSinceLaunch = false;
    m_installationsAtLaunch = m_system.installations();
    if (!recovered) {
        LogRepeatingEvent(
            kLaunchTopic,
            L"Launch of %ls held back: an interrupted upgrade is not recovered yet (Marlowcast runs, or a "
            L"file is held)",
            path.c_str());
    } else if (!created) {
        LogRepeatingEvent(kLaunchTopic, L"Launch of %ls failed: error %lu (%ls)", path.c_str(), launchError,
                          ErrorText(launchError).c_str());
    }
    if (!created) {
        m_report.ShowText(SupervisorLabel::kStartStatus, L"Start Marlowcast Failed!");
        if (recovered && probation) {
            wchar_t why[48];
            StringCchPrintfW(why, 48, L"its launch failed with error %lu", launchError);
            if (FailedOnProbation(why)) return LaunchStep();
        }
        return false;
    }

    LogEvent(L"Launched %ls: process id %lu", path.c_str(), started.dwProcessId);
    // A round that begins with a process is news, whatever the last one said.
    for (const wchar_t* topic : {kCheckTopic, kMutexTopic, kRestartTopic, kLaunchTopic}) EndRepeatingEvent(topic);
    m_process.Adopt(started);
    // A new process has new windows: the next check searches again.
    m_watchedWnd = nullptr;
    wchar_t text[32];
    m_report.ShowText(SupervisorLabel::kStartStatus, L"Start Marlowcast OK!");
    Format(text, static_cast<long>(started.dwProcessId));
    m_report.ShowText(SupervisorLabel::kProcessId, text);
    Format(text, static_cast<long>(started.dwThreadId));
    m_report.ShowText(SupervisorLabel::kThreadId, text);
    m_report.ShowText(SupervisorLabel::kWindowId, L"0");
    return true;
}

void Supervisor::Failed(std::wstring why) {
    m_lastFailure = std::move(why);
    m_passing = false;
}

// No timer of its own and nothing written: the checks that run anyway tell
// when the release on probation has run healthy long enough.
void Supervisor::Passed() {
    m_passedSinceLaunch = true;
    if (!m_onProbation) return;
    const ULONGLONG now = m_system.now();
    if (!m_passing) {
        m_passing = true;
        m_passingSince = now;
    } else if (now - m_passingSince >= kProbationMs) {
        m_onProbation = false;
        m_system.acceptRelease();
    }
}

// What a recovery or a rollback may wait for held files: during the first
// launch what is left of its shared bound, otherwise a bound of its own.
DWORD Supervisor::TransactionBound() const {
    if (!m_firstLaunchEnds) return Installation::kRecoveryBoundMs;
    const ULONGLONG now = m_system.now();
    return now < m_firstLaunchEnds ? static_cast<DWORD>(m_firstLaunchEnds - now) : 0;
}

// True when the release was rolled back: the old one is to be launched.
bool Supervisor::FailedOnProbation(const std::wstring& why) {
    m_onProbation = false;
    const int failures = m_system.countFailedLaunch();
    LogEvent(L"Release on probation: failed launch %d of %d (%ls)", failures, kProbationLaunches, why.c_str());
    if (failures < kProbationLaunches) return false;
    return m_system.rollBack(std::to_wstring(failures) + L" failed launches, the last: " + why, TransactionBound());
}

void Supervisor::ForgetProbationAcrossUpgrade() {
    if (!m_upgradeBegan.exchange(false)) return;
    m_passing = false;
    // Forgotten only when Marlowcast really exited and the upgrade went on to
    // install: a request that went nowhere hides no crash.
    DWORD code = STILL_ACTIVE;
    const bool exited = m_process.Process() && m_system.exitCode(m_process.Process(), &code) && code != STILL_ACTIVE;
    if (exited && m_system.installations() != m_installationsAtLaunch) m_onProbation = false;
}
