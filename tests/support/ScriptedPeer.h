#pragma once
// A TCP listener on 127.0.0.1 whose behaviour a test writes: each accepted
// connection runs the test's script on a thread of its own. It stands in for
// Marlowcast's side of the local channel, or for an HTTP server, when a test
// needs answers that no well-behaved program gives.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class ScriptedPeer {
public:
    using Clock = std::chrono::steady_clock;
    // Runs once per accepted connection; index counts connections from 0.
    // The script owns nothing: the peer closes the socket after it returns.
    using Script = std::function<void(SOCKET client, int index)>;

    ScriptedPeer(u_short port, Script script, int backlog = 16);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Listening() const { return m_listener != INVALID_SOCKET; }
    int Accepted() const { return m_accepted.load(); }
    // When each connection was accepted and when its script returned.
    std::vector<std::pair<Clock::time_point, Clock::time_point>> Spans() const;
    // Ends every script early (the scripts poll Stopping()).
    bool Stopping() const { return m_stopping.load(); }

private:
    SOCKET m_listener = INVALID_SOCKET;
    Script m_script;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_accepted{0};
    mutable std::mutex m_lock;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> m_spans;
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};

// Reads a local-channel request (header and its Content-Length body) or an
// HTTP request header; returns what arrived ("" when nothing did in time).
std::string ReadRequest(SOCKET s, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
bool SendAll(SOCKET s, const std::string& bytes);
// Waits until the other side closes (or resets) the connection; false when it
// still has not after the limit or the peer is stopping.
bool WaitForClose(SOCKET s, const ScriptedPeer& peer, std::chrono::milliseconds limit);
// Makes the peer's close a reset instead of an orderly end.
void ResetOnClose(SOCKET s);

}  // namespace e2e
