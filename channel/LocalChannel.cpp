#include "channel/LocalChannel.h"

#include "channel/ListenerOwner.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "base/AnsiText.h"
#include "base/AwakeClock.h"
#include "base/EventLog.h"
#include "channel/RequestText.h"

namespace {

timeval PollTime(long ms) {
    timeval wait{};
    wait.tv_sec = ms / 1000;
    wait.tv_usec = (ms % 1000) * 1000;
    return wait;
}

enum class ConnectPoll { kPending, kConnected, kFailed };

// One poll of the connection wait. Windows reports a failed non-blocking
// connect only in the exception set, so a wait that watched writability alone
// would sit out every poll when nothing listens; we watch both and end at once
// on failure. Where a failure shows as "writable" instead, SO_ERROR tells.
ConnectPoll PollConnect(SOCKET s) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait = PollTime(kConnectPollMs);
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR || ready == 0) return ConnectPoll::kPending;
    if (FD_ISSET(s, &failed)) return ConnectPoll::kFailed;
    if (!FD_ISSET(s, &writable)) return ConnectPoll::kPending;

    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR || error != 0) {
        return ConnectPoll::kFailed;
    }
    return ConnectPoll::kConnected;
}

// A Marlowcast that is missing or mute fails the probe the same way at every
// check, day and night: the probe's lines are written once, then once an hour
// with their count, and again at once when the answer changes.
constexpr wchar_t kProbeTopic[] = L"status probe";

// The status probe's consumer: the reply is complete as soon as one read
// carries "200 OK". It keeps the start of the first line that came, so that
// a failed probe can say what came instead.
class StatusOkConsumer final : public IReplyConsumer {
public:
    bool OnReplyChunk(const char* chunk, int length) override {
        for (int i = 0; i < length && !m_lineEnded && m_start.size() < kShownBytes; ++i) {
            if (chunk[i] == '\r' || chunk[i] == '\n') {
                m_lineEnded = true;
            } else {
                m_start += chunk[i];
            }
        }
        m_received += length;
        return ChunkHasStatusOk(chunk, length);
    }
    // The log's account of an answer that did not do.
    void LogWhatCame() const {
        if (m_received == 0) {
            LogRepeatingEvent(kProbeTopic,
                              L"Status answer missing: nothing came before the connection closed or the wait ended");
        } else {
            LogRepeatingEvent(kProbeTopic,
                              L"Status answer not accepted (no read held \"200 OK\"): %lld bytes, beginning \"%ls\"",
                              m_received, FromAnsi(m_start).c_str());
        }
    }

private:
    static constexpr size_t kShownBytes = 80;
    std::string m_start;
    bool m_lineEnded = false;
    long long m_received = 0;
};

}  // namespace

CLocalSocket::CLocalSocket() : m_socket(socket(AF_INET, SOCK_STREAM, 0)) {}

CLocalSocket::~CLocalSocket() { Close(); }

void CLocalSocket::Close() {
    if (m_socket != INVALID_SOCKET) CloseLocalConnection(m_socket);
    m_socket = INVALID_SOCKET;
}

BOOL OpenLocalConnection(SOCKET s, const StopFlag& running) {
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) return FALSE;

    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(kLocalChannelAddress);
    endpoint.sin_port = htons(kLocalChannelPort);
    // A non-blocking connect reports WSAEWOULDBLOCK; how it ends is seen by
    // the polls, which also report an attempt that failed.
    connect(s, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);

    bool connected = false;
    for (int poll = 0; poll < kConnectPolls && !connected; ++poll) {
        if (!running.IsRunning()) return FALSE;
        switch (PollConnect(s)) {
            case ConnectPoll::kConnected: connected = true; break;
            case ConnectPoll::kFailed: return FALSE;
            case ConnectPoll::kPending: break;
        }
    }
    if (!connected) return FALSE;

    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) == SOCKET_ERROR) return FALSE;

    // Windows takes the send time-out as a DWORD of milliseconds.
    const DWORD sendTimeout = kSendTimeoutMs;
    if (setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout) ==
        SOCKET_ERROR) {
        return FALSE;
    }
    return TRUE;
}

void FormatRequestTimeAt(const std::tm* localTime, char body[128]) {
    wchar_t wide[kRequestFieldSize];
    FormatRequestTimeText(localTime, wide, kRequestFieldSize);

    // The channel speaks the system ANSI code page; the text may take at most
    // 120 bytes with its terminator.
    std::string ansi;
    ToAnsi(wide, &ansi, 120);
    std::snprintf(body, kRequestFieldSize, "%s", ansi.c_str());
}

void FormatRequestTime(char body[128]) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // The watch thread and the UI thread may both be here at once: use the
    // reentrant form.
    const bool known = now != static_cast<std::time_t>(-1) && localtime_s(&local, &now) == 0;
    FormatRequestTimeAt(known ? &local : nullptr, body);
}

BOOL SendLocalRequest(SOCKET s, const char* requestLine, const char* hostLine, const char* body) {
    char text[kRequestTextSize];
    const std::size_t length = ComposeRequestText(requestLine, hostLine, body, text, sizeof text);
    if (length == 0) return FALSE;

    // One block, one send: Marlowcast reads the request in one go. A short
    // count or the send time-out is a failure; nothing is re-sent.
    const int sent = send(s, text, static_cast<int>(length), 0);
    return sent == static_cast<int>(length) ? TRUE : FALSE;
}

BOOL ReceiveLocalReply(SOCKET s, char* buffer, int size, IReplyConsumer& consumer, const StopFlag& running) {
    if (buffer == nullptr || size <= 0) return FALSE;
    const ULONGLONG started = GetTickCount64();
    int idlePolls = 0;
    if (!running.IsRunning()) return FALSE;

    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait = PollTime(kReplyPollMs);
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) return FALSE;

        if (ready == 0) {
            // Counts over the whole exchange: data in between does not reset it.
            if (++idlePolls > kReplyIdleLimit) return FALSE;
        } else {
            const int got = recv(s, buffer, size, 0);
            if (got == 0 || got == SOCKET_ERROR) return FALSE;
            if (consumer.OnReplyChunk(buffer, got)) return TRUE;
        }

        if (!running.IsRunning()) return FALSE;
        if (GetTickCount64() - started >= kReplyPhaseLimitMs) return FALSE;
    }
}

void CloseLocalConnection(SOCKET s) {
    shutdown(s, SD_BOTH);
    closesocket(s);
}

namespace {

// Whether the listener is the Marlowcast we launched. The TCP table costs a
// load of the IP helper library each time (a few milliseconds under Wine, at
// every check of an idle day), so a listener found to be ours is asked about
// again a minute later rather than at every check: the rules need six failed
// checks, 48 s, to act on a silent Marlowcast anyway.
bool ListenerIsLaunched(DWORD launched) {
    constexpr std::uint64_t kTrustedForMs = 60 * 1000;
    thread_local DWORD verified = 0;
    thread_local std::uint64_t verifiedAt = 0;
    const std::uint64_t now = AwakeMilliseconds();
    if (verified == launched && now - verifiedAt < kTrustedForMs) return true;
    verified = ListenerOwnedBy(launched) ? launched : 0;
    verifiedAt = now;
    return verified != 0;
}

}  // namespace

BOOL ProbeStatus(const StopFlag& running, DWORD launched) {
    CLocalSocket connection;
    // Without a socket we cannot ask; that says nothing about Marlowcast, so
    // the probe must not count against it.
    if (!connection.IsValid()) {
        LogRepeatingEvent(kProbeTopic, L"Status request skipped: no socket (error %d); not counted against Marlowcast",
                          WSAGetLastError());
        return TRUE;
    }

    if (!OpenLocalConnection(connection.Get(), running)) {
        if (running.IsRunning())
            LogRepeatingEvent(kProbeTopic, L"Status request: no connection to 127.0.0.1:%u", kLocalChannelPort);
        return FALSE;
    }
    if (launched && !ListenerIsLaunched(launched)) {
        LogEvent(L"Status request: 127.0.0.1:%u is not held by the Marlowcast we launched (process id %lu)",
                 kLocalChannelPort, launched);
        return FALSE;
    }

    char body[kRequestFieldSize] = {};
    FormatRequestTime(body);
    if (!SendLocalRequest(connection.Get(), kStatusRequestLine, kRequestHostLine, body)) {
        LogRepeatingEvent(kProbeTopic, L"Status request could not be sent (error %d)", WSAGetLastError());
        return FALSE;
    }

    // Allocated only once the request is out, so a probe that cannot connect
    // costs no memory. Without it we never see the answer: not passed.
    std::unique_ptr<char[]> reply(new (std::nothrow) char[kStatusReplySize]);
    if (!reply) {
        LogRepeatingEvent(kProbeTopic, L"Status answer not read: no memory for it");
        return FALSE;
    }
    StatusOkConsumer consumer;
    if (ReceiveLocalReply(connection.Get(), reply.get(), kStatusReplySize, consumer, running)) {
        EndRepeatingEvent(kProbeTopic);
        return TRUE;
    }
    if (running.IsRunning()) consumer.LogWhatCame();
    return FALSE;
}
