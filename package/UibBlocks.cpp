#include "UibBlocks.h"

#include <zlib.h>

#include <algorithm>

namespace uib {

void BlockReader::Start(bool header) {
    m_skip = header ? kHeaderSize : 0;
    m_block.clear();
    m_length = 0;
    m_failed = false;
}

bool BlockReader::Add(const unsigned char* data, std::size_t size) {
    const std::size_t skipped = std::min(m_skip, size);
    m_skip -= skipped, data += skipped, size -= skipped;
    while (size > 0 && !m_failed) {
        const std::size_t want = (m_length == 0 ? 4 : 4 + m_length) - m_block.size();
        const std::size_t take = std::min(want, size);
        m_block.insert(m_block.end(), data, data + take);
        data += take, size -= take;
        if (m_length == 0) {
            if (m_block.size() < 4) continue;
            m_length = static_cast<std::uint32_t>(m_block[0]) | static_cast<std::uint32_t>(m_block[1]) << 8 |
                       static_cast<std::uint32_t>(m_block[2]) << 16 | static_cast<std::uint32_t>(m_block[3]) << 24;
            m_failed = m_length == 0 || m_length > kMaxBlockSize;
            continue;
        }
        if (m_block.size() < 4 + static_cast<std::size_t>(m_length)) continue;
        unsigned char piece[kMaxPiece];
        uLongf produced = kMaxPiece;
        m_failed = uncompress(piece, &produced, m_block.data() + 4, m_length) != Z_OK ||
                   (produced > 0 && !m_output(m_context, piece, produced));
        m_block.clear();
        m_length = 0;
    }
    return !m_failed;
}

}  // namespace uib
