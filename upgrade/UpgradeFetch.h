#pragma once
// Asking Marlowcast for the upgrade list over the local channel. The fetch
// holds the answer it read; nothing else keeps a copy.

#include <string>

#include "base/StopFlag.h"
#include "channel/LocalChannel.h"

class UpgradeListFetch {
public:
    // Creates the connection's socket; see HasSocket.
    // With a `launched` process id, only a list from a listener that process
    // owns is used (another session's Marlowcast may hold the port).
    explicit UpgradeListFetch(const StopFlag& running, DWORD launched = 0);

    // False when no socket could be created: nothing can be asked, and the
    // caller leaves everything as it was.
    bool HasSocket() const { return m_socket.IsValid(); }

    // Connects, sends the upgrade-list request and gathers the answer until
    // Marlowcast closes the connection (or a limit of the channel ends the
    // exchange), then closes. Blocks the calling thread for all of that.
    // True when the answer is usable: it fits the 5120-byte buffer with its
    // terminator and is longer than 16 bytes up to its first zero byte.
    bool Run();

    // The answer as a zero-terminated text (what Run gathered; empty before).
    const char* Text() const { return m_text.c_str(); }

private:
    const StopFlag& m_running;
    const DWORD m_launched;
    CLocalSocket m_socket;
    std::string m_text;
};
