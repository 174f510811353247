// The walk over a package shared by DecodeUibPackage and CheckUibPackage, so
// that the checker accepts exactly what the decoder accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "UibFormat.h"

namespace uib {

// The first rule a package (or the attempt to decode it) breaks.
enum class Fault {
    kNone,
    kOpenSource,
    kMagic,
    kTotalTooSmall,
    kBlockSizeRange,
    kOpenTarget,
    kNoMemory,
    kZeroLength,
    kLengthAboveBlockSize,
    kBlockCutShort,
    kBadStream,
    kPieceTooLarge,
    kReadFailed,
    kWriteFailed,
    kTotalMismatch,
    kReplaceFailed,
};

// One line naming the broken rule, e.g. "block length is 0".
const char* FaultText(Fault fault);

struct Header {
    std::uint32_t total = 0;
    std::uint32_t block_size = kDefaultBlockSize;
};

struct ScanResult {
    Fault fault = Fault::kNone;
    std::uint64_t offset = 0;  // where the broken field or block starts
    int zlib_status = 0;       // uncompress's result for kBadStream/kPieceTooLarge/kNoMemory
    Header header;
    std::uint32_t blocks = 0;
    // Kept wider than Total so that a file past 4 GiB cannot match it by
    // wrapping around.
    std::uint64_t count = 4;
    std::uint64_t compressed = 0;  // sum of all Lengths
    std::uint64_t decoded = 0;
    std::uint64_t package_size = 0;  // bytes consumed from the source
    std::uint32_t ignored_tail = 0;  // 1 to 3 bytes after the last block
};

// Receives each block's decoded bytes in order; false stops the walk.
using BlockSink = bool (*)(void* context, const unsigned char* data, std::size_t size);
// Where the next block is to inflate (kMaxPiece bytes of room), so that a
// sink that gathers blocks can have them decoded in place instead of copied;
// null stops the walk as a failed write.
using BlockPlace = unsigned char* (*)(void* context);

// Reads Magic, Total and Block size from the start of |source|. A field that
// the file does not hold completely keeps its initial value in the bytes it
// lacks (magic zero, Total 0, Block size 16384). Returns false with
// result->fault set when the header is unacceptable.
bool ReadHeader(std::FILE* source, ScanResult* result);

// Walks the blocks after an accepted header: |input| holds Block size bytes,
// |output| kOutputBufferSize bytes (or null, and |place| says where each
// block goes). Returns true when every block inflated, the sink took it and
// the count matched Total.
bool ReadBlocks(std::FILE* source, unsigned char* input, unsigned char* output, BlockSink sink, void* context,
                ScanResult* result, BlockPlace place = nullptr);

}  // namespace uib
