#pragma once
// Checking a release against what its publisher signed, with Windows' own
// cryptography (CNG): the keys document against the root key the build
// carries, the manifest against the keys document's release keys. Each
// signature is ECDSA P-256 over SHA-256 of the document's bytes, as r and s
// of 32 bytes each.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "install/ReleaseRecord.h"
#include "trust/KeysDocument.h"
#include "trust/Manifest.h"

// What the checks before any download decide, in the order they are made.
enum class ReleaseVerdict {
    kAccepted,
    kBadKeysSignature,   // the keys document is not signed by the root key, or changed since
    kBadKeys,            // signed by the root key, but not a keys document
    kOlderKeys,          // a lower keys version than one accepted already
    kExpiredKeys,        // more than the grace past its expiry
    kBadSignature,       // the manifest is not signed by a release key of the keys document, or changed since
    kTooFewSignatures,   // signed by fewer distinct release keys than the keys document's threshold
    kBadManifest,        // signed, but not a manifest
    kOtherKeysVersion,   // signed for another keys version than the keys document served
    kExpiredManifest,    // more than the grace past its expiry
    kOlderRelease,       // older than one installed already under this keys version
    kRolledBackRelease,  // at or below a release rolled back under this keys version
};

// Checks the keys document's signature with the root key (X and Y, 32 bytes
// each), reads it, and refuses a version lower than `acceptedVersion`, the
// highest accepted so far (the same one is accepted), and a document that
// expired more than the grace before `now` (seconds since 1970, UTC). The
// document is read whenever its signature is good, so that a refusal can
// name its version or its expiry.
ReleaseVerdict CheckKeys(const std::string& text, const std::string& signature, const unsigned char* rootKey,
                         std::uint64_t acceptedVersion, std::int64_t now, KeysDocument* keys);

// Checks the manifest's signatures (`signature` holds one or more, 64 bytes
// each) with the release keys of `keys`: at least its threshold of distinct
// listed keys must have signed it. Then reads it, and refuses a manifest signed for another keys version
// than `keys`, one that expired more than the grace before `now`, a release older than `record.installed` (the same one
// is accepted: a repair) and one at or below `record.rolledBack`. The
// manifest is read whenever its signature is good, so that a refusal can
// name its release or its expiry.
ReleaseVerdict CheckManifest(const std::string& text, const std::string& signature, const KeysDocument& keys,
                             const ReleaseRecord& record, std::int64_t now, Manifest* manifest);

// The fingerprint that the release records of a root key (X and Y, 32 bytes
// each) are kept under: the first 16 hex digits of its SHA-256. Empty when
// the cryptography cannot be had.
std::string RootFingerprint(const unsigned char* rootKey);

// The machine's clock in UTC, in seconds since 1970 (GetSystemTimeAsFileTime).
std::int64_t SystemUtcNow();

// Whether the bytes read through `file` (open for reading, at its start) to
// its end have the size and SHA-256 that `listed` gives. Reads at most one
// block past the listed size. A mismatch is logged with both figures.
bool MatchesManifest(HANDLE file, const ManifestFile& listed);

// The name of an unsigned release (ReleaseRecord.h): "files " and the SHA-256
// of each file's target, size and SHA-256, in the order of their targets, so
// that the same files make the same name in any order of the list. Each file
// is read through its handle from its start. False when one cannot be read.
bool NameFilesRelease(std::vector<std::pair<std::string, HANDLE>> files, std::string* name);
