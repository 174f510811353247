// The framework layer: message-map dispatch, command routing, base chaining,
// default handling in dialogs, and the message box convention.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "framework/Framework.h"

namespace {

class CBaseWnd : public CWnd {
public:
    std::vector<std::string> calls;
    LRESULT Dispatch(UINT m, WPARAM w = 0, LPARAM l = 0) { return WindowProc(m, w, l); }

protected:
    LRESULT OnPing(WPARAM w, LPARAM l) {
        calls.push_back("base ping " + std::to_string(w) + " " + std::to_string(l));
        return 7;
    }
    void OnBaseCommand() { calls.push_back("base command"); }
    void OnTimer(UINT_PTR id) { calls.push_back("base timer " + std::to_string(id)); }
    LRESULT DefWindowProc(UINT m, WPARAM, LPARAM) override {
        calls.push_back("default " + std::to_string(m));
        return -1;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseWnd, CWnd)
    ON_MESSAGE(WM_APP + 10, OnPing)
    ON_COMMAND(100, OnBaseCommand)
    ON_WM_TIMER()
END_MESSAGE_MAP()

class CDerivedWnd : public CBaseWnd {
protected:
    void OnDerivedCommand() { calls.push_back("derived command"); }
    void OnTimer(UINT_PTR id) { calls.push_back("derived timer " + std::to_string(id)); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedWnd, CBaseWnd)
    ON_COMMAND(200, OnDerivedCommand)
    ON_WM_TIMER()
END_MESSAGE_MAP()

TEST(MessageMap, DispatchesToTheMostDerivedEntryAndChainsToBases) {
    struct Case {
        const char* what;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT result;
        const char* call;
    } cases[] = {
        {"own entry wins over the base's", WM_TIMER, 12, 0, 0, "derived timer 12"},
        {"own command", WM_COMMAND, 200, 0, 0, "derived command"},
        {"base command through the chain", WM_COMMAND, 100, 0, 0, "base command"},
        {"accelerator (high word 1) is a plain command", WM_COMMAND, MAKEWPARAM(100, 1), 0, 0, "base command"},
        {"base message with its parameters", WM_APP + 10, 3, 4, 7, "base ping 3 4"},
        {"unknown command id goes to the default", WM_COMMAND, 300, 0, -1, "default 273"},
        {"control notification is not the command", WM_COMMAND, MAKEWPARAM(100, 5), 1234, -1, "default 273"},
        {"unmapped message goes to the default", WM_APP + 11, 0, 0, -1, "default 32779"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDerivedWnd wnd;
        EXPECT_EQ(wnd.Dispatch(c.message, c.wParam, c.lParam), c.result);
        ASSERT_EQ(wnd.calls.size(), 1u);
        EXPECT_EQ(wnd.calls[0], c.call);
    }
}

// A dialog whose handlers record what they see and whether the dialog
// manager's default handling is asked for.
class CProbeDlg : public CDialog {
public:
    CProbeDlg() : CDialog(100) {}  // the About box template of the resources
    int inits = 0, oks = 0, cancels = 0, timers = 0;
    BOOL OnInitDialog() override {
        ++inits;
        return CDialog::OnInitDialog();
    }

protected:
    void OnOK() override { ++oks; }
    void OnCancel() override { ++cancels; }
    void OnTimer(UINT_PTR id) {
        ++timers;
        if (id == 2) EndDialog(42);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_WM_TIMER()
END_MESSAGE_MAP()

// Drives a modal window of this thread from a helper thread while this thread
// runs the modal loop. The helper waits at most 5 s for a visible dialog
// window (class #32770) of this thread and hands it to `drive`; when none
// comes, it ends the loop with WM_QUIT, so that the test fails instead of
// hanging. The helper is joined before the test looks at anything.
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(HWND)> drive)
        : m_owner(GetCurrentThreadId()), m_thread([this, drive] {
              for (int i = 0; i < 100 && !m_window; ++i) {
                  Sleep(50);
                  EnumThreadWindows(m_owner, TakeVisibleDialog, reinterpret_cast<LPARAM>(&m_window));
              }
              if (m_window) {
                  drive(m_window);
              } else {
                  PostThreadMessageW(m_owner, WM_QUIT, 0, 0);
              }
          }) {}
    // Joins the helper; true when it found the window.
    bool Finish() {
        if (m_thread.joinable()) m_thread.join();
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // a fallback's quit, reposted by the loop
        return m_window != nullptr;
    }
    ~ModalDriver() { Finish(); }

private:
    static BOOL CALLBACK TakeVisibleDialog(HWND hWnd, LPARAM found) {
        wchar_t cls[16] = {};
        if (!IsWindowVisible(hWnd) || !GetClassNameW(hWnd, cls, 16) || wcscmp(cls, L"#32770") != 0) return TRUE;
        *reinterpret_cast<HWND*>(found) = hWnd;
        return FALSE;
    }
    const DWORD m_owner;
    std::atomic<HWND> m_window{nullptr};
    std::thread m_thread;
};

TEST(Dialog, ModalRunRoutesInitCommandsAndTimersToTheObject) {
    CProbeDlg dlg;
    ModalDriver driver([](HWND box) {
        SendMessageW(box, WM_COMMAND, IDOK, 0);
        SendMessageW(box, WM_COMMAND, IDCANCEL, 0);
        SendMessageW(box, WM_CLOSE, 0, 0);  // the dialog manager turns it into IDCANCEL
        SendMessageW(box, WM_TIMER, 1, 0);
        PostMessageW(box, WM_TIMER, 2, 0);
    });
    const INT_PTR result = dlg.DoModal();
    ASSERT_TRUE(driver.Finish()) << "the dialog did not appear";
    EXPECT_EQ(result, 42);
    EXPECT_EQ(dlg.inits, 1);
    EXPECT_EQ(dlg.oks, 1);
    EXPECT_EQ(dlg.cancels, 2);
    EXPECT_EQ(dlg.timers, 2);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(AfxMessageBox, UsesTheExecutableNameAsCaptionOkOnlyAndTheExclamationIcon) {
    CWinApp app;  // the application object supplies the caption
    std::wstring caption, text;
    bool hasIcon = false, hasCancel = true;
    ModalDriver driver([&](HWND box) {
        wchar_t buf[256] = {};
        GetWindowTextW(box, buf, 256);
        caption = buf;
        GetDlgItemTextW(box, 0xFFFF, buf, 256);
        text = buf;
        hasCancel = GetDlgItem(box, IDCANCEL) != nullptr && IsWindowVisible(GetDlgItem(box, IDCANCEL));
        EnumChildWindows(
            box,
            [](HWND child, LPARAM p) -> BOOL {
                if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                    HICON icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
                    *reinterpret_cast<bool*>(p) = icon == LoadIconW(nullptr, IDI_EXCLAMATION);
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&hasIcon));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    const int pressed = AfxMessageBox(L"Something the user must see");
    ASSERT_TRUE(driver.Finish()) << "the box did not appear";
    EXPECT_EQ(pressed, IDOK);
    EXPECT_EQ(caption, L"framework_test");
    EXPECT_EQ(text, L"Something the user must see");
    EXPECT_TRUE(hasIcon);
    EXPECT_FALSE(hasCancel);
}

}  // namespace

// A restart by Windows runs the registered arguments: the folder comes back
// whole through the platform's own splitting, or is not registered at all.
TEST(RestartCommandLine, NamesTheWorkingFolderSoThatItComesBackWhole) {
    const std::wstring longFolder = L"C:\\" + std::wstring(1010, L'x');
    const struct {
        std::wstring folder;
        bool registered;
    } cases[] = {
        {L"C:\\Quillstone", true}, {L"C:\\Program Files\\Quillstone", true},
        {L"C:\\", true},           {L"\\\\server\\share\\with space\\", true},
        {longFolder, false},       {L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder.begin(), c.folder.begin() + std::min<size_t>(c.folder.size(), 40)));
        const std::wstring line = RestartCommandLine(c.folder);
        EXPECT_LT(line.size(), 1024u);
        std::wstring folder;
        EXPECT_EQ(WorkingFolderArgument((L"\"C:\\Q\\Quillstone.exe\" " + line).c_str(), &folder), c.registered);
        if (c.registered) {
            EXPECT_EQ(folder, c.folder);
        }
    }
    std::wstring folder;
    EXPECT_FALSE(WorkingFolderArgument(L"Quillstone.exe --working-folder", &folder)) << "no folder after the name";
    EXPECT_FALSE(WorkingFolderArgument(L"--working-folder C:\\x", &folder)) << "the program's own name is no argument";
}
