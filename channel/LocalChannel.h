#pragma once
// The local request channel: one TCP exchange with Marlowcast on
// 127.0.0.1:50918 per request (create a socket, connect, send one request,
// read the reply, close), and the status probe built on it.
//
// Everything here blocks the calling thread for the whole exchange and keeps
// no state between calls. The only shared thing read is the stop flag the
// caller passes: clearing it ends a connection wait within one 1 s poll and a
// reply loop within one 20 ms poll. A send in progress is not interrupted; its
// time-out ends it.
// Winsock 2.2 must have been started (the application does it at start-up).

#include <winsock2.h>
#include <windows.h>

#include <ctime>

#include "base/StopFlag.h"

// Where Marlowcast listens.
constexpr u_long kLocalChannelAddress = 0x7F000001;  // 127.0.0.1, host byte order
constexpr u_short kLocalChannelPort = 50918;         // host byte order

// Connecting: at most this many polls for writability, each up to 1 s.
constexpr int kConnectPolls = 15;
constexpr long kConnectPollMs = 1000;
// A send that cannot finish within this fails; nothing is re-sent.
constexpr DWORD kSendTimeoutMs = 9800;
// Reading: each poll for readability waits up to 20 ms; the exchange ends at
// the 251st empty poll (received data does not reset the count) ...
constexpr long kReplyPollMs = 20;
constexpr int kReplyIdleLimit = 250;
// ... and at the latest this long after the reading began, so a peer that
// keeps sending a few bytes now and then, without ever completing the reply,
// cannot hold the watch thread (or the UI thread during an upgrade-list fetch)
// for ever.
constexpr ULONGLONG kReplyPhaseLimitMs = 10000;

// The status probe's reply buffer, allocated per probe once the request is out.
constexpr int kStatusReplySize = 64000;

// Receives the reply piece by piece. ReceiveLocalReply reads into the buffer
// its caller gave it, always from the buffer's start, and hands each read's
// bytes to OnReplyChunk; the chunk is valid only during that call and is not
// zero-terminated. A consumer that needs the whole reply (the upgrade list)
// gathers the pieces into storage of its own; one that judges each piece
// alone (the status probe) just looks at it.
class IReplyConsumer {
public:
    // Returns true when the reply is complete; the exchange then ends.
    virtual bool OnReplyChunk(const char* chunk, int length) = 0;

protected:
    ~IReplyConsumer() = default;
};

// Owns one client socket of the channel: creates an IPv4 stream socket and,
// whatever happened on the way, ends it with CloseLocalConnection.
class CLocalSocket {
public:
    CLocalSocket();
    ~CLocalSocket();
    CLocalSocket(const CLocalSocket&) = delete;
    CLocalSocket& operator=(const CLocalSocket&) = delete;

    bool IsValid() const { return m_socket != INVALID_SOCKET; }
    SOCKET Get() const { return m_socket; }
    // Ends the connection now rather than with the owner.
    void Close();

private:
    SOCKET m_socket;
};

// Connects a newly created IPv4 stream socket to 127.0.0.1:50918 without
// blocking past the poll limit, then puts it back into blocking mode with the
// send time-out set. TRUE when connected and ready for the request. A
// connection attempt the platform reports as failed (refused, or writable with
// a pending error) ends the wait at once.
BOOL OpenLocalConnection(SOCKET s, const StopFlag& running);

// Writes the current local time as the request body (17 characters, or
// "Invalid DateTime" when the local time cannot be determined), in the ANSI
// code page, zero-terminated.
void FormatRequestTime(char body[128]);

// FormatRequestTime for a given local time; null means "could not be
// determined".
void FormatRequestTimeAt(const std::tm* localTime, char body[128]);

// Composes the request from the request line, the host line and the body
// (null or empty: no body) and sends it in one send call. TRUE only when every
// byte was sent.
BOOL SendLocalRequest(SOCKET s, const char* requestLine, const char* hostLine, const char* body);

// Reads the reply in chunks of at most `size` bytes into `buffer` and hands
// each to the consumer. TRUE when the consumer declared the reply complete;
// FALSE when the peer closed, a read or poll failed, the idle limit or the
// time limit was reached, or the stop flag was found cleared.
BOOL ReceiveLocalReply(SOCKET s, char* buffer, int size, IReplyConsumer& consumer, const StopFlag& running);

// Shuts the connection down in both directions and closes the socket.
void CloseLocalConnection(SOCKET s);

// The last test of the health check: TRUE when Marlowcast answers the status
// request with a reply that has "200 OK" in one of its reads, and also TRUE
// when no socket can be created (a fault of ours, not of Marlowcast). With a
// `launched` process id, only an answer from a listener that process owns
// counts (another session's Marlowcast may hold the port); 0 when we
// launched none takes whoever listens.
BOOL ProbeStatus(const StopFlag& running, DWORD launched = 0);
