#pragma once
// What keeps a trickling server from holding an upgrade for days. Marlowcast
// has exited for the upgrade and stays down until it ends, and WinINet's
// time-outs only end a silence: a server that sends a byte every 14 s is
// never silent for 15 s. So each download must keep a pace, and the signed
// manifest and its signature have a time limit of their own.

#include <cstdint>

// Every download fails once kPaceBytes have taken longer than kPaceWindowMs
// to arrive: counted from the request (the answer's header included), then
// from each moment another kPaceBytes were in. A slow link (a few hundred
// bytes a second) keeps the pace; a trickle does not.
constexpr std::uint64_t kPaceBytes = 16 * 1024;
constexpr std::uint64_t kPaceWindowMs = 60 * 1000;
// The manifest and its signature, both downloads together.
constexpr std::uint64_t kManifestTimeMs = 60 * 1000;

class ArrivalPace {
public:
    // `startMs`: when the request was made, on the caller's clock.
    explicit ArrivalPace(std::uint64_t startMs) : m_markMs(startMs) {}

    // `received`: the answer's bytes in all by `nowMs`. False once the pace
    // is lost; it stays lost.
    bool Keeps(std::uint64_t nowMs, std::uint64_t received);

private:
    std::uint64_t m_markMs;
    std::uint64_t m_markBytes = 0;
    bool m_lost = false;
};
