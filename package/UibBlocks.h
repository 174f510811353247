// Decodes the blocks of a part of a package as its bytes arrive: a download
// that fetches some pieces of a package (runs of whole blocks) decodes each
// as it comes, without the rest of the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "UibFormat.h"

namespace uib {

class BlockReader {
public:
    // Receives each block's decoded bytes in order; false stops the reader.
    using Output = bool (*)(void* context, const unsigned char* data, std::size_t size);

    BlockReader(Output output, void* context) : m_output(output), m_context(context) {}

    // The bytes that follow start a run of whole blocks; `header`: the run is
    // the package's start, and its 12 header bytes come first.
    void Start(bool header);
    // Takes the run's next bytes. False once a block is malformed (a Length
    // of 0 or above kMaxBlockSize, data that does not inflate to at most
    // kMaxPiece bytes) or the output refused: the reader then takes nothing
    // more until Start. Up to three bytes after the last block are not one.
    bool Add(const unsigned char* data, std::size_t size);

private:
    Output m_output;
    void* m_context;
    std::size_t m_skip = 0;  // header bytes still to pass over
    std::vector<unsigned char> m_block;
    std::uint32_t m_length = 0;  // of the block being gathered, once its field is in
    bool m_failed = false;
};

}  // namespace uib
