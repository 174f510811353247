#pragma once
// Finds the pieces of a new file in the file installed before it, wherever
// they moved: a rolling sum over every offset of the installed file names
// candidates, and the SHA-256 of the candidate decides. A change in the
// middle of a file then costs the pieces it touches, an insertion at its
// start about one piece. No Win32 here.

#include <cstdint>
#include <functional>
#include <vector>

#include "trust/BlockMap.h"

// Reads exactly `size` bytes of the installed file from `offset` into
// `into`; false when it cannot.
using ReadAt = std::function<bool(std::uint64_t offset, unsigned char* into, std::size_t size)>;

constexpr std::uint64_t kNowhere = UINT64_MAX;

// For each piece of `map`, the offset in the installed file (`installedSize`
// bytes) at which it holds what the piece decodes to, or kNowhere. The
// pieces of the most common length are looked for at every offset; the
// others (the last piece, mostly) where they would be if nothing had moved,
// and as far from the end as they are in the new file. Memory stays within
// one piece and 1 MiB, whatever the file's size. False when the installed
// file cannot be read.
bool FindPieces(const BlockMap& map, std::uint64_t installedSize, const ReadAt& read,
                std::vector<std::uint64_t>* found);
