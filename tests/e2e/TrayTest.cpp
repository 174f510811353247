// How the user meets the hidden supervisor: the tray icon and its menu, the
// About box from the tray and the system menu, and the rules that keep the
// window out of sight. Screenshots of the menu and the About box go to
// build/windows/screenshots/.
#include <gtest/gtest.h>

#include <thread>

#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

#include <shellapi.h>

using namespace e2e;

namespace {

constexpr UINT WM_SV_TRAY = 1870;
constexpr UINT WM_SV_UPGRADE_DONE = 1853;
constexpr UINT kTrayIconId = 128;

// NIM_MODIFY succeeds only for an icon that is registered for (window, id).
bool TrayIconRegistered(HWND owner) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof nid;
    nid.hWnd = owner;
    nid.uID = kTrayIconId;
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

HWND OpenPopupMenu() {
    HWND menu = nullptr;
    WaitFor(
        [&] {
            menu = FindWindowW(L"#32768", nullptr);
            return menu && IsWindowVisible(menu);
        },
        3s);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

// Picks the n-th item of the open menu with the keyboard, as a user would.
void ChooseItem(HWND menuWindow, int n) {
    for (int i = 0; i <= n; ++i) PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
}

HWND AboutBox() {
    for (HWND box : MessageBoxes(L"About Quillstone")) {
        if (IsWindowVisible(box)) return box;
    }
    return nullptr;
}

// Presses OK and waits until the box is gone, not merely hidden.
bool CloseAbout(HWND box) {
    PressOk(box);
    return WaitFor([&] { return !IsWindow(box); }, 5s);
}

std::wstring ScreenshotPath(const wchar_t* name) {
    std::wstring folder = BinFolder() + L"\\..\\screenshots";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name + L".bmp";
}

class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sup.Started());
        ASSERT_TRUE(WaitFor([&] { return sup.Window() && TrayIconRegistered(sup.Window()); }, 15s));
        ASSERT_TRUE(WaitFor([&] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 10s));
        w = sup.Window();
        // The dialog manager shows the window once its queue is first idle,
        // which may come after it hid itself; its next paint hides it again.
        ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(w); }, 10s));
    }
    Install install;
    Supervisor sup{install};
    HWND w = nullptr;
};

// The menu's items themselves are checked against the resources in the unit
// tests: menus of another process cannot be read under every platform.
TEST_F(Tray, RightClickOpensTheMenuAndExitShutsDown) {
    for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_MOUSEMOVE, WM_RBUTTONUP}) {
        PostMessageW(w, WM_SV_TRAY, kTrayIconId, mouse);
    }
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(FindWindowW(L"#32768", nullptr) && IsWindowVisible(FindWindowW(L"#32768", nullptr)), false)
        << "only a right click opens the menu";

    PostMessageW(w, WM_SV_TRAY, kTrayIconId, WM_RBUTTONDOWN);
    HWND menu = OpenPopupMenu();
    ASSERT_NE(menu, nullptr);
    // Without this Windows leaves the menu open when the user clicks elsewhere.
    EXPECT_EQ(GetForegroundWindow(), w);
    std::this_thread::sleep_for(300ms);  // let it paint
    SaveScreenshot(ScreenshotPath(L"tray-menu"));

    ChooseItem(menu, 1);
    ASSERT_TRUE(sup.Exited(10s)) << "Exit must run the shutdown";
    EXPECT_EQ(sup.ExitCode(), 0u);
    EXPECT_FALSE(TrayIconRegistered(w)) << "the icon goes with the supervisor";
}

TEST_F(Tray, AboutFromTheTrayAndTheSystemMenuWhileSupervisionGoesOn) {
    // Another program posts the window's private numbers with made-up
    // parameters: a pointer to free, "stop the check timer", an upgrade's end
    // without an upgrade. None of it may crash the process, stop the checks
    // below, or show a result.
    for (UINT message : {UINT{WM_APP + 1}, UINT{WM_APP + 2}, UINT{WM_APP + 3}, WM_SV_UPGRADE_DONE}) {
        PostMessageW(w, message, 0, 0x10);
        PostMessageW(w, message, 1, 0x10);
        PostMessageW(w, message, 0, 0);
    }
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(sup.Exited(0ms)) << "a posted message crashed the process";
    EXPECT_TRUE(MessageBoxes().empty()) << "a forged upgrade end showed a result";

    PostMessageW(w, WM_SV_TRAY, kTrayIconId, WM_RBUTTONDOWN);
    HWND menu = OpenPopupMenu();
    ASSERT_NE(menu, nullptr);
    ChooseItem(menu, 0);
    ASSERT_TRUE(WaitFor([] { return AboutBox() != nullptr; }, 5s));
    HWND box = AboutBox();
    EXPECT_EQ(GetWindow(box, GW_OWNER), w);
    std::this_thread::sleep_for(300ms);
    SaveScreenshot(ScreenshotPath(L"about-box"));

    // The modal box does not stop the checks: a probe reaches the stand-in.
    auto probes = [&] {
        size_t n = 0;
        for (const auto& e : ReadStandInLog(install)) n += e.text == "status request";
        return n;
    };
    size_t before = probes();
    EXPECT_TRUE(WaitFor([&] { return probes() > before; }, 12s));
    ASSERT_TRUE(CloseAbout(box));

    // Any system command 0x0010..0x001F is the About item.
    for (UINT cmd = IDM_ABOUTBOX; cmd <= IDM_ABOUTBOX + 0xF; ++cmd) {
        SCOPED_TRACE(cmd);
        PostMessageW(w, WM_SYSCOMMAND, cmd, 0);
        ASSERT_TRUE(WaitFor([] { return AboutBox() != nullptr; }, 5s));
        ASSERT_TRUE(CloseAbout(AboutBox()));
    }
}

TEST_F(Tray, WindowStaysHiddenAndCannotBeClosedFromTheCaption) {
    PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageW(w, WM_SYSKEYDOWN, VK_F4, 1 << 29);  // Alt+F4
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(sup.Exited(0ms));

    ShowWindow(w, SW_SHOWNORMAL);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(w); }, 5s)) << "it hides at its next paint";

    ShowWindow(w, SW_SHOWMINIMIZED);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(IsIconic(w));
    EXPECT_TRUE(IsWindowVisible(w)) << "minimised, it paints its icon instead of hiding";
    ShowWindow(w, SW_HIDE);
}

TEST_F(Tray, IconComesBackWhenTheNotificationAreaIsCreatedAnew) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof nid;
    nid.hWnd = w;
    nid.uID = kTrayIconId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));  // as if Explorer had restarted
    ASSERT_FALSE(TrayIconRegistered(w));
    SendMessageTimeoutW(w, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    EXPECT_TRUE(TrayIconRegistered(w));
}

}  // namespace
