// The upgrade request on a real supervisor window: what each kind of answer
// starts or shows, that supervision is never left suspended (the next
// request is fetched, not refused), and that a request during an upgrade is
// refused without touching it. A scripted peer answers on Marlowcast's port
// in the stand-in's place.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/Protocol.h"
#include "tests/e2e/ReliabilityHelpers.h"
#include "tests/support/ScriptedPeer.h"
#include "tools/driver/E2eSupport.h"
#include "ui/QuillstoneDlg.h"

using namespace e2e;

namespace {

// Collects the texts of the boxes the supervisor shows, pressing OK on each.
class BoxWatcher {
public:
    BoxWatcher()
        : m_thread([this] {
              while (!m_stop) {
                  for (HWND box : MessageBoxes(L"Quillstone")) {
                      if (!IsWindowVisible(box)) continue;
                      std::wstring text = MessageBoxText(box);
                      PressOk(box);
                      if (WaitFor([&] { return !IsWindow(box); }, 5s)) m_texts.push_back(text);
                  }
                  std::this_thread::sleep_for(20ms);
              }
          }) {}
    ~BoxWatcher() { Stop(); }
    std::vector<std::wstring> Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_texts;
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::wstring> m_texts;
    std::thread m_thread;
};

// Answers every request on the channel port with `answer` in one piece.
std::unique_ptr<ScriptedPeer> PeerAnswering(const std::string& answer) {
    return std::make_unique<ScriptedPeer>(50918, [answer](SOCKET s, int) {
        ReadRequest(s);
        SendAll(s, answer);
    });
}

class UpgradeRequest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
        // The window launches Marlowcast from a message it posts itself, as a
        // modal loop would take it.
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&msg);
        std::string pid;
        ASSERT_TRUE(WaitFor([&] { return (pid = StandInCommand("ping")).rfind("pid ", 0) == 0; }, 15s));
        standIn = std::stoul(pid.substr(4));
        // The scripted peer takes the stand-in's place on the port.
        ASSERT_EQ(StandInCommand("close-listener"), "ok");
    }
    void TearDown() override {
        KillProcess(standIn);
        dlg.SendMessage(WM_SV_QUIT);
        dlg.DestroyWindow();
    }
    std::vector<std::wstring> Request() {
        BoxWatcher watcher;
        EXPECT_EQ(dlg.SendMessage(WM_SV_UPGRADE), 0);
        return watcher.Stop();
    }

    CWinApp app{L"Quillstone"};  // the message boxes' caption
    CQuillstoneDlg dlg;
    DWORD standIn = 0;
};

TEST_F(UpgradeRequest, EachKindOfAnswerStartsOrShowsWhatItShouldAndSupervisionResumes) {
    const std::vector<std::wstring> nothing, refused = {L"Upgrade Marlowcast Proc Failed!"};
    const struct {
        const char* what;
        const char* answer;  // null: nothing listens
        std::size_t size;
        std::vector<std::wstring> boxes;
    } cases[] = {
        {"16 bytes", "xxxxxxxxxxxxxxxx", 16, nothing},
        {"17 bytes without tags", "xxxxxxxxxxxxxxxxx", 17, refused},
        {"an unsafe entry", "<File_Name01>..\\outside.txt</File_Name01>", 41, refused},
        {"5120 bytes do not fit", nullptr, 5120, nothing},
        {"nothing listening", nullptr, 0, nothing},
        {"17 bytes again", "yyyyyyyyyyyyyyyyy", 17, refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ScriptedPeer> peer;
        if (c.size) peer = PeerAnswering(c.answer ? std::string(c.answer, c.size) : std::string(c.size, 'z'));
        EXPECT_EQ(Request(), c.boxes);
        // A request refused because the last one left supervision suspended
        // would show the refusal without asking.
        if (peer) {
            EXPECT_EQ(peer->Accepted(), 1) << "the request was not fetched";
        }
        EXPECT_EQ(rel::UpgradeWindow(GetCurrentProcessId()), nullptr);
    }
}

TEST_F(UpgradeRequest, ARequestDuringAnUpgradeIsRefusedAtOnceAndLeavesItRunning) {
    ASSERT_NE(std::getenv("QS_WWW"), nullptr) << "run through scripts/test, which starts nginx";
    rel::WriteFileBytes(rel::WwwPath("upgrade/qs-unit-held.txt"), "held");
    // The stand-in keeps its mutex: the upgrade downloads, then waits for it.
    auto peer = PeerAnswering("<File_Name01>qs-unit-held.txt</File_Name01>");
    EXPECT_EQ(Request(), std::vector<std::wstring>{});
    HWND running = rel::UpgradeWindow(GetCurrentProcessId());
    ASSERT_NE(running, nullptr) << "the upgrade did not start";

    EXPECT_EQ(Request(), std::vector<std::wstring>{L"Upgrade Marlowcast Proc Failed!"});
    EXPECT_EQ(peer->Accepted(), 1) << "refused at once, without a fetch";
    EXPECT_EQ(rel::UpgradeWindow(GetCurrentProcessId()), running);
    DeleteFileW(rel::WwwPath("upgrade/qs-unit-held.txt").c_str());
}

// The result box is asked for on top and in the foreground, or Windows may
// open it unseen (Wine ignores both flags, so the type asked for is checked).
std::vector<std::pair<std::wstring, UINT>> g_boxes;
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR, UINT type) {
    g_boxes.emplace_back(text, type);
    return IDOK;
}

TEST_F(UpgradeRequest, TheResultBoxIsAskedForOnTopAndInTheForeground) {
    auto peer = PeerAnswering("<File_Name01>qs-unit-not-served.txt</File_Name01>");
    g_boxes.clear();
    AfxSetMessageBoxCall(RecordBox);
    EXPECT_EQ(dlg.SendMessage(WM_SV_UPGRADE), 0);
    MSG msg;
    const bool shown = WaitFor(
        [&] {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            return !g_boxes.empty();
        },
        30s, 20ms);
    AfxSetMessageBoxCall(nullptr);
    ASSERT_TRUE(shown);
    EXPECT_EQ(g_boxes.front().first, L"Upgrade Failed!");
    EXPECT_EQ(g_boxes.front().second, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST));
}

}  // namespace
