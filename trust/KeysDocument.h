#pragma once
// The keys document: which release keys may sign manifests, signed by the
// root key that each build of Quillstone carries. The root key stays offline
// and signs only this small document; the release keys sign the manifests,
// and replacing a leaked or lost one takes a new keys document with a higher
// version, never a new build. No Win32 here: Quillstone reads it, the
// publisher's tool writes and checks it, both by this one reading.
//
//   Quillstone-Keys: 2
//   Version: 3
//   Signed: 2026-12-08T14:00:00Z
//   Expires: 2027-12-08T14:00:00Z
//   Threshold: 2
//   Key: <128 lower-case hex digits>
//   ...
//
// Every line ends in '\n', the last one too. VERSION is decimal, SIGNED
// (when it was signed) and EXPIRES times in UTC (trust/SignedText.h), each KEY an ECDSA P-256 public key as
// its X and Y, 32 bytes each. THRESHOLD is how many of these keys, each
// another, must have signed a manifest: 1 to the number of keys, so that
// one stolen release key alone signs nothing when it is more. One to four
// keys, none twice; nothing else may
// appear: no other line, no blank line, no '\r'.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The largest keys document read: four keys and the rest, with room to spare.
constexpr std::size_t kKeysLimit = 1024;
constexpr std::size_t kMostReleaseKeys = 4;

constexpr char kKeysName[] = "Quillstone.keys";
constexpr char kKeysSignatureName[] = "Quillstone.keys.sig";

using PublicKey = std::array<unsigned char, 64>;  // X and Y

struct KeysDocument {
    std::uint64_t version = 0;
    std::int64_t signedAt = 0;  // seconds since 1970 (UTC)
    std::int64_t expires = 0;
    std::vector<PublicKey> keys;
    std::uint64_t threshold = 1;
};

// False, with `keys` untouched, for anything that is not exactly a keys
// document as above, or longer than kKeysLimit.
bool ParseKeysDocument(const std::string& text, KeysDocument* keys);

// The text of a keys document; ParseKeysDocument reads it back as it was.
std::string FormatKeysDocument(const KeysDocument& keys);
