#include "upgrade/BlockFinder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace {

constexpr std::size_t kChunk = 1 << 20;

// A bit per value of a hash of the rolling sum: most offsets of a file
// match no piece, and one bit test tells so.
class SumFilter {
public:
    void Set(std::uint32_t weak) { m_bits[Slot(weak) / 64] |= 1ull << (Slot(weak) % 64); }
    bool Test(std::uint32_t weak) const { return (m_bits[Slot(weak) / 64] >> (Slot(weak) % 64)) & 1; }

private:
    static std::uint32_t Slot(std::uint32_t weak) { return (weak ^ (weak >> 20)) & ((1u << 20) - 1); }
    std::vector<std::uint64_t> m_bits = std::vector<std::uint64_t>((1u << 20) / 64);
};

// The length most pieces decode to (the longer on a tie): the window that
// is rolled over the installed file.
std::uint64_t CommonLength(const BlockMap& map) {
    std::map<std::uint64_t, std::size_t> counts;
    for (const MapPiece& piece : map.pieces) {
        if (piece.decodedLength > 0) ++counts[piece.decodedLength];
    }
    std::uint64_t best = 0;
    std::size_t most = 0;
    for (const auto& [length, count] : counts) {
        if (count >= most) best = length, most = count;
    }
    return best;
}

}  // namespace

bool FindPieces(const BlockMap& map, std::uint64_t installedSize, const ReadAt& read,
                std::vector<std::uint64_t>* found) {
    found->assign(map.pieces.size(), kNowhere);
    const std::uint64_t window = CommonLength(map);
    std::vector<std::pair<std::uint32_t, std::size_t>> index;  // rolling sum, piece
    SumFilter filter;
    for (std::size_t i = 0; i < map.pieces.size(); ++i) {
        const MapPiece& piece = map.pieces[i];
        if (piece.decodedLength == 0) {
            (*found)[i] = 0;  // nothing to find
        } else if (piece.decodedLength == window) {
            index.emplace_back(piece.weak, i);
            filter.Set(piece.weak);
        }
    }
    std::sort(index.begin(), index.end());
    std::size_t missing = index.size();

    // The installed file's bytes [start, end) are in `buffer`; the window
    // [at, at + window) and the byte after it must be.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(window) + kChunk);
    std::uint64_t start = 0, end = 0;
    const auto hold = [&](std::uint64_t from, std::uint64_t to) {
        if (to <= end && from >= start) return true;
        const std::size_t kept = from < end && from >= start ? static_cast<std::size_t>(end - from) : 0;
        if (kept > 0) std::memmove(buffer.data(), buffer.data() + (from - start), kept);
        start = from;
        end = from + kept;
        const std::uint64_t more = std::min<std::uint64_t>(buffer.size() - kept, installedSize - end);
        if (!read(end, buffer.data() + kept, static_cast<std::size_t>(more))) return false;
        end += more;
        return to <= end;
    };

    RollingSum sum(window);
    bool fresh = true;
    for (std::uint64_t at = 0; missing > 0 && at + window <= installedSize;) {
        const bool last = at + window == installedSize;
        if (at + window + (last ? 0 : 1) > end && !hold(at, at + window + (last ? 0 : 1))) return false;
        const unsigned char* bytes = buffer.data() + (at - start);
        if (fresh) sum.Start(bytes, static_cast<std::size_t>(window)), fresh = false;
        const std::uint32_t weak = sum.Value();
        if (filter.Test(weak)) {
            auto range = std::equal_range(index.begin(), index.end(), std::make_pair(weak, std::size_t{0}),
                                          [](const auto& a, const auto& b) { return a.first < b.first; });
            bool matched = false;
            if (std::any_of(range.first, range.second, [&](const auto& c) { return (*found)[c.second] == kNowhere; })) {
                const Sha256Digest digest = Sha256::Of(bytes, static_cast<std::size_t>(window));
                for (auto c = range.first; c != range.second; ++c) {
                    if ((*found)[c->second] == kNowhere && map.pieces[c->second].decodedSha256 == digest) {
                        (*found)[c->second] = at;
                        --missing;
                        matched = true;
                    }
                }
            }
            if (matched) {
                at += window;
                fresh = true;
                continue;
            }
        }
        if (last) break;
        sum.Roll(bytes[0], bytes[window]);
        ++at;
    }

    // The other lengths: where nothing moved, and as far from the end.
    for (std::size_t i = 0; i < map.pieces.size(); ++i) {
        const MapPiece& piece = map.pieces[i];
        if ((*found)[i] != kNowhere || piece.decodedLength == window) continue;
        const std::uint64_t fromEnd = map.decodedSize - piece.decodedOffset;
        std::vector<std::uint64_t> candidates{piece.decodedOffset};
        if (fromEnd <= installedSize) candidates.push_back(installedSize - fromEnd);
        for (std::uint64_t candidate : candidates) {
            if (candidate + piece.decodedLength > installedSize) continue;
            Sha256 sha;
            for (std::uint64_t done = 0; done < piece.decodedLength;) {
                const std::uint64_t step = std::min<std::uint64_t>(buffer.size(), piece.decodedLength - done);
                if (!read(candidate + done, buffer.data(), static_cast<std::size_t>(step))) return false;
                sha.Add(buffer.data(), static_cast<std::size_t>(step));
                done += step;
            }
            start = end = 0;  // the buffer no longer holds the scan's bytes
            if (sha.Finish() == piece.decodedSha256) {
                (*found)[i] = candidate;
                break;
            }
        }
    }
    return true;
}
