#include "tests/support/ScriptedPeer.h"

#include <cstdlib>

namespace e2e {

ScriptedPeer::ScriptedPeer(u_short port, Script script, int backlog) : m_script(std::move(script)) {
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The stand-in or an earlier peer may release the port a moment late.
    bool bound = false;
    for (int tries = 0; tries < 50 && !bound; ++tries) {
        bound = bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (!bound) Sleep(100);
    }
    if (!bound || listen(l, backlog) != 0) {
        closesocket(l);
        return;
    }
    m_listener = l;
    m_acceptor = std::thread([this] {
        for (;;) {
            SOCKET c = accept(m_listener, nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            if (m_stopping) {
                closesocket(c);
                return;
            }
            int index = m_accepted++;
            std::lock_guard<std::mutex> hold(m_lock);
            m_spans.push_back({Clock::now(), Clock::time_point{}});
            m_threads.emplace_back([this, c, index] {
                m_script(c, index);
                closesocket(c);
                std::lock_guard<std::mutex> hold(m_lock);
                m_spans[static_cast<size_t>(index)].second = Clock::now();
            });
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    m_stopping = true;
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        threads.swap(m_threads);
    }
    for (std::thread& t : threads) t.join();
}

std::vector<std::pair<ScriptedPeer::Clock::time_point, ScriptedPeer::Clock::time_point>> ScriptedPeer::Spans() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_spans;
}

static bool Readable(SOCKET s, long ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &wait) > 0;
}

std::string ReadRequest(SOCKET s, std::chrono::milliseconds limit) {
    std::string req;
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        size_t head = req.find("\r\n\r\n");
        if (head != std::string::npos) {
            size_t cl = req.find("Content-Length: ");
            size_t want = cl == std::string::npos || cl > head ? 0 : std::strtoul(req.c_str() + cl + 16, nullptr, 10);
            if (req.size() >= head + 4 + want) break;
        }
        if (!Readable(s, 50)) continue;
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
    }
    return req;
}

bool SendAll(SOCKET s, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int n = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WaitForClose(SOCKET s, const ScriptedPeer& peer, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (std::chrono::steady_clock::now() < end && !peer.Stopping()) {
        if (!Readable(s, 50)) continue;
        if (recv(s, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
}

void ResetOnClose(SOCKET s) {
    linger hard = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

}  // namespace e2e
