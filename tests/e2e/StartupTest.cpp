// Start-up, single instance and shutdown of the real supervisor, seen from
// outside as a user (or the supervised program) would see them.
#include <gtest/gtest.h>

#include <thread>

#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;

namespace {

constexpr UINT WM_SV_QUIT = 1850;

TEST(Startup, HidesItselfLaunchesMarlowcastOnceAndShowsItsIds) {
    Install install;
    std::wstring work = install.Path(L"work");
    CreateDirectoryW(work.c_str(), nullptr);
    Supervisor sup(install, work);
    ASSERT_TRUE(WaitUntilSupervising(sup, install));

    HWND w = sup.Window();
    LONG_PTR ex = GetWindowLongPtrW(w, GWL_EXSTYLE);
    EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(ex & WS_EX_APPWINDOW);

    auto events = ReadStandInLog(install);
    ASSERT_EQ(StandInStarts(install).size(), 1u);
    const StandInEvent& start = events.front();
    // "start tid=<thread id> cwd=<folder>"
    unsigned long tid = std::strtoul(start.text.c_str() + std::string("start tid=").size(), nullptr, 10);
    EXPECT_EQ(sup.ItemText(IDC_PROCESS_ID), std::to_wstring(start.pid));
    EXPECT_EQ(sup.ItemText(IDC_THREAD_ID), std::to_wstring(tid));
    EXPECT_EQ(sup.ItemText(IDC_START_STATUS), L"Start Marlowcast OK!");
    // Marlowcast inherits the supervisor's current folder, not its own.
    EXPECT_NE(start.text.find("cwd="), std::string::npos);
    std::string cwd = start.text.substr(start.text.find("cwd=") + 4);
    EXPECT_EQ(cwd.substr(cwd.size() - 5), "\\work");
}

// A restart by Windows names the working folder on the command line; the
// stand-in inherits it.
TEST(Startup, AStartWithAWorkingFolderRunsThere) {
    Install install;
    const std::wstring work = install.Path(L"work");
    CreateDirectoryW(work.c_str(), nullptr);
    Supervisor sup(install, L"", {}, L"--working-folder \"" + work + L"\"");
    ASSERT_TRUE(WaitUntilSupervising(sup, install));
    const std::string start = ReadStandInLog(install).front().text;
    EXPECT_EQ(start.substr(start.size() - 5), "\\work") << start;
}

TEST(Startup, MissingMarlowcastIsReportedInTheLabelAndSupervisionGoesOn) {
    Install install(/*withStandIn=*/false);
    Supervisor sup(install);
    ASSERT_TRUE(WaitFor([&] { return sup.ItemText(IDC_START_STATUS) == L"Start Marlowcast Failed!"; }, 15s));
    EXPECT_EQ(sup.ItemText(IDC_PROCESS_ID), L"0");
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(MessageBoxes().empty()) << "a failed launch shows no message box";
    EXPECT_FALSE(sup.Exited(0ms));
}

TEST(Startup, SecondInstanceExplainsItselfAndLeavesTheFirstAlone) {
    Install install;
    Supervisor first(install);
    ASSERT_TRUE(WaitUntilSupervising(first, install));
    HWND firstWindow = first.Window();

    struct Case {
        const char* standInCommand;  // how the stand-in is left before the second start
        const wchar_t* expected;
    } cases[] = {
        {nullptr, L"Quillstone Already Started !"},
        {"drop-mutex", L"Marlowcast will be automatically restart soon!"},
    };
    for (const Case& c : cases) {
        if (c.standInCommand) {
            ASSERT_EQ(StandInCommand(c.standInCommand), "ok");
        }
        Supervisor second(install);
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 15s)) << "no message box from the second instance";
        EXPECT_EQ(text, c.expected);
        EXPECT_TRUE(second.Exited(10s));
        EXPECT_EQ(second.ExitCode(), 0u);
        EXPECT_EQ(first.Window(), firstWindow);
        EXPECT_FALSE(first.Exited(0ms));
        EXPECT_EQ(StandInStarts(install).size(), 1u) << "a second instance launches nothing";
    }
}

// A first instance that runs elevated or under another account holds an
// instance mutex this user may not open: the mutex is made here with a
// security descriptor that grants nobody anything.
TEST(Startup, AnInstanceWhoseMutexCannotBeOpenedIsAnotherInstance) {
    Install install;
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ACL acl;
    ASSERT_TRUE(InitializeAcl(&acl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    const wchar_t* name = L"{FEE05373_1817_467B_AEE7_CCC5A75CE586}";
    HANDLE held = CreateMutexW(&sa, FALSE, name);
    ASSERT_NE(held, nullptr);
    HANDLE again = CreateMutexW(nullptr, TRUE, name);
    ASSERT_EQ(again, nullptr) << "the platform lets anyone open it; the case cannot be made here";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    Supervisor second(install);
    std::wstring text;
    EXPECT_TRUE(DismissMessageBox(&text, 15s)) << "no message box: the second start supervises too";
    EXPECT_EQ(text, L"Marlowcast will be automatically restart soon!");
    EXPECT_TRUE(second.Exited(10s));
    EXPECT_TRUE(StandInStarts(install).empty()) << "a second instance launches nothing";
    CloseHandle(held);
}

TEST(Shutdown, QuitMessageEndsInOrderAndLeavesMarlowcastRunning) {
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
        bool menuOpen = false;  // the tray menu is open when the message comes
    } cases[] = {
        {"WM_SV_QUIT twice", WM_SV_QUIT, 0},
        {"WM_CLOSE", WM_CLOSE, 0},
        {"WM_SV_QUIT with the tray menu open", WM_SV_QUIT, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install install;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD standIn = StandInStarts(install).front();
        HWND w = sup.Window();
        if (c.menuOpen) {
            PostMessageW(w, 1870 /* WM_SV_TRAY */, 128, WM_RBUTTONDOWN);
            ASSERT_TRUE(WaitFor([] { return IsWindowVisible(FindWindowW(L"#32768", nullptr)); }, 5s));
        }
        PostMessageW(w, c.message, c.wParam, 0);
        PostMessageW(w, c.message, c.wParam, 0);
        EXPECT_TRUE(sup.Exited(10s));
        EXPECT_EQ(sup.ExitCode(), 0u);
        EXPECT_TRUE(MessageBoxes().empty());
        EXPECT_TRUE(ProcessRunning(standIn)) << "the shutdown must not end Marlowcast";

        // The instance mutex is gone with the process: a new supervisor starts at once.
        KillProcess(standIn);
        Supervisor next(install);
        ASSERT_TRUE(WaitFor([&] { return next.Window() != nullptr; }, 15s));
        EXPECT_TRUE(MessageBoxes().empty());
    }
}

TEST(Shutdown, CaptionCloseCommandIsRefused) {
    Install install;
    Supervisor sup(install);
    ASSERT_TRUE(WaitUntilSupervising(sup, install));
    PostMessageW(sup.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(sup.Exited(2s));
    EXPECT_NE(sup.Window(), nullptr);
}

}  // namespace
