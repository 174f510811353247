#pragma once
// The manifest a publisher signs for a release: which files the release
// holds, with their sizes and SHA-256, and the release's number. No Win32
// here: Quillstone reads it, the publisher's tool writes and checks it, and
// both go by this one reading of it.
//
//   Quillstone-Manifest: 1
//   Release: 42
//   File: Marlowcast.exe 1234567 <64 lower-case hex digits>
//   ...
//
// Every line ends in '\n', the last one too. A file's NAME is the entry's
// name part as the server serves it (bytes of the ANSI code page; it may
// hold spaces, never a control byte); SIZE is decimal. Nothing else may
// appear: no other line, no blank line, no '\r', no name twice.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The largest manifest read, and the size of a signature: ECDSA P-256 over
// SHA-256 of the manifest's bytes, as r and s of 32 bytes each.
constexpr std::size_t kManifestLimit = 64 * 1024;
constexpr std::size_t kSignatureSize = 64;

constexpr char kManifestName[] = "Quillstone.manifest";
constexpr char kSignatureName[] = "Quillstone.manifest.sig";

struct ManifestFile {
    std::string name;
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    // A package's decoded content: what decoding may write at most, and its
    // SHA-256 (0 and empty for a file that is copied as it is).
    std::uint64_t decodedSize = 0;
    std::string decodedSha256;
};

struct Manifest {
    std::uint64_t release = 0;
    std::vector<ManifestFile> files;
};

// False, with `manifest` untouched, for anything that is not exactly a
// manifest as above, or longer than kManifestLimit.
bool ParseManifest(const std::string& text, Manifest* manifest);

// The text of a manifest; ParseManifest reads it back as it was.
std::string FormatManifest(const Manifest& manifest);

// The file in the manifest with that name, or null.
const ManifestFile* FindInManifest(const Manifest& manifest, const std::string& name);
