#pragma once
// The manifest a publisher signs for a release: which files the release
// holds, where each one goes, with their sizes and SHA-256, the release's
// number and when the manifest expires. No Win32 here: Quillstone reads it,
// the publisher's tool writes and checks it, and both go by this one reading
// of it.
//
//   Quillstone-Manifest: 4
//   Release: 42
//   Keys-Version: 3
//   Signed: 2026-12-08T14:00:00Z
//   Expires: 2027-03-08T14:00:00Z
//   File: Marlowcast.exe 1234567 <64 lower-case hex digits> 1236 <64 hex digits>
//   Package: skins\skin.dat.uib 5120 <64 hex digits> 16384 <64 hex digits> 112 <64 hex digits>
//   ...
//
// Every line ends in '\n', the last one too. ENTRY is the entry as the
// upgrade list names it, folders included (1 to 64 bytes of printable ASCII,
// spaces too: what a list carries, and the same file under every ANSI code
// page), so that where a file goes is signed too, not only what it holds.
// An entry ending in ".uib" is a package and has a Package line, which adds
// what decoding it gives: its size and SHA-256; every other entry has a File
// line. Each line ends with the size and SHA-256 of the file's block map
// (trust/BlockMap.h), at most BlockMapLimit of the file's size. KEYS-VERSION
// is the version of the keys document whose release keys signed it: served
// with any other, it is refused, so that an old manifest cannot be passed
// off under a newer keys document that kept its key. SIZE is decimal,
// SIGNED (when it was signed) and EXPIRES times in UTC (trust/SignedText.h).
// Nothing else may appear: no other line, no blank line, no '\r', no entry
// twice.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The largest manifest read, and the size of a signature: ECDSA P-256 over
// SHA-256 of the document's bytes, as r and s of 32 bytes each.
constexpr std::size_t kManifestLimit = 64 * 1024;
constexpr std::size_t kSignatureSize = 64;
// Quillstone.manifest.sig holds one signature for each release key that
// signed it, one after the other.
constexpr std::size_t kMostSignatures = 4;
constexpr std::size_t kSignaturesLimit = kMostSignatures * kSignatureSize;

constexpr char kManifestName[] = "Quillstone.manifest";
constexpr char kSignatureName[] = "Quillstone.manifest.sig";

struct ManifestFile {
    std::string entry;  // as the list names it: "skins\skin.dat.uib"
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    // A package's decoded content: what decoding may write at most, and its
    // SHA-256 (0 and empty for a file that is copied as it is).
    std::uint64_t decodedSize = 0;
    std::string decodedSha256;
    // Its block map, served beside it (BlockMapName): its size and SHA-256.
    std::uint64_t mapSize = 0;
    std::string mapSha256;
};

struct Manifest {
    std::uint64_t release = 0;
    std::uint64_t keysVersion = 0;
    std::int64_t signedAt = 0;  // seconds since 1970 (UTC)
    std::int64_t expires = 0;
    std::vector<ManifestFile> files;
};

// Whether an entry is a package, decoded when installed: it ends in ".uib",
// in that letter case, as the upgrade decides it.
bool IsPackageEntry(const std::string& entry);

// Why `entry` cannot be signed (a sentence that follows the entry: "is
// longer than ..."), or null when it can.
const char* EntryFault(const std::string& entry);

// False, with `manifest` untouched, for anything that is not exactly a
// manifest as above, or longer than kManifestLimit.
bool ParseManifest(const std::string& text, Manifest* manifest);

// The text of a manifest; ParseManifest reads it back as it was.
std::string FormatManifest(const Manifest& manifest);

// Where the block map of an entry is served: its name part and ".blockmap".
std::string BlockMapName(const std::string& entry);

// The file the manifest lists for that entry (the whole entry, folders
// included, byte for byte), or null.
const ManifestFile* FindInManifest(const Manifest& manifest, const std::string& entry);
