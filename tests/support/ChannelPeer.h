#pragma once
// Marlowcast's side of the local channel as the channel's own tests play it:
// a listener on 127.0.0.1:50918 (waiting its turn on the port, which other
// test programs take too) and a peer that answers one exchange by a script of
// timed pieces. The e2e tests' peer (ScriptedPeer.h) serves many connections
// by a function instead.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/LocalChannel.h"

namespace channeltest {

using Clock = std::chrono::steady_clock;

inline bool WaitReadable(SOCKET s, long ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

inline sockaddr_in ChannelEndpoint() {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(kLocalChannelAddress);
    endpoint.sin_port = htons(kLocalChannelPort);
    return endpoint;
}

inline SOCKET ListenOnChannelPort(int backlog) {
    // Other test programs take turns on this port; wait for it instead of failing.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    const sockaddr_in endpoint = ChannelEndpoint();
    for (;;) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(s, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0 && listen(s, backlog) == 0) {
            return s;
        }
        const int error = WSAGetLastError();
        closesocket(s);
        if (error != WSAEADDRINUSE || Clock::now() > deadline) return INVALID_SOCKET;
        Sleep(250);
    }
}

// What the peer sends after reading the request: pieces with a pause before
// each, optionally repeated until the supervisor hangs up; then it either keeps
// the connection open or closes its side first.
struct Script {
    std::vector<std::pair<DWORD, std::string>> pieces;
    bool repeat = false;
    bool peerCloses = false;
};

// Marlowcast's side of one exchange, on its own thread. Every wait is bounded.
class ScriptedPeer {
public:
    explicit ScriptedPeer(Script script) : m_script(std::move(script)) {
        m_listener = ListenOnChannelPort(SOMAXCONN);
        if (m_listener != INVALID_SOCKET) m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() { Finish(); }

    bool Listening() const { return m_listener != INVALID_SOCKET; }
    bool RequestRead() const { return m_requestRead; }
    // Waits for the exchange to end; true when the supervisor shut down and
    // closed its end of the connection.
    bool SupervisorClosed() {
        Finish();
        return m_supervisorClosed;
    }
    const std::string& Request() {
        Finish();
        return m_request;
    }

private:
    void Finish() {
        if (m_thread.joinable()) m_thread.join();
        if (m_listener != INVALID_SOCKET) closesocket(m_listener);
        m_listener = INVALID_SOCKET;
    }

    void Serve() {
        if (!WaitReadable(m_listener, 20000)) return;
        SOCKET s = accept(m_listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        ReadRequest(s);
        bool sending = true;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        do {
            for (const auto& piece : m_script.pieces) {
                Sleep(piece.first);
                const int length = static_cast<int>(piece.second.size());
                sending = sending && send(s, piece.second.data(), length, 0) == length;
            }
        } while (m_script.repeat && sending && Clock::now() < deadline);
        if (m_script.peerCloses) shutdown(s, SD_SEND);
        // The supervisor's close shows as the end of its data, or as a reset
        // when we were still sending.
        m_supervisorClosed = !sending;
        char scratch[4096];
        while (!m_supervisorClosed && WaitReadable(s, 20000)) {
            m_supervisorClosed = recv(s, scratch, sizeof scratch, 0) <= 0;
        }
        closesocket(s);
    }

    // The request is the header up to the blank line and as many bytes as
    // its length line says.
    void ReadRequest(SOCKET s) {
        char chunk[1024];
        std::size_t wanted = std::string::npos;
        while (m_request.size() < wanted && WaitReadable(s, 5000)) {
            const int got = recv(s, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            m_request.append(chunk, got);
            const std::size_t headerEnd = m_request.find("\r\n\r\n");
            const std::size_t lengthAt = m_request.find("Content-Length: ");
            if (headerEnd != std::string::npos && lengthAt != std::string::npos) {
                wanted = headerEnd + 4 + std::stoul(m_request.substr(lengthAt + 16));
            }
        }
        m_requestRead = true;
    }

    Script m_script;
    SOCKET m_listener = INVALID_SOCKET;
    std::thread m_thread;
    std::atomic<bool> m_requestRead{false};
    bool m_supervisorClosed = false;
    std::string m_request;
};

}  // namespace channeltest
