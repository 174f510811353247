// The health check's verdicts and counting, on a real supervisor window and
// the real stand-in. The watch thread is stopped so that the test thread runs
// the checks itself and receives the restart requests they post.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <thread>

#include "app/Globals.h"
#include "app/Messages.h"
#include "supervise/Supervise.h"
#include "tests/support/E2eSupport.h"
#include "ui/QuillstoneDlg.h"

using namespace e2e;

namespace {

constexpr wchar_t kMarlowcastMutex[] = L"{76B9B54D_86B9_40E5_85DA_FA1B8KEA86E6}";

int g_threadTestCalls = 0;
BOOL WINAPI FakeHungThread(DWORD) {
    ++g_threadTestCalls;
    return TRUE;
}

class HealthCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
        ASSERT_TRUE(WaitFor([] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 15s));
        standIn = dlg.m_pi.dwProcessId;
        // Take over the watch thread's part.
        PostThreadMessageW(dlg.m_dwWatchThreadId, WM_SV_QUIT, 0, 0);
        WaitForSingleObject(dlg.m_hWatchThread, 5000);
        dlg.m_dwWatchThreadId = GetCurrentThreadId();
        g_threadTestCalls = 0;
    }
    void TearDown() override {
        KillProcess(standIn);
        if (ownMutex) CloseHandle(ownMutex);
        dlg.m_bUpgrading = 0;
        dlg.OnOK();
        dlg.DestroyWindow();
    }
    // Number of status requests the stand-in has seen, i.e. probes made.
    size_t Probes() {
        size_t n = 0;
        for (const auto& e : ReadStandInLogIn(BinFolder())) n += e == "status request";
        return n;
    }
    static std::vector<std::string> ReadStandInLogIn(const std::wstring& folder) {
        std::vector<std::string> lines;
        FILE* f = _wfopen((folder + L"\\Marlowcast.log").c_str(), L"rb");
        if (!f) return lines;
        char line[512];
        while (fgets(line, sizeof line, f)) {
            std::string s = line;
            s = s.substr(s.find(' ') + 1);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
            lines.push_back(s);
        }
        fclose(f);
        return lines;
    }
    bool RestartPosted() {
        MSG msg;
        bool posted = false;
        while (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), WM_SV_RESTART, WM_SV_RESTART, PM_REMOVE)) posted = true;
        return posted;
    }
    void EndStandIn() {
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, standIn);
        StandInCommand("exit 0");
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
    void HoldMarlowcastMutex() { ownMutex = CreateMutexW(nullptr, FALSE, kMarlowcastMutex); }

    CQuillstoneDlg dlg;
    DWORD standIn = 0;
    HANDLE ownMutex = nullptr;
};

TEST_F(HealthCheck, HealthyProgramResetsTheCountAndAnUpgradeSuspendsEverything) {
    dlg.m_nFailCount = 4;
    size_t before = Probes();
    dlg.CheckHealth();
    EXPECT_EQ(dlg.m_nFailCount, 0);
    EXPECT_EQ(Probes(), before + 1);

    dlg.m_bUpgrading = 1;
    dlg.m_nFailCount = 3;
    EndStandIn();
    dlg.CheckHealth();
    EXPECT_EQ(dlg.m_nFailCount, 3) << "nothing is judged during an upgrade";
    EXPECT_FALSE(RestartPosted());
}

TEST_F(HealthCheck, EndedProcessCountsWithoutAProbeAndTheMutexDecidesWhenToRestart) {
    struct Case {
        bool mutexHeld;
        int restartAtCheck;  // the first check that asks for a restart
    } cases[] = {{true, 6}, {false, 2}};
    EndStandIn();
    size_t probes = Probes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mutexHeld ? "mutex held by someone" : "mutex gone");
        if (c.mutexHeld) HoldMarlowcastMutex();
        dlg.m_nFailCount = 0;
        for (int check = 1; check <= c.restartAtCheck; ++check) {
            dlg.CheckHealth();
            EXPECT_EQ(RestartPosted(), check == c.restartAtCheck) << "check " << check;
        }
        EXPECT_EQ(dlg.m_nFailCount, 6) << "the count stays above 5 until the restart resets it";
        if (ownMutex) CloseHandle(ownMutex);
        ownMutex = nullptr;
    }
    EXPECT_EQ(Probes(), probes) << "an ended process is judged without a probe";
}

TEST_F(HealthCheck, ProbePassedWithoutOurProcessHandleNeverResetsToZero) {
    struct Case {
        const char* standInCommand;
        int expected;
    } cases[] = {{nullptr, 1}, {"drop-mutex", 5}};
    HANDLE ours = dlg.m_pi.hProcess;
    dlg.m_pi.hProcess = nullptr;  // as after a launch that failed
    for (const Case& c : cases) {
        if (c.standInCommand) {
            ASSERT_EQ(StandInCommand(c.standInCommand), "ok");
        }
        dlg.m_nFailCount = 0;
        dlg.CheckHealth();
        EXPECT_EQ(dlg.m_nFailCount, c.expected);
    }
    dlg.m_pi.hProcess = ours;
}

TEST_F(HealthCheck, HungWindowCountsWithoutAProbeAndTheThreadTestIsOnlyAFallback) {
    // The window test is present: it finds the window and shows its handle; the
    // thread test is not asked even though it would say "hung".
    dlg.m_pfnIsHungThread = FakeHungThread;
    dlg.CheckHealth();
    ASSERT_NE(dlg.m_hWatchedWnd, nullptr);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    wchar_t text[32] = {};
    GetDlgItemTextW(dlg.m_hWnd, IDC_WINDOW_ID, text, 32);
    EXPECT_EQ(std::wstring(text), std::to_wstring(reinterpret_cast<LONG_PTR>(dlg.m_hWatchedWnd)));
    EXPECT_EQ(g_threadTestCalls, 0);
    EXPECT_EQ(dlg.m_nFailCount, 0);

    ASSERT_EQ(StandInCommand("hang"), "ok");
    ASSERT_TRUE(WaitFor([&] { return dlg.m_pfnIsHungAppWindow(dlg.m_hWatchedWnd); }, 15s, 200ms));
    size_t probes = Probes();
    dlg.CheckHealth();
    EXPECT_EQ(dlg.m_nFailCount, 1);
    EXPECT_EQ(Probes(), probes) << "a hung window is judged without a probe";
    EXPECT_EQ(g_threadTestCalls, 0);

    // Where the system has only the thread test, it is used.
    dlg.m_pfnIsHungAppWindow = nullptr;
    dlg.CheckHealth();
    EXPECT_EQ(g_threadTestCalls, 1);
    EXPECT_EQ(dlg.m_nFailCount, 2);
    EXPECT_EQ(Probes(), probes);
}

TEST(MarlowcastMutex, ExistingButInaccessibleCountsAsRunning) {
    // A DACL that grants nobody more than SYNCHRONIZE.
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions = SYNCHRONIZE;
    ea.grfAccessMode = SET_ACCESS;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    ea.Trustee.ptstrName = const_cast<wchar_t*>(L"EVERYONE");
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    HANDLE m = CreateMutexW(&sa, FALSE, kMarlowcastMutex);
    ASSERT_NE(m, nullptr);
    HANDLE probe = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kMarlowcastMutex);
    if (probe) {
        CloseHandle(probe);
        CloseHandle(m);
        LocalFree(acl);
        GTEST_SKIP() << "this system does not enforce the mutex's access list";
    }
    EXPECT_TRUE(IsMarlowcastRunning());
    CloseHandle(m);
    LocalFree(acl);
    EXPECT_FALSE(IsMarlowcastRunning());
}

}  // namespace
