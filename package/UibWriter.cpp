#include "UibWriter.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "UibFormat.h"
#include "UibSideFile.h"

namespace uib {
namespace {

void StoreU32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Compresses piece after piece and keeps what the header needs.
class Packer {
public:
    explicit Packer(const PackOptions& options) : options_(options) {}

    PackError Validate() const {
        if (options_.level < 0 || options_.level > 9) return PackError::kBadLevel;
        if (options_.block_size != 0 && (options_.block_size < kMinBlockSize || options_.block_size > kMaxBlockSize)) {
            return PackError::kBadBlockSize;
        }
        return PackError::kNone;
    }

    // Turns one piece into |block_|: its Length field and its zlib stream.
    PackError Add(const unsigned char* piece, std::size_t size) {
        block_.clear();
        PutU32(&block_, 0);
        if (!CompressPiece(piece, size, options_.level, &block_)) return PackError::kNoMemory;
        const std::uint32_t length = static_cast<std::uint32_t>(block_.size() - 4);
        StoreU32(block_.data(), length);
        total_ += 4 + static_cast<std::uint64_t>(length);
        if (total_ > UINT32_MAX) return PackError::kTooLarge;
        if (length > result_.largest_block) result_.largest_block = length;
        ++result_.blocks;
        result_.input_size += size;
        return PackError::kNone;
    }

    const std::vector<unsigned char>& block() const { return block_; }

    // Settles Block size and Total once every block is known.
    PackError Finish(unsigned char header[kHeaderSize]) {
        std::uint32_t block_size = options_.block_size;
        if (block_size == 0) {
            block_size = result_.largest_block < kMinBlockSize ? kMinBlockSize : result_.largest_block;
        } else if (block_size < result_.largest_block) {
            return PackError::kBlockSizeTooSmall;
        }
        result_.block_size = block_size;
        result_.total = static_cast<std::uint32_t>(total_);
        std::memcpy(header, kMagic, 4);
        StoreU32(header + 4, result_.total);
        StoreU32(header + 8, block_size);
        return PackError::kNone;
    }

    PackResult Result(PackError error) const {
        PackResult result = result_;
        result.error = error;
        return result;
    }

private:
    PackOptions options_;
    PackResult result_;
    std::uint64_t total_ = 4;
    std::vector<unsigned char> block_;
};

PackResult PackStream(std::FILE* in, std::FILE* out, Packer& packer) {
    unsigned char header[kHeaderSize] = {};
    // The header is rewritten once Total and Block size are known.
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header) {
        return packer.Result(PackError::kWriteOutput);
    }
    std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kMaxPiece]);
    if (!piece) return packer.Result(PackError::kNoMemory);
    for (;;) {
        const std::size_t got = std::fread(piece.get(), 1, kMaxPiece, in);
        if (got < kMaxPiece && std::ferror(in)) return packer.Result(PackError::kReadInput);
        if (got == 0) break;
        if (PackError error = packer.Add(piece.get(), got); error != PackError::kNone) {
            return packer.Result(error);
        }
        const std::vector<unsigned char>& block = packer.block();
        if (std::fwrite(block.data(), 1, block.size(), out) != block.size()) {
            return packer.Result(PackError::kWriteOutput);
        }
        if (got < kMaxPiece) break;
    }
    if (PackError error = packer.Finish(header); error != PackError::kNone) {
        return packer.Result(error);
    }
    if (std::fseek(out, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, out) != sizeof header) {
        return packer.Result(PackError::kWriteOutput);
    }
    return packer.Result(PackError::kNone);
}

}  // namespace

const char* PackErrorText(PackError error) {
    switch (error) {
        case PackError::kNone: return "no error";
        case PackError::kBadLevel: return "compression level must be 0 to 9";
        case PackError::kBadBlockSize: return "block size must be 6 to 32768";
        case PackError::kBlockSizeTooSmall: return "block size is smaller than the largest compressed block";
        case PackError::kTooLarge: return "input is too large for one package";
        case PackError::kOpenInput: return "input cannot be opened";
        case PackError::kReadInput: return "input cannot be read";
        case PackError::kCreateOutput: return "output cannot be created";
        case PackError::kWriteOutput: return "output cannot be written";
        case PackError::kNoMemory: return "out of memory";
    }
    return "unknown error";
}

void PutU32(std::vector<unsigned char>* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

bool CompressPiece(const void* data, std::size_t size, int level, std::vector<unsigned char>* out) {
    const std::size_t start = out->size();
    uLongf length = compressBound(static_cast<uLong>(size));
    out->resize(start + length);
    const int status =
        compress2(out->data() + start, &length, static_cast<const Bytef*>(data), static_cast<uLong>(size), level);
    out->resize(status == Z_OK ? start + length : start);
    return status == Z_OK;
}

PackResult PackUib(const void* data, std::size_t size, const PackOptions& options,
                   std::vector<unsigned char>* package) {
    Packer packer(options);
    if (PackError error = packer.Validate(); error != PackError::kNone) return packer.Result(error);
    package->assign(kHeaderSize, 0);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t at = 0; at < size; at += kMaxPiece) {
        const std::size_t piece = size - at < kMaxPiece ? size - at : kMaxPiece;
        if (PackError error = packer.Add(bytes + at, piece); error != PackError::kNone) {
            return packer.Result(error);
        }
        package->insert(package->end(), packer.block().begin(), packer.block().end());
    }
    if (PackError error = packer.Finish(package->data()); error != PackError::kNone) {
        return packer.Result(error);
    }
    return packer.Result(PackError::kNone);
}

PackResult PackUibFile(const char* input, const char* output, const PackOptions& options) {
    Packer packer(options);
    if (PackError error = packer.Validate(); error != PackError::kNone) return packer.Result(error);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(input, "rb"), std::fclose);
    if (!in) return packer.Result(PackError::kOpenInput);
    SideFile side;
    if (!side.Create(output)) return packer.Result(PackError::kCreateOutput);
    PackResult result = PackStream(in.get(), side.file(), packer);
    if (result.error == PackError::kNone && !side.Close()) result.error = PackError::kWriteOutput;
    if (result.error == PackError::kNone && !side.MoveOver(output)) {
        result.error = PackError::kCreateOutput;
    }
    return result;
}

}  // namespace uib
