#pragma once
// SHA-256 without the platform's cryptography: the block maps are made by
// the publisher's tool and checked by Quillstone block by block, hundreds of
// times per file, on both sides by this one implementation. It uses the
// processor's SHA instructions where it has them (a block map's scan of an
// installed file hashes every block it finds there).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
public:
    Sha256() { Reset(); }
    void Reset();
    void Add(const void* data, std::size_t size);
    // The digest of everything added since the last Reset; starts over.
    Sha256Digest Finish();

    static Sha256Digest Of(const void* data, std::size_t size);

    // For tests: the two ways of compressing whole 64-byte blocks into the
    // state, so that both can be checked on a machine that has the
    // instructions. ShaInstructions() is false where the processor lacks them.
    static void CompressPortable(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);
    static bool ShaInstructions();
    static void CompressWithInstructions(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);

private:
    std::uint32_t m_state[8];
    std::uint64_t m_length;
    unsigned char m_buffer[64];
    std::size_t m_buffered;
};

// 64 lower-case hex digits.
std::string ToHex(const Sha256Digest& digest);
