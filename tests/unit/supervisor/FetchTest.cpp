// The upgrade request on the supervisor window: what an answer of each kind
// starts or shows, and that supervision is never left suspended. A scripted
// peer in the test answers on the local port in the stand-in's place.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/Globals.h"
#include "app/Messages.h"
#include "tests/support/E2eSupport.h"
#include "ui/QuillstoneDlg.h"
#include "ui/UpgradeWnd.h"

using namespace e2e;

namespace {

// Accepts one connection on 127.0.0.1:50918, reads the request, sends the
// answer in pieces with gaps between them, and closes.
class ScriptedPeer {
public:
    ScriptedPeer(std::vector<std::string> pieces) : m_pieces(std::move(pieces)) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(50918);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool bound = WaitFor([&] { return bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0; },
                             10s, 100ms);
        EXPECT_TRUE(bound);
        listen(m_listener, 4);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() {
        closesocket(m_listener);
        m_thread.join();
    }
    int Accepted() const { return m_accepted; }

private:
    void Serve() {
        SOCKET c = accept(m_listener, nullptr, nullptr);
        if (c == INVALID_SOCKET) return;
        ++m_accepted;
        std::string request;
        char buf[512];
        while (request.find("\r\n\r\n") == std::string::npos || request.size() < request.find("\r\n\r\n") + 4 + 17) {
            int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<size_t>(n));
        }
        for (const std::string& piece : m_pieces) {
            send(c, piece.data(), static_cast<int>(piece.size()), 0);
            std::this_thread::sleep_for(40ms);  // separate reads on the other side
        }
        shutdown(c, SD_BOTH);
        closesocket(c);
    }

    std::vector<std::string> m_pieces;
    SOCKET m_listener;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

// Collects the texts of the boxes the supervisor shows, pressing OK on each.
class BoxWatcher {
public:
    BoxWatcher() : m_thread([this] {
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

std::string Repeat(char c, size_t n) { return std::string(n, c); }

class Fetch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
        ASSERT_TRUE(WaitFor([] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 15s));
        // The scripted peer takes the stand-in's place on the port.
        ASSERT_EQ(StandInCommand("close-listener"), "ok");
    }
    void TearDown() override {
        KillProcess(dlg.m_pi.dwProcessId);
        dlg.OnOK();
        dlg.DestroyWindow();
    }
    CWinApp app{L"Quillstone"};  // the message boxes' caption
    CQuillstoneDlg dlg;
};

TEST_F(Fetch, EachKindOfAnswerStartsOrShowsWhatItShould) {
    const std::string noTags17 = Repeat('x', 17);
    const std::string unsafe = "<File_Name01>..\\outside.txt</File_Name01>";
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::vector<std::wstring> boxes;
        const char* gathered;  // what the list buffer holds afterwards, or null to skip
    } cases[] = {
        {"16 bytes: nothing", {Repeat('x', 16)}, {}, nullptr},
        {"17 bytes without tags", {noTags17}, {L"Upgrade Marlowcast Proc Failed!"}, nullptr},
        {"an unsafe entry, arriving in three pieces",
         {unsafe.substr(0, 10), unsafe.substr(10, 15), unsafe.substr(25)},
         {L"Upgrade Marlowcast Proc Failed!"},
         unsafe.c_str()},
        {"5119 bytes fit", {Repeat('y', 4000), Repeat('y', 1119)}, {L"Upgrade Marlowcast Proc Failed!"}, nullptr},
        {"5120 bytes do not fit", {Repeat('z', 4000), Repeat('z', 1120)}, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer(c.pieces);
        BoxWatcher watcher;
        EXPECT_EQ(dlg.FetchUpgradeList(0, 0), 0);
        EXPECT_EQ(watcher.Stop(), c.boxes);
        EXPECT_EQ(dlg.m_bUpgrading, 0) << "supervision must not stay suspended";
        EXPECT_EQ(dlg.m_pUpgradeWnd, nullptr);
        EXPECT_EQ(dlg.m_hUpgradeThread, nullptr);
        if (c.gathered) {
            EXPECT_STREQ(g_szUpgradeList, c.gathered);
        }
    }
}

TEST_F(Fetch, NothingListeningStartsNothingAndResumesSupervision) {
    BoxWatcher watcher;
    dlg.FetchUpgradeList(0, 0);
    EXPECT_TRUE(watcher.Stop().empty());
    EXPECT_EQ(dlg.m_bUpgrading, 0);
}

TEST_F(Fetch, RequestDuringAnUpgradeIsRefusedAndTouchesNothing) {
    ScriptedPeer peer({"<File_Name01>a.txt</File_Name01>"});
    CUpgradeWnd* running = new CUpgradeWnd();  // stands for the running upgrade's window
    ASSERT_TRUE(running->Create(&dlg));
    running->AddFile("a.txt");
    dlg.m_pUpgradeWnd = running;
    dlg.m_bUpgrading = 1;
    BoxWatcher watcher;
    dlg.FetchUpgradeList(0, 0);
    EXPECT_EQ(watcher.Stop(), std::vector<std::wstring>{L"Upgrade Marlowcast Proc Failed!"});
    EXPECT_EQ(peer.Accepted(), 0) << "refused at once, without a fetch";
    EXPECT_EQ(dlg.m_bUpgrading, 1);
    EXPECT_EQ(dlg.m_pUpgradeWnd, running);
    EXPECT_EQ(running->m_nFiles, 1);
    EXPECT_TRUE(IsWindow(running->m_hWnd));
    dlg.m_bUpgrading = 0;
}

}  // namespace
