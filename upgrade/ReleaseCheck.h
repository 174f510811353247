#pragma once
// Checking a release against what its publisher signed, with Windows' own
// cryptography (CNG): the keys document against the root key the build
// carries, the manifest against the keys document's release keys. Each
// signature is ECDSA P-256 over SHA-256 of the document's bytes, as r and s
// of 32 bytes each.

#include <windows.h>

#include <cstdint>
#include <string>

#include "upgrade/KeysDocument.h"
#include "upgrade/Manifest.h"

// What the checks before any download decide, in the order they are made.
enum class ReleaseVerdict {
    kAccepted,
    kBadKeysSignature,   // the keys document is not signed by the root key, or changed since
    kBadKeys,            // signed by the root key, but not a keys document
    kOlderKeys,          // a lower keys version than one accepted already
    kExpiredKeys,        // more than the grace past its expiry
    kBadSignature,       // the manifest is not signed by a release key of the keys document, or changed since
    kBadManifest,        // signed, but not a manifest
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

// What this user's registry keeps for one keys version.
struct ReleaseRecord {
    std::uint64_t installed = 0;  // the highest release installed under it; 0 when none
    bool anyRolledBack = false;
    std::uint64_t rolledBack = 0;  // the highest release rolled back under it
};

// Checks the manifest's signature with the release keys of `keys` (any one
// of them), reads it, and refuses a manifest that expired more than the
// grace before `now`, a release older than `record.installed` (the same one
// is accepted: a repair) and one at or below `record.rolledBack`. The
// manifest is read whenever its signature is good, so that a refusal can
// name its release or its expiry.
ReleaseVerdict CheckManifest(const std::string& text, const std::string& signature, const KeysDocument& keys,
                             const ReleaseRecord& record, std::int64_t now, Manifest* manifest);

// The machine's clock in UTC, in seconds since 1970 (GetSystemTimeAsFileTime).
std::int64_t SystemUtcNow();

// Whether the bytes read through `file` (open for reading, at its start) to
// its end have the size and SHA-256 that `listed` gives. Reads at most one
// block past the listed size. A mismatch is logged with both figures.
bool MatchesManifest(HANDLE file, const ManifestFile& listed);

// The records kept under the user's key of the application (`key`, under
// HKEY_CURRENT_USER): the highest keys version accepted, and per keys
// version the highest release installed and the highest rolled back, so that
// a rotation to a newer keys version starts the release numbers over. A
// value that is absent reads as nothing recorded (0); any other failure to
// read one returns false with the registry's error as the last error: an
// unreadable record must not pass for release 0. Each record is flushed to
// disk before its function returns, so that a power cut right after cannot
// bring an older number back; false, with the registry's error as the last
// error, when it cannot be kept.
bool ReadAcceptedKeysVersion(const std::wstring& key, std::uint64_t* version);
bool RecordAcceptedKeysVersion(const std::wstring& key, std::uint64_t version);
bool ReadReleaseRecord(const std::wstring& key, std::uint64_t keysVersion, ReleaseRecord* record);
bool RecordInstalledRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release);
// Keeps the higher of `release` and what was recorded already.
bool RecordRolledBackRelease(const std::wstring& key, std::uint64_t keysVersion, std::uint64_t release);
