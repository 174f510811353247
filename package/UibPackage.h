// Decoder for .uib packages: a 12-byte header ("UMIB", Total, Block size)
// followed by blocks, each a little-endian Length and one zlib stream that
// inflates to at most 16384 bytes.
#pragma once

#include <cstdint>
#include <cstdio>

// Decodes the package at |source| into |target| (both narrow paths in the
// system ANSI code page). Returns 1 when every block decoded and the byte
// count matched the header's Total, otherwise 0; there is no other report.
//
// The decoded bytes go to a side file beside |target| that replaces it only
// on success, so on failure an existing target is left byte for byte as it
// was and no side file remains. The source is never changed. Synchronous,
// stateless, and memory use does not depend on the package's size.
int DecodeUibPackage(const char* source, const char* target);

namespace uib {

// What a decode may write: a package declares no decoded size, and a small
// one can inflate to hundreds of times its size. Past `limit` bytes it stops
// at once with 0. `room`, when given, is asked whether `more` bytes (4 MiB)
// can still be written before the first write and again every 4 MiB
// written; false stops the decode with 0.
struct OutputBound {
    std::uint64_t limit = UINT64_MAX;
    bool (*room)(void* context, std::uint64_t more) = nullptr;
    void* context = nullptr;
};

// Decodes the package read from |in| (at its start) into |out|; both are
// the caller's streams, opened in binary mode (their buffering is the
// caller's choice), and stay open. Returns 1 as
// DecodeUibPackage does; on 0 |out| may hold part of the data.
int DecodeUibStream(std::FILE* in, std::FILE* out, const OutputBound& bound);

}  // namespace uib
