// Layout constants of the .uib package format, shared by the decoder, the
// checker and the writer.
#pragma once

#include <cstdint>

namespace uib {

// "UMIB", stored without a terminator.
inline constexpr unsigned char kMagic[4] = {0x55, 0x4D, 0x49, 0x42};

// Magic, Total and Block size, each four bytes.
inline constexpr std::uint32_t kHeaderSize = 12;

// Total counts the Block size field plus every block, so it is never below 4.
inline constexpr std::uint32_t kMinTotal = 4;

// Block size bounds the compressed length of one block and sizes the
// decoder's input buffer; 16384 applies when the field is missing.
inline constexpr std::uint32_t kMinBlockSize = 6;
inline constexpr std::uint32_t kMaxBlockSize = 32768;
inline constexpr std::uint32_t kDefaultBlockSize = 16384;

// Every block inflates to at most this many bytes.
inline constexpr std::uint32_t kMaxPiece = 16384;

// The decoder's output buffer; only kMaxPiece of it is offered to zlib.
inline constexpr std::uint32_t kOutputBufferSize = 17408;

}  // namespace uib
