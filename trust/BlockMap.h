#pragma once
// The block map of a signed file: what the file is made of, piece by piece,
// so that a download can check each piece as it arrives, keep the checked
// ones when it is cut, and take the pieces that the installed file holds
// already instead of fetching them. The publisher's tool writes it beside
// the file; the manifest signs it by its size and SHA-256. No Win32 here.
//
// A plain file is cut into pieces of 64 KiB, the last one shorter. A .uib
// package is cut after whole blocks of its own, after the block with which a
// piece decodes to at least `pieceSize` bytes (the last piece may decode to
// less): the first piece starts with the package's header, the last ends
// with the file, so the pieces cover the package and what they decode to
// covers the decoded file. A package's pieces are fetched from the package
// and decoded; a plain file's are what they decode to.
//
// Each piece has its SHA-256 as served, and of what it decodes to a rolling
// sum and a SHA-256 (a plain file's are the same bytes): the rolling sum
// finds candidates in the installed file at any offset, the SHA-256 decides.
//
// Binary, little-endian: "QSBLOCKS", a version byte (1), a kind byte (0 a
// plain file, 1 a package), two zero bytes, pieceSize (u32), the file's size
// and its decoded size (u64 each), the number of pieces (u32); then per
// piece, for a plain file its rolling sum (u32) and SHA-256 (32 bytes); for
// a package its length (u32), its decoded length (u32), its SHA-256, the
// rolling sum and the SHA-256 of what it decodes to.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "trust/Sha256.h"

// A plain file's pieces, and the least a package's pieces decode to.
constexpr std::uint32_t kPieceSize = 64 * 1024;
// What a package's pieces may decode to at least, however compressible: the
// scan of an installed file holds one piece in memory.
constexpr std::uint32_t kLargestPieceSize = 8u << 20;

struct MapPiece {
    std::uint64_t offset = 0;  // in the file as served
    std::uint64_t length = 0;
    Sha256Digest sha256{};
    std::uint64_t decodedOffset = 0;  // in what the file installs as
    std::uint64_t decodedLength = 0;
    std::uint32_t weak = 0;  // RollingSum of the decoded bytes
    Sha256Digest decodedSha256{};
};

struct BlockMap {
    bool package = false;
    std::uint32_t pieceSize = kPieceSize;
    std::uint64_t size = 0;
    std::uint64_t decodedSize = 0;
    std::vector<MapPiece> pieces;
};

// The largest map of a file of `size` bytes: 1 % of it and 4 KiB.
inline std::uint64_t BlockMapLimit(std::uint64_t size) { return size / 100 + 4096; }

// The map of the file read from `file` (at its start, to its end): a
// package's when `package`. False for a read error, or a package that does
// not decode.
bool MakeBlockMap(std::FILE* file, bool package, BlockMap* map);

// The map's bytes; ParseBlockMap reads them back as they were.
std::string FormatBlockMap(const BlockMap& map);

// False, with `map` untouched, for anything that is not exactly a map as
// above whose pieces cover a file of `size` bytes that decodes to
// `decodedSize` (a plain file: the same), or that is longer than
// BlockMapLimit(size).
bool ParseBlockMap(const std::string& bytes, std::uint64_t size, std::uint64_t decodedSize, BlockMap* map);

// Rolling sum of a window of bytes (the one rsync made known): two 16-bit
// sums, the bytes and the bytes weighted by their distance from the
// window's end, so that moving the window by one byte costs three additions.
class RollingSum {
public:
    explicit RollingSum(std::uint64_t window) : m_window(static_cast<std::uint32_t>(window)) {}
    void Start(const unsigned char* bytes, std::size_t size) {
        m_a = m_b = 0;
        Add(bytes, size);
    }
    // Continues a sum started over fewer bytes than the window.
    void Add(const unsigned char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            m_a += bytes[i];
            m_b += m_a;
        }
    }
    void Roll(unsigned char out, unsigned char in) {
        m_a += in - static_cast<std::uint32_t>(out);
        m_b += m_a - m_window * out;
    }
    std::uint32_t Value() const { return (m_a & 0xFFFF) | (m_b << 16); }

private:
    std::uint32_t m_window;
    std::uint32_t m_a = 0;
    std::uint32_t m_b = 0;
};
