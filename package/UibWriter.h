// Writes .uib packages: the input cut into pieces of at most 16384 bytes,
// each compressed into its own zlib stream, behind a header whose Total and
// Block size the decoder accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uib {

struct PackOptions {
    int level = 9;                 // zlib level, 0 (stored) to 9
    std::uint32_t block_size = 0;  // 0: the smallest value the blocks allow
};

enum class PackError {
    kNone,
    kBadLevel,
    kBadBlockSize,       // outside 6 to 32768
    kBlockSizeTooSmall,  // below the largest compressed block
    kTooLarge,           // Total would not fit in 32 bits
    kOpenInput,
    kReadInput,
    kCreateOutput,
    kWriteOutput,
    kNoMemory,
};

const char* PackErrorText(PackError error);

struct PackResult {
    PackError error = PackError::kNone;
    std::uint32_t blocks = 0;
    std::uint32_t block_size = 0;
    std::uint32_t total = 0;
    std::uint32_t largest_block = 0;  // the smallest Block size the data allows
    std::uint64_t input_size = 0;
};

// Packs |size| bytes from memory; |package| receives the whole file.
PackResult PackUib(const void* data, std::size_t size, const PackOptions& options, std::vector<unsigned char>* package);

// Packs the file |input| into |output| through a side file, so that on any
// error |output| is as it was before and nothing else is left behind.
PackResult PackUibFile(const char* input, const char* output, const PackOptions& options);

// One zlib stream for one piece, appended to |out|. Used by the writer and by
// tests that assemble packages by hand.
bool CompressPiece(const void* data, std::size_t size, int level, std::vector<unsigned char>* out);

// Appends |value| as four little-endian bytes.
void PutU32(std::vector<unsigned char>* out, std::uint32_t value);

}  // namespace uib
