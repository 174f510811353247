// The channel against peers this test plays on 127.0.0.1:50918, the port
// Marlowcast uses (so the test holds a lock on it and runs its cases one by one).

#include "channel/ListenerOwner.h"
#include "channel/LocalChannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "channel/RequestText.h"
#include "tests/support/ChannelPeer.h"

namespace {

using namespace channeltest;
using namespace std::string_literals;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool LooksLikeRequestTime(const std::string& text) {
    return std::regex_match(text, std::regex("[0-9]{8}_[0-9]{2}:[0-9]{2}:[0-9]{2}"));
}

class LocalChannel : public ::testing::Test {
protected:
    void SetUp() override { running.Start(); }

    // The probe on another thread, as the watch thread runs it.
    std::future<BOOL> StartProbe() {
        return std::async(std::launch::async, [this] { return ProbeStatus(running); });
    }

    StopFlag running;
};

TEST_F(LocalChannel, RequestTimeIsConvertedToAnsiText) {
    std::tm known{};
    known.tm_year = 2025 - 1900, known.tm_mon = 7, known.tm_mday = 10;
    known.tm_hour = 12, known.tm_min = 32, known.tm_sec = 28;
    char body[128];
    FormatRequestTimeAt(&known, body);
    EXPECT_STREQ(body, "20250810_12:32:28");
    FormatRequestTimeAt(nullptr, body);
    EXPECT_STREQ(body, "Invalid DateTime");
}

TEST_F(LocalChannel, ProbeFailsQuicklyWhenNothingListens) {
    const auto start = Clock::now();
    EXPECT_FALSE(ProbeStatus(running));
    EXPECT_LT(SecondsSince(start), 3.0);  // the refused attempt ends the wait
}

TEST_F(LocalChannel, ProbePassesWhenNoSocketCanBeCreated) {
    ASSERT_EQ(WSACleanup(), 0);
    struct RestartWinsock {
        ~RestartWinsock() {
            WSADATA data;
            WSAStartup(MAKEWORD(2, 2), &data);
        }
    } restart;
    EXPECT_TRUE(ProbeStatus(running));
}

struct ProbeCase {
    const char* name;
    Script peer;
    bool passes;
    double withinSeconds;
};

void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.name; }

class ProbeAgainstPeer : public LocalChannel, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeAgainstPeer, Outcome) {
    const ProbeCase& c = GetParam();
    ScriptedPeer peer(c.peer);
    ASSERT_TRUE(peer.Listening());
    const auto start = Clock::now();
    EXPECT_EQ(ProbeStatus(running) != FALSE, c.passes);
    EXPECT_LT(SecondsSince(start), c.withinSeconds);

    const std::string header = "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 17\r\n\r\n";
    const std::string& request = peer.Request();
    EXPECT_EQ(request.substr(0, header.size()), header);
    EXPECT_TRUE(LooksLikeRequestTime(request.substr(std::min(header.size(), request.size()))));
    EXPECT_TRUE(peer.SupervisorClosed());
}

INSTANTIATE_TEST_SUITE_P(
    LocalChannel, ProbeAgainstPeer,
    ::testing::Values(
        // Passes on the first read: no waiting for the close or the idle limit.
        ProbeCase{"OkInFirstReadPassesWithoutWaitingForClose", Script{{{0, "HTTP/1.1 200 OK\r\n\r\n"}}}, true, 3.0},
        ProbeCase{"OkInALaterReadPasses", Script{{{0, "HTTP/1.1 "}, {300, "200 OK\r\n"}}}, true, 3.0},
        ProbeCase{"AnswerWithoutOkThenCloseFails", Script{{{0, "HTTP/1.1 503 Busy\r\n\r\n"}}, false, true}, false, 3.0},
        ProbeCase{"OkSplitAcrossTwoReadsIsNotRecognised", Script{{{0, "HTTP/1.1 200"}, {300, " OK\r\n"}}, false, true},
                  false, 3.0},
        ProbeCase{"OkBehindAZeroByteIsNotRecognised", Script{{{0, "\0HTTP/1.1 200 OK\r\n"s}}, false, true}, false, 3.0},
        // 251 empty polls of 20 ms; well before the 10 s limit on reading.
        ProbeCase{"SilentPeerFailsAtTheIdleLimit", Script{}, false, 9.0},
        // Gaps of 20 empty polls each: only a count that data does not reset
        // reaches the limit before the 10 s limit on reading.
        ProbeCase{"TrickleWithGapsEndsAtTheIdleLimit", Script{{{400, "x"}}, true}, false, 9.0},
        // Data every 10 ms leaves few empty polls: only the time limit ends it.
        ProbeCase{"EndlessStreamEndsAtTheTimeLimit", Script{{{10, "abc"}}, true}, false, 14.0}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// Loopback ports are shared by every session of the machine: an answer counts
// only from a listener that the process we launched owns. Wine's table names
// no owners, so the table is made here; the probe itself runs against a peer
// in this process.
TEST_F(LocalChannel, AnAnswerCountsOnlyFromTheLaunchedProcesssListener) {
    struct Row {
        u_long address;
        u_short port;
        DWORD owner;
    };
    constexpr DWORD us = 4242, them = 5150;
    const struct {
        const char* what;
        std::vector<Row> listeners;
        bool ours;
    } cases[] = {
        {"ours on 127.0.0.1", {{0x7F000001, 443, them}, {0x7F000001, 50918, us}}, true},
        {"another session's", {{0x7F000001, 50918, them}}, false},
        {"another session's on every address", {{INADDR_ANY, 50918, them}}, false},
        {"ours on every address", {{INADDR_ANY, 50918, us}}, true},
        {"nobody on the port", {{0x7F000001, 50919, us}}, false},
        {"an owner the table does not name", {{0x7F000001, 50918, 0}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> bytes(sizeof(MIB_TCPTABLE_OWNER_PID) + c.listeners.size() * sizeof(MIB_TCPROW_OWNER_PID));
        auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(bytes.data());
        table->dwNumEntries = static_cast<DWORD>(c.listeners.size());
        for (std::size_t i = 0; i < c.listeners.size(); ++i) {
            table->table[i] = {MIB_TCP_STATE_LISTEN, htonl(c.listeners[i].address), htons(c.listeners[i].port), 0, 0,
                               c.listeners[i].owner};
        }
        EXPECT_EQ(ListenerOwnedBy(*table, us), c.ours);
    }
    ScriptedPeer peer(Script{{{0, "HTTP/1.1 200 OK\r\n\r\n"}}, false, true});
    ASSERT_TRUE(peer.Listening());
    EXPECT_TRUE(ProbeStatus(running, GetCurrentProcessId())) << "our own listener's answer counts";
}

// The upgrade list arrives in pieces; its consumer must see every byte, in
// order, each piece no larger than the buffer it gave. The connection it
// reads from is blocking again with the send time-out set.
TEST_F(LocalChannel, HandsEveryPieceOfAReplyToTheConsumer) {
    const std::string first = "<File_Name01>Marlowcast.exe</File_Name01>";
    const std::string second = "<File_Name02>lang\\en.uib</File_Name02>";
    ScriptedPeer peer(Script{{{0, first}, {300, second}}, false, true});
    ASSERT_TRUE(peer.Listening());

    struct Gatherer : IReplyConsumer {
        std::string text;
        int largest = 0;
        bool OnReplyChunk(const char* chunk, int length) override {
            text.append(chunk, length);
            largest = std::max(largest, length);
            return false;
        }
    } gatherer;
    {
        CLocalSocket connection;
        ASSERT_TRUE(OpenLocalConnection(connection.Get(), running));
        DWORD sendTimeout = 0;
        int size = sizeof sendTimeout;
        getsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&sendTimeout), &size);
        EXPECT_EQ(sendTimeout, 9800u);
        ASSERT_TRUE(SendLocalRequest(connection.Get(), kUpgradeListRequestLine, kRequestHostLine, "20250810_12:32:28"));
        char buffer[16];
        EXPECT_FALSE(ReceiveLocalReply(connection.Get(), buffer, sizeof buffer, gatherer, running));
    }
    EXPECT_EQ(gatherer.text, first + second);
    EXPECT_LE(gatherer.largest, 16);
    EXPECT_EQ(peer.Request().rfind("GET /Marlowcast/UpgradeXml\r\n", 0), 0u);
    EXPECT_TRUE(peer.SupervisorClosed());
}

bool Running(const std::future<BOOL>& probe) {
    return probe.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

TEST_F(LocalChannel, ClearingTheRunFlagEndsTheConnectionWaitWithinAPoll) {
    // A peer whose backlog is full and that never accepts. Where a further
    // connection attempt gets no answer and stays pending (Linux under Wine),
    // clearing the flag must end the wait; where it is refused (Windows), the
    // probe ends by itself at the refusal.
    struct Listener {
        SOCKET s = ListenOnChannelPort(1);
        ~Listener() { closesocket(s); }
    } busy;
    ASSERT_NE(busy.s, INVALID_SOCKET);
    std::vector<std::unique_ptr<CLocalSocket>> queued;
    bool attemptsPend = false, refused = false;
    while (!attemptsPend && !refused && queued.size() < 16) {
        queued.push_back(std::make_unique<CLocalSocket>());
        const SOCKET s = queued.back()->Get();
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        const sockaddr_in endpoint = ChannelEndpoint();
        connect(s, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        FD_ZERO(&failed);
        FD_SET(s, &failed);
        timeval wait{0, 300000};
        attemptsPend = select(0, nullptr, &writable, &failed, &wait) == 0;
        refused = FD_ISSET(s, &failed);
    }
    ASSERT_TRUE(attemptsPend || refused) << "every connection attempt was taken: the backlog never filled";

    std::future<BOOL> probe = StartProbe();
    if (refused) {
        EXPECT_EQ(probe.wait_for(std::chrono::milliseconds(kConnectPollMs + 500)), std::future_status::ready)
            << "a refused connection must end the wait at once";
        EXPECT_FALSE(probe.get());
        return;
    }
    Sleep(1500);
    ASSERT_TRUE(Running(probe)) << "the probe was expected to be waiting for the connection";
    running.Stop();
    const auto cleared = Clock::now();
    EXPECT_FALSE(probe.get());
    EXPECT_LT(SecondsSince(cleared), 1.5);
}

TEST_F(LocalChannel, ClearingTheRunFlagEndsTheReplyLoopWithinAPoll) {
    ScriptedPeer peer(Script{});
    ASSERT_TRUE(peer.Listening());
    std::future<BOOL> probe = StartProbe();
    const auto start = Clock::now();
    while (!peer.RequestRead() && SecondsSince(start) < 5.0) Sleep(10);
    Sleep(300);
    ASSERT_TRUE(Running(probe));
    running.Stop();
    const auto cleared = Clock::now();
    EXPECT_FALSE(probe.get());
    EXPECT_LT(SecondsSince(cleared), 1.0);  // far below the ~5 s the idle limit would take
    EXPECT_TRUE(peer.SupervisorClosed());
}

}  // namespace
