#include "UibScan.h"

#include <cstring>

#include <zlib.h>

namespace uib {
namespace {

// Fills the field's bytes from the lowest upward with what the file holds,
// leaving the rest at |initial|; a short header is read this way on purpose.
std::uint32_t ReadField(std::FILE* source, std::uint32_t initial, std::uint64_t* consumed) {
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(initial >> (8 * i));
    *consumed += std::fread(bytes, 1, 4, source);
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool Fail(ScanResult* result, Fault fault, std::uint64_t offset) {
    result->fault = fault;
    result->offset = offset;
    return false;
}

}  // namespace

const char* FaultText(Fault fault) {
    switch (fault) {
        case Fault::kNone: return "no fault";
        case Fault::kOpenSource: return "package cannot be opened";
        case Fault::kMagic: return "magic is not \"UMIB\"";
        case Fault::kTotalTooSmall: return "Total is below 4";
        case Fault::kBlockSizeRange: return "Block size is outside 6 to 32768";
        case Fault::kOpenTarget: return "output cannot be created";
        case Fault::kNoMemory: return "out of memory";
        case Fault::kZeroLength: return "block length is 0";
        case Fault::kLengthAboveBlockSize: return "block length is above Block size";
        case Fault::kBlockCutShort: return "block data is cut short by the end of the file";
        case Fault::kBadStream: return "block data is not a valid zlib stream";
        case Fault::kPieceTooLarge: return "block inflates to more than 16384 bytes";
        case Fault::kReadFailed: return "package cannot be read";
        case Fault::kWriteFailed: return "output cannot be written";
        case Fault::kTotalMismatch: return "Total does not match the blocks";
        case Fault::kReplaceFailed: return "output cannot be replaced";
    }
    return "unknown fault";
}

bool ReadHeader(std::FILE* source, ScanResult* result) {
    unsigned char magic[sizeof kMagic] = {};
    result->package_size = std::fread(magic, 1, sizeof magic, source);
    for (std::uint64_t i = 0; i < sizeof magic; ++i) {
        if (magic[i] != kMagic[i]) return Fail(result, Fault::kMagic, i);
    }
    Header& header = result->header;
    header.total = ReadField(source, 0, &result->package_size);
    if (header.total < kMinTotal) return Fail(result, Fault::kTotalTooSmall, 4);
    header.block_size = ReadField(source, kDefaultBlockSize, &result->package_size);
    if (header.block_size - kMinBlockSize > kMaxBlockSize - kMinBlockSize) {
        return Fail(result, Fault::kBlockSizeRange, 8);
    }
    return true;
}

bool ReadBlocks(std::FILE* source, unsigned char* input, unsigned char* output, BlockSink sink, void* context,
                ScanResult* result, BlockPlace place) {
    for (;;) {
        const std::uint64_t at = result->package_size;
        unsigned char field[4];
        const std::size_t got = std::fread(field, 1, sizeof field, source);
        result->package_size += got;
        if (got < sizeof field) {
            // Up to three stray bytes after the last block are not a block; the
            // count decides alone.
            result->ignored_tail = static_cast<std::uint32_t>(got);
            break;
        }
        const std::uint32_t length = static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
                                     static_cast<std::uint32_t>(field[2]) << 16 |
                                     static_cast<std::uint32_t>(field[3]) << 24;
        if (length == 0) return Fail(result, Fault::kZeroLength, at);
        if (length > result->header.block_size) return Fail(result, Fault::kLengthAboveBlockSize, at);
        const std::size_t data = std::fread(input, 1, length, source);
        result->package_size += data;
        if (data < length) {
            return Fail(result, std::ferror(source) ? Fault::kReadFailed : Fault::kBlockCutShort, at);
        }
        result->count += 4 + static_cast<std::uint64_t>(length);
        result->compressed += length;

        unsigned char* into = place ? place(context) : output;
        if (!into) return Fail(result, Fault::kWriteFailed, at);
        uLongf produced = kMaxPiece;
        const int status = uncompress(into, &produced, input, length);
        if (status != Z_OK) {
            result->zlib_status = status;
            const Fault fault = status == Z_BUF_ERROR   ? Fault::kPieceTooLarge
                                : status == Z_MEM_ERROR ? Fault::kNoMemory
                                                        : Fault::kBadStream;
            return Fail(result, fault, at);
        }
        if (produced != 0 && !sink(context, into, produced)) {
            return Fail(result, Fault::kWriteFailed, at);
        }
        result->decoded += produced;
        ++result->blocks;
    }
    // A read error looks like the end of the file to fread; it must not pass
    // for one.
    if (std::ferror(source)) return Fail(result, Fault::kReadFailed, result->package_size);
    if (result->count != result->header.total) return Fail(result, Fault::kTotalMismatch, 4);
    return true;
}

}  // namespace uib
