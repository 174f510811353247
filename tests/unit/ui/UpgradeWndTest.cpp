#include "ui/UpgradeWnd.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "WindowPixels.h"

namespace {

using namespace qs_test;

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// Created, sized, shown and torn down the way the supervisor window does it.
struct UpgradeWindow {
    std::unique_ptr<CUpgradeWnd> wnd = std::make_unique<CUpgradeWnd>();
    HWND hwnd = wnd->Create(nullptr) ? wnd->m_hWnd : nullptr;

    UpgradeWindow() {
        // Creation activates the dialog; see PaintsBackgroundFillTextAndFrame
        // for why the test display wants nothing activated.
        SetActiveWindow(nullptr);
    }
    ~UpgradeWindow() { TearDown(); }
    void Show() { SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 320, 78, SWP_SHOWWINDOW | SWP_NOACTIVATE); }
    void TearDown() {
        if (hwnd) {
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            DestroyWindow(hwnd);
        }
        wnd.reset();
    }
};

TEST(UpgradeWnd, LaysOutBarsAndLabelInA320x78Window) {
    UpgradeWindow w;
    ASSERT_NE(w.hwnd, nullptr);
    // Hidden until the owner has placed it; a thin border, no title bar.
    EXPECT_FALSE(IsWindowVisible(w.hwnd));
    EXPECT_EQ(GetWindowLongW(w.hwnd, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_BORDER);
    w.Show();
    const struct {
        HWND child;
        RECT rect;
        LONG style, id;
    } children[] = {
        {w.wnd->FileBar().m_hWnd, {12, 10, 308, 28}, 0x50020100, 0xFFFF},
        {GetDlgItem(w.hwnd, IDC_UPGRADE_FILE), {12, 30, 308, 46}, 0x50020201, IDC_UPGRADE_FILE},
        {w.wnd->TotalBar().m_hWnd, {12, 48, 308, 64}, 0x50020100, 0xFFFF},
    };
    for (const auto& c : children) {
        SCOPED_TRACE(c.rect.top);
        RECT rc = {};
        GetWindowRect(c.child, &rc);
        MapWindowPoints(HWND_DESKTOP, w.hwnd, reinterpret_cast<POINT*>(&rc), 2);
        EXPECT_TRUE(EqualRect(&rc, &c.rect)) << rc.left << "," << rc.top << "," << rc.right << "," << rc.bottom;
        EXPECT_EQ(GetWindowLongW(c.child, GWL_STYLE), c.style);
        EXPECT_EQ(GetDlgCtrlID(c.child), c.id);
    }
    // Both bars start at "0 %" of range 100: background, text, frame, no fill.
    for (const CMyProgress* bar : {&w.wnd->FileBar(), &w.wnd->TotalBar()}) {
        EXPECT_EQ(bar->m_nRange.load(), 100u);
        UpdateWindow(bar->m_hWnd);
        const BarLook look = LookAtBar(Capture(bar->m_hWnd));
        EXPECT_EQ(look.filledColumns, 0);
        EXPECT_TRUE(look.hasText && look.frameIsBlack);
    }
}

// The platform reads TMP, then TEMP, then USERPROFILE, and reports the folder
// with a trailing backslash, which the window drops. Unset: nullptr.
TEST(UpgradeWnd, HoldsTheTemporaryFolderWithoutItsTrailingBackslash) {
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L't');
    const struct {
        const wchar_t *tmp, *temp, *profile, *held;
    } cases[] = {
        {L"C:\\qs-tmp\\", L"C:\\other", nullptr, L"C:\\qs-tmp"},
        {L"C:\\qs-tmp", nullptr, nullptr, L"C:\\qs-tmp"},
        {L"C:\\", nullptr, nullptr, L"C:"},
        {nullptr, L"C:\\qs-temp\\", L"C:\\other", L"C:\\qs-temp"},
        {nullptr, nullptr, L"C:\\users\\qs\\", L"C:\\users\\qs"},
        // Longer than any path the platform reports: the query fails, the
        // window says so and makes no bars.
        {tooLong.c_str(), nullptr, nullptr, L""},
    };
    const wchar_t* names[] = {L"TMP", L"TEMP", L"USERPROFILE"};
    wchar_t saved[3][1024];
    DWORD savedLength[3];
    for (int i = 0; i < 3; ++i) savedLength[i] = GetEnvironmentVariableW(names[i], saved[i], 1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.held)));
        SetEnvironmentVariableW(L"TMP", c.tmp);
        SetEnvironmentVariableW(L"TEMP", c.temp);
        SetEnvironmentVariableW(L"USERPROFILE", c.profile);
        UpgradeWindow w;
        ASSERT_NE(w.hwnd, nullptr);
        EXPECT_EQ(w.wnd->TempDir(), c.held);
        EXPECT_EQ(w.wnd->FileBar().m_hWnd != nullptr, *c.held != L'\0');
        EXPECT_EQ(w.wnd->TotalBar().m_hWnd != nullptr, *c.held != L'\0');
    }
    for (int i = 0; i < 3; ++i) SetEnvironmentVariableW(names[i], savedLength[i] ? saved[i] : nullptr);
}

// The window lives for the whole upgrade: neither Enter, Escape nor a close
// request may end or hide it; the owner still gets rid of it.
TEST(UpgradeWnd, EnterEscapeAndCloseLeaveItShown) {
    UpgradeWindow w;
    w.Show();
    const std::pair<UINT, WPARAM> messages[] = {{WM_COMMAND, IDOK}, {WM_COMMAND, IDCANCEL}, {WM_CLOSE, 0}};
    for (const auto& [message, wParam] : messages) {
        SendMessageW(w.hwnd, message, wParam, 0);
        PumpMessages();  // a close request comes back as a posted cancel command
        EXPECT_TRUE(IsWindowVisible(w.hwnd)) << message << " " << wParam;
    }
    w.wnd->ShowEntry(L"never shown");  // freed by the teardown
    w.TearDown();
    EXPECT_FALSE(IsWindow(w.hwnd));
}

DWORD WINAPI PlayUpgradeThread(LPVOID param) {
    UpgradeProgress* progress = static_cast<CUpgradeWnd*>(param);
    progress->ShowEntry(L"bin\\Marlowcast.exe");
    progress->SetFileProgress(100);
    progress->SetTotalProgress(25);
    progress->ShowEntry(L"skins\\dark.uib");
    progress->SetFileProgress(40);
    progress->SetTotalProgress(75);
    return 0;
}

// The upgrade thread moves the label and bars while the UI thread may be
// waiting for it, so none of that may wait for the UI thread: here the UI
// thread processes nothing until the worker has ended.
TEST(UpgradeWnd, UpgradeThreadUpdatesWithoutWaitingForTheUiThread) {
    UpgradeWindow w;
    w.Show();
    HANDLE thread = CreateThread(nullptr, 0, PlayUpgradeThread, w.wnd.get(), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Bounded, so that a worker stuck on this thread fails the test instead of hanging it.
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);

    PumpMessages();
    RedrawWindow(w.hwnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    wchar_t label[64] = {};
    GetDlgItemTextW(w.hwnd, IDC_UPGRADE_FILE, label, 64);
    EXPECT_STREQ(label, L"skins\\dark.uib");
    // 42 % and 80 %: 124 and 236 of 296 pixels.
    EXPECT_EQ(LookAtBar(Capture(w.wnd->FileBar().m_hWnd)).filledColumns, 124);
    EXPECT_EQ(LookAtBar(Capture(w.wnd->TotalBar().m_hWnd)).filledColumns, 236);

    // A picture to look at, in <build>/screenshots beside <build>/bin.
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, wcsrchr(path, L'\\'));
    dir = dir.substr(0, dir.rfind(L'\\')) + L"\\screenshots";
    CreateDirectoryW(dir.c_str(), nullptr);
    EXPECT_TRUE(SaveBmp(Capture(w.hwnd, true), (dir + L"\\upgrade-window.bmp").c_str()));
}

}  // namespace
