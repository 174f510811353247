// The local channel under a hostile peer: a scripted listener takes
// Marlowcast's port and answers the status and upgrade-list requests in every
// way a broken or malicious program could. Every check must end within its
// bounds and be counted, the supervisor must keep supervising, and its window
// and tray menu must keep answering.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <thread>

#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"
#include "tests/support/ScriptedPeer.h"

using namespace e2e;
using namespace rel;

namespace {

constexpr u_short kChannelPort = 50918;

bool IsListRequest(const std::string& req) { return req.rfind("GET /Marlowcast/UpgradeXml\r\n", 0) == 0; }

void Endless(SOCKET s, const ScriptedPeer& peer, const std::string& piece) {
    while (!peer.Stopping() && SendAll(s, piece)) {}
}

// Waits until the next connection arrives (or the peer stops), without reading.
void HoldUnread(const ScriptedPeer& peer, int index) {
    while (!peer.Stopping() && peer.Accepted() <= index) Sleep(20);
}

std::string BinaryBytes(size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    // High bytes only, so no "200 OK" can form by chance; a zero at the front
    // hides the "200 OK" that follows in the same read.
    for (size_t i = 1; i < n; ++i) s[i] = static_cast<char>(0x80 | (gen() & 0x7F));
    return s + "200 OK\r\n";
}

class LocalPeer : public ::testing::Test {
protected:
    void StartSupervising() {
        for (DWORD pid : StandInStarts(install)) KillProcess(pid);
        const size_t before = StandInStarts(install).size();
        sup = std::make_unique<Supervisor>(install);
        ASSERT_TRUE(WaitFor([&] { return StandInStarts(install).size() == before + 1 && sup->Window(); }, 15s));
        ASSERT_TRUE(WaitFor([] { return StandInCommand("ping").rfind("pid ", 0) == 0; }, 10s));
        // The scripted peer takes the port over from the stand-in, which stays
        // alive, visible and holding its mutex.
        ASSERT_EQ(StandInCommand("close-listener"), "ok");
    }
    Install install;
    std::unique_ptr<Supervisor> sup;
};

struct FailingAnswer {
    const char* what;
    std::function<void(SOCKET, const ScriptedPeer&, int)> script;
    bool measurable;  // the peer sees when the supervisor lets go
};

TEST_F(LocalPeer, FailingAnswersAreCountedAndSupervisionGoesOn) {
    const FailingAnswer answers[] = {
        {"endless bytes without 200 OK",
         [](SOCKET s, const ScriptedPeer& p, int) { Endless(s, p, std::string(1024, 'A')); }, true},
        {"a reply of 4 MiB, then close",
         [](SOCKET s, const ScriptedPeer&, int) { SendAll(s, std::string(4 << 20, 'B')); }, true},
        {"accept and never read", [](SOCKET, const ScriptedPeer& p, int i) { HoldUnread(p, i); }, false},
        {"accept and reset",
         [](SOCKET s, const ScriptedPeer&, int) {
             ReadRequest(s);
             ResetOnClose(s);
         },
         true},
        {"binary with 200 OK behind a zero byte",
         [](SOCKET s, const ScriptedPeer& p, int) {
             ReadRequest(s);
             SendAll(s, BinaryBytes(2000));
             WaitForClose(s, p, 30s);
         },
         true},
        {"200 OK split across two reads",
         [](SOCKET s, const ScriptedPeer& p, int) {
             ReadRequest(s);
             SendAll(s, "HTTP/1.1 20");
             Sleep(300);
             SendAll(s, "0 OK\r\n\r\n");
             WaitForClose(s, p, 30s);
         },
         true},
    };
    const int failing = static_cast<int>(std::size(answers));

    StartSupervising();
    std::atomic<int> listRequests{0};
    ScriptedPeer peer(kChannelPort, [&](SOCKET s, int index) {
        if (index < failing) return answers[index].script(s, peer, index);
        // Afterwards a healthy answer, whichever process asks.
        std::string req = ReadRequest(s);
        if (IsListRequest(req)) ++listRequests;
        SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
    });
    ASSERT_TRUE(peer.Listening());

    // Six failed checks in a row, with the mutex held, ask for one restart:
    // up to six periods, the endless reply's 10 s, the restart and slack.
    Clock::time_point relaunchedAt{};
    bool menuTried = false, menuOpened = false;
    int unresponsive = 0;
    const bool relaunched = WaitFor(
        [&] {
            if (!UiResponds(sup->Window())) ++unresponsive;
            if (!menuTried && peer.Accepted() >= 1) {
                // While the endless answer is being read on the watch thread.
                menuTried = true;
                menuOpened = TrayMenuOpens(sup->Window());
            }
            if (StandInStarts(install).size() >= 2) {
                relaunchedAt = Clock::now();
                return true;
            }
            return false;
        },
        90s, 100ms);
    ASSERT_TRUE(relaunched) << "no relaunch after " << peer.Accepted() << " failed exchanges";
    std::printf("measured: relaunched %lld ms after the sixth failing exchange began\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           relaunchedAt - peer.Spans()[failing - 1].first)
                                           .count()));
    EXPECT_TRUE(menuOpened) << "the tray menu must open while a probe is under way";
    EXPECT_EQ(unresponsive, 0) << "the supervisor window stopped answering";

    auto spans = peer.Spans();
    ASSERT_GE(spans.size(), static_cast<size_t>(failing));
    EXPECT_GT(relaunchedAt, spans[failing - 1].first) << "relaunched before the sixth failed check";
    for (int i = 0; i < failing; ++i) {
        SCOPED_TRACE(answers[i].what);
        if (!answers[i].measurable) continue;
        ASSERT_NE(spans[i].second, Clock::time_point{}) << "the supervisor never let go of the connection";
        // The reply phase ends 10 s after it began, however the peer behaves.
        EXPECT_LT(spans[i].second - spans[i].first, 13s);
        std::printf(
            "measured: %s held for %lld ms\n", answers[i].what,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(spans[i].second - spans[i].first).count()));
    }
    // Checks do not pile up: each began after the one before it had ended.
    for (int i = 1; i < failing; ++i) EXPECT_LT(spans[i].first - spans[i - 1].first, 20s) << i;

    // The relaunched program answers (through the peer), so nothing more happens.
    const int before = peer.Accepted();
    ASSERT_TRUE(WaitFor([&] { return peer.Accepted() >= before + 1; }, 20s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(StandInStarts(install).size(), 2u) << "passing checks must not restart";
    EXPECT_EQ(listRequests.load(), 0);
}

TEST_F(LocalPeer, EndlessUpgradeListBlocksTheWindowOnlyBrieflyAndStartsNothing) {
    StartSupervising();
    std::atomic<int> listRequests{0};
    ScriptedPeer peer(kChannelPort, [&](SOCKET s, int) {
        std::string req = ReadRequest(s);
        if (!IsListRequest(req)) {
            SendAll(s, "HTTP/1.1 200 OK\r\n\r\n");
            return;
        }
        if (listRequests++ == 0) {
            Endless(s, peer, "<File_Name01>rel-endless.txt</File_Name01>\r\n");
        } else {
            SendAll(s, "<File_Name01>rel-never-served.txt</File_Name01>\r\n");
        }
    });
    ASSERT_TRUE(peer.Listening());
    size_t requests = AccessLogLines();

    ASSERT_EQ(StandInCommand("upgrade-stay"), "ok");
    ASSERT_TRUE(WaitFor([&] { return listRequests.load() == 1; }, 20s));
    auto t0 = Clock::now();
    // The fetch runs on the window's thread; an answer that does not fit is
    // given up at the latest when the reply phase ends.
    ASSERT_TRUE(WaitFor([&] { return UiResponds(sup->Window(), 500); }, 15s));
    EXPECT_LT(Clock::now() - t0, 12s);
    std::printf(
        "measured: window busy with the endless list for %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(MessageBoxes().empty()) << "an answer that does not fit shows nothing";
    EXPECT_EQ(UpgradeWindow(sup->Pid()), nullptr);
    EXPECT_EQ(AccessLogLines(), requests) << "nothing may be downloaded";
    EXPECT_TRUE(TrayMenuOpens(sup->Window()));

    // The upgrade flag was cleared: a new request is fetched, not refused.
    ASSERT_EQ(StandInCommand("upgrade-stay"), "ok");
    EXPECT_TRUE(WaitFor([&] { return listRequests.load() == 2; }, 20s)) << "the next request was refused";
}

// Quitting while the window's thread or the watch thread waits on the local
// channel: the process ends within the bound of the wait it is in, and no box
// and no upgrade window is left.
TEST_F(LocalPeer, QuitWhileWaitingOnTheChannelIsBounded) {
    struct Phase {
        const char* what;
        int backlog;                  // 1: a listener that never accepts
        bool answerList;              // false: hold the list request without a word
        std::chrono::seconds settle;  // until the supervisor is in the phase
        std::chrono::seconds limit;   // what that phase allows, with slack
    } phases[] = {
        // Nothing pending: the baseline cost of the shutdown itself.
        {"idle", 16, true, 0s, 10s},
        // A full backlog: under Wine the probe's connect stays pending and the
        // quit costs one 1 s poll; Windows refuses the connect and the probe
        // has ended already. The bound holds either way.
        {"connecting", 1, true, 10s, 10s},
        // The window's thread is in the fetch; the quit waits in its queue
        // until the idle limit ends the reply (about 5 s).
        {"fetching the list", 16, false, 1s, 12s},
    };
    for (const Phase& ph : phases) {
        SCOPED_TRACE(ph.what);
        StartSupervising();
        std::atomic<int> listRequests{0};
        std::unique_ptr<ScriptedPeer> peer;
        SOCKET silent = INVALID_SOCKET;
        std::vector<SOCKET> fillers;
        if (ph.backlog == 1) {
            // A listener that never accepts, its queue filled by us, as with
            // a program too busy to accept: a new connect then stays pending
            // (Wine) or is refused (Windows).
            silent = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr = {};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(kChannelPort);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_TRUE(
                WaitFor([&] { return bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0; }, 5s));
            ASSERT_EQ(listen(silent, 1), 0);
            for (int i = 0; i < 4; ++i) {
                SOCKET f = socket(AF_INET, SOCK_STREAM, 0);
                u_long nb = 1;
                ioctlsocket(f, FIONBIO, &nb);
                connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
                fillers.push_back(f);
            }
        } else {
            peer = std::make_unique<ScriptedPeer>(kChannelPort, [&](SOCKET s, int) {
                std::string req = ReadRequest(s);
                if (IsListRequest(req)) {
                    ++listRequests;
                    if (!ph.answerList) WaitForClose(s, *peer, 30s);
                    return;
                }
                SendAll(s, "HTTP/1.1 200 OK\r\n\r\n");
            });
            ASSERT_TRUE(peer->Listening());
        }
        if (!ph.answerList) {
            ASSERT_EQ(StandInCommand("upgrade-stay"), "ok");
            ASSERT_TRUE(WaitFor([&] { return listRequests.load() == 1; }, 20s));
        }
        std::this_thread::sleep_for(ph.settle);
        auto t0 = Clock::now();
        PostMessageW(sup->Window(), WM_SV_QUIT, 0, 0);
        const bool exited = sup->Exited(30s);
        const auto took = Clock::now() - t0;
        std::printf("measured: quit while %s took %lld ms\n", ph.what,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        ASSERT_TRUE(exited);
        EXPECT_LT(took, ph.limit);
        EXPECT_TRUE(MessageBoxes().empty()) << "no box after a quit";
        sup.reset();
        peer.reset();
        for (SOCKET f : fillers) closesocket(f);
        if (silent != INVALID_SOCKET) closesocket(silent);
    }
}

// A listener that takes every connection but answers only some: a passing
// check resets the count, so only a run of more than five failures restarts.
// The checks are brought on by the timer message itself, since the counting
// does not depend on the 8000 ms period.
TEST_F(LocalPeer, AListenerThatAnswersOnlySometimesIsCountedByTheRules) {
    struct Case {
        const char* what;
        int every;      // every n-th connection is answered, the others closed at once
        int exchanges;  // how many checks to watch
        bool restart;
    } cases[] = {
        {"one connection in five answered", 5, 15, false},
        {"one connection in ten answered", 10, 9, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartSupervising();
        const DWORD marlowcast = StandInStarts(install).back();
        const size_t starts = StandInStarts(install).size();
        {
            ScriptedPeer peer(kChannelPort, [&](SOCKET s, int index) {
                if (index % c.every != c.every - 1) return;  // closed unread
                ReadRequest(s);
                SendAll(s, "HTTP/1.1 200 OK\r\n\r\n");
            });
            ASSERT_TRUE(peer.Listening());
            // A restart ends the old process first thing. Once it has, no
            // more checks are brought on: the relaunched process needs a
            // moment to take its mutex, and a check that came before would
            // find Marlowcast gone and count towards a second restart.
            int acceptedAtRestart = -1;
            WaitFor(
                [&] {
                    if (acceptedAtRestart < 0 && !ProcessRunning(marlowcast)) acceptedAtRestart = peer.Accepted();
                    if (acceptedAtRestart >= 0 || peer.Accepted() >= c.exchanges) return true;
                    PostMessageW(sup->Window(), WM_TIMER, kCheckTimerId, 0);
                    return false;
                },
                60s, 700ms);
            if (c.restart) {
                // The sixth refused connection in a row is the one that restarts.
                EXPECT_EQ(acceptedAtRestart, 6);
                // The restart pauses 1 s after the end of the old process, then
                // starts the new one, which logs its start first of all.
                EXPECT_TRUE(WaitFor([&] { return StandInStarts(install).size() > starts; }, 10s)) << "not relaunched";
            } else {
                EXPECT_GE(peer.Accepted(), c.exchanges);
                EXPECT_EQ(acceptedAtRestart, -1) << "a passing check must reset the count";
            }
        }
        sup.reset();
    }
}

}  // namespace
