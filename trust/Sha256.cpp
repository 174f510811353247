#include "trust/Sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QS_SHA_X86 1
#endif

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

#ifdef QS_SHA_X86
bool DetectInstructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}
#endif

using Compress = void (*)(std::uint32_t*, const unsigned char*, std::size_t);

Compress Chosen() {
    static const Compress chosen =
        Sha256::ShaInstructions() ? Sha256::CompressWithInstructions : Sha256::CompressPortable;
    return chosen;
}

}  // namespace

void Sha256::CompressPortable(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = static_cast<std::uint32_t>(blocks[4 * i]) << 24 |
                   static_cast<std::uint32_t>(blocks[4 * i + 1]) << 16 |
                   static_cast<std::uint32_t>(blocks[4 * i + 2]) << 8 | blocks[4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 =
                h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    }
}

#ifdef QS_SHA_X86
bool Sha256::ShaInstructions() {
    static const bool has = DetectInstructions();
    return has;
}

// The SHA extensions keep the state as ABEF and CDGH and run two rounds per
// instruction; each group of four message words is made from the four before
// it by msg1 and msg2.
__attribute__((target("sha,sse4.1,ssse3"))) void Sha256::CompressWithInstructions(std::uint32_t state[8],
                                                                                  const unsigned char* blocks,
                                                                                  std::size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
    __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
    __m128i abef = _mm_alignr_epi8(dcba, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, dcba, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i words[4];
        for (int group = 0; group < 16; ++group) {
            __m128i& w = words[group & 3];
            if (group < 4) {
                w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byteSwap);
            } else {
                const __m128i& last = words[(group - 1) & 3];
                const __m128i mixed = _mm_add_epi32(_mm_sha256msg1_epu32(w, words[(group - 3) & 3]),
                                                    _mm_alignr_epi8(last, words[(group - 2) & 3], 4));
                w = _mm_sha256msg2_epu32(mixed, last);
            }
            __m128i message = _mm_add_epi32(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}
#else
bool Sha256::ShaInstructions() { return false; }
void Sha256::CompressWithInstructions(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    CompressPortable(state, blocks, count);
}
#endif

void Sha256::Reset() {
    static constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(m_state, kInitial, sizeof m_state);
    m_length = 0;
    m_buffered = 0;
}

void Sha256::Add(const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    m_length += size;
    if (m_buffered > 0) {
        const std::size_t take = size < 64 - m_buffered ? size : 64 - m_buffered;
        std::memcpy(m_buffer + m_buffered, bytes, take);
        m_buffered += take, bytes += take, size -= take;
        if (m_buffered < 64) return;
        Chosen()(m_state, m_buffer, 1);
        m_buffered = 0;
    }
    Chosen()(m_state, bytes, size / 64);
    bytes += size / 64 * 64;
    m_buffered = size % 64;
    std::memcpy(m_buffer, bytes, m_buffered);
}

Sha256Digest Sha256::Finish() {
    const std::uint64_t bits = m_length * 8;
    static const unsigned char kPad[64] = {0x80};
    Add(kPad, 1 + (119 - m_buffered) % 64);
    unsigned char tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(tail, sizeof tail);
    Sha256Digest digest;
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<unsigned char>(m_state[i / 4] >> (24 - 8 * (i % 4)));
    Reset();
    return digest;
}

Sha256Digest Sha256::Of(const void* data, std::size_t size) {
    Sha256 hash;
    hash.Add(data, size);
    return hash.Finish();
}

std::string ToHex(const Sha256Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 0x0F];
    }
    return hex;
}
