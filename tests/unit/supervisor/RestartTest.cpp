// Launching and restarting Marlowcast, on a real supervisor window created by
// the test thread (which is then its UI thread) and the real stand-in.
#include <gtest/gtest.h>

#include <thread>

#include "app/Globals.h"
#include "app/Messages.h"
#include "tests/support/E2eSupport.h"
#include "ui/QuillstoneDlg.h"

using namespace e2e;

namespace {

void Pump(std::chrono::milliseconds span) {
    auto end = Clock::now() + span;
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        std::this_thread::sleep_for(10ms);
    } while (Clock::now() < end);
}

DWORD ExitCodeOf(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

class Restart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
        ASSERT_NE(dlg.m_pi.hProcess, nullptr) << "the stand-in beside the test was not launched";
        ASSERT_TRUE(WaitFor([] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 15s));
        Pump(100ms);
    }
    void TearDown() override {
        for (DWORD pid : launched) KillProcess(pid);
        if (dlg.m_pi.hProcess) KillProcess(dlg.m_pi.dwProcessId);
        dlg.OnOK();
        dlg.DestroyWindow();
    }
    // Keeps the old process open so that the test can look at it afterwards.
    HANDLE KeepOldProcess() {
        HANDLE h = nullptr;
        DuplicateHandle(GetCurrentProcess(), dlg.m_pi.hProcess, GetCurrentProcess(), &h, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        launched.push_back(dlg.m_pi.dwProcessId);
        return h;
    }
    std::wstring Item(int id) {
        wchar_t text[64] = {};
        GetDlgItemTextW(dlg.m_hWnd, id, text, 64);
        return text;
    }

    CQuillstoneDlg dlg;
    std::vector<DWORD> launched;
};

TEST_F(Restart, RunningProcessIsTerminatedWithCodeZeroAndRelaunched) {
    HANDLE old = KeepOldProcess();
    DWORD oldPid = dlg.m_pi.dwProcessId;
    dlg.m_nFailCount = 6;
    dlg.RestartMarlowcast();
    EXPECT_EQ(WaitForSingleObject(old, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(old), 0u);
    CloseHandle(old);
    EXPECT_NE(dlg.m_pi.dwProcessId, oldPid);
    EXPECT_EQ(Item(IDC_PROCESS_ID), std::to_wstring(dlg.m_pi.dwProcessId));
    EXPECT_EQ(Item(IDC_THREAD_ID), std::to_wstring(dlg.m_pi.dwThreadId));
    EXPECT_EQ(Item(IDC_START_STATUS), L"Start Marlowcast OK!");
    EXPECT_EQ(Item(IDC_WINDOW_ID), L"0") << "the new process's window is searched anew";
    EXPECT_EQ(dlg.m_hWatchedWnd, nullptr);
    EXPECT_EQ(dlg.m_nFailCount, 0);
    EXPECT_EQ(dlg.m_nCheckTimer, ID_TIMER_CHECK);
}

TEST_F(Restart, ProcessThatHasEndedCostsNoPause) {
    HANDLE old = KeepOldProcess();
    StandInCommand("exit 3");
    ASSERT_EQ(WaitForSingleObject(old, 10000), WAIT_OBJECT_0);
    auto t0 = Clock::now();
    dlg.RestartMarlowcast();
    // The pause after a termination is a full second; none is taken here.
    EXPECT_LT(Clock::now() - t0, 900ms);
    EXPECT_EQ(ExitCodeOf(old), 3u) << "an ended process is not terminated again";
    CloseHandle(old);
    EXPECT_EQ(Item(IDC_START_STATUS), L"Start Marlowcast OK!");
}

TEST_F(Restart, DuringAnUpgradeNothingHappens) {
    DWORD pid = dlg.m_pi.dwProcessId;
    dlg.m_bUpgrading = 1;
    dlg.m_nFailCount = 6;
    dlg.RestartMarlowcast();
    EXPECT_TRUE(ProcessRunning(pid));
    EXPECT_EQ(dlg.m_pi.dwProcessId, pid);
    EXPECT_EQ(dlg.m_nFailCount, 6);
    EXPECT_EQ(dlg.m_nCheckTimer, ID_TIMER_CHECK);
    dlg.m_bUpgrading = 0;
}

TEST_F(Restart, UpgradeBegunDuringTheWaitLaunchesNothingButKeepsTheTimer) {
    HANDLE old = KeepOldProcess();
    DWORD oldPid = dlg.m_pi.dwProcessId;
    dlg.m_nFailCount = 6;
    // As on the watch thread: the timer changes reach the window by message.
    std::thread watch([&] { dlg.RestartMarlowcast(); });
    Pump(300ms);  // the termination's pause has begun
    EXPECT_EQ(dlg.m_nCheckTimer, 0u) << "the timer is stopped while the old process is ended";
    dlg.m_bUpgrading = 1;
    watch.join();
    Pump(200ms);
    EXPECT_EQ(dlg.m_pi.dwProcessId, oldPid) << "nothing was launched";
    EXPECT_EQ(dlg.m_nFailCount, 0);
    EXPECT_EQ(dlg.m_nCheckTimer, ID_TIMER_CHECK) << "supervision must resume after the upgrade";
    CloseHandle(old);
    dlg.m_bUpgrading = 0;
}

TEST_F(Restart, FailedRelaunchKeepsTheIdsAndTheCountAndRetriesLater) {
    std::wstring exe = BinFolder() + L"\\Marlowcast.exe", aside = exe + L".aside";
    std::wstring pid = Item(IDC_PROCESS_ID), tid = Item(IDC_THREAD_ID);
    KeepOldProcess();
    ASSERT_TRUE(MoveFileExW(exe.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING));
    dlg.m_nFailCount = 6;
    dlg.RestartMarlowcast();
    MoveFileExW(aside.c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING);
    EXPECT_EQ(dlg.m_pi.hProcess, nullptr);
    EXPECT_EQ(Item(IDC_START_STATUS), L"Start Marlowcast Failed!");
    EXPECT_EQ(Item(IDC_PROCESS_ID), pid);
    EXPECT_EQ(Item(IDC_THREAD_ID), tid);
    EXPECT_EQ(dlg.m_nFailCount, 6);
    EXPECT_EQ(dlg.m_nCheckTimer, ID_TIMER_CHECK);
}

TEST_F(Restart, LabelTextsFromAWorkerArriveByMessageOnly) {
    std::thread worker([&] { dlg.SetItemTextFromAnyThread(IDC_START_STATUS, L"from the worker"); });
    worker.join();  // returns although this (the UI) thread processed nothing
    EXPECT_NE(Item(IDC_START_STATUS), L"from the worker");
    Pump(100ms);
    EXPECT_EQ(Item(IDC_START_STATUS), L"from the worker");
}

using SupervisorWindow = Restart;

TEST_F(SupervisorWindow, HiddenToolWindowWithTrayIconAndAboutItem) {
    EXPECT_EQ(g_bRunning, 1);
    EXPECT_FALSE(IsWindowVisible(dlg.m_hWnd));
    EXPECT_TRUE(GetWindowLongPtrW(dlg.m_hWnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(GetWindowLongPtrW(dlg.m_hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    EXPECT_TRUE(dlg.m_bTrayIcon);
    EXPECT_EQ(dlg.m_nid.cbSize, 976u);
    EXPECT_EQ(dlg.m_nid.hWnd, dlg.m_hWnd);
    EXPECT_EQ(dlg.m_nid.uFlags, 7u);
    EXPECT_EQ(dlg.m_nid.uCallbackMessage, 1870u);
    EXPECT_EQ(dlg.m_nid.uID, 128u);
    EXPECT_STREQ(dlg.m_nid.szTip, L"Quillstone");
    EXPECT_NE(dlg.m_hIcon, nullptr);
    ICONINFO info = {};
    EXPECT_TRUE(GetIconInfo(dlg.m_hIcon, &info)) << "the window's own icon stays valid";
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);

    HMENU sys = GetSystemMenu(dlg.m_hWnd, FALSE);
    wchar_t text[64] = {};
    GetMenuStringW(sys, IDM_ABOUTBOX, text, 64, MF_BYCOMMAND);
    EXPECT_STREQ(text, L"&About Quillstone...");
    int count = GetMenuItemCount(sys);
    EXPECT_EQ(GetMenuItemID(sys, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(GetMenuState(sys, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
}

}  // namespace
