#pragma once
// Checking a release against the manifest its publisher signed,
// with Windows' own cryptography (CNG): the signature is ECDSA P-256 over
// SHA-256 of the manifest's bytes, as r and s of 32 bytes each.

#include <windows.h>

#include <cstdint>
#include <string>

#include "upgrade/Manifest.h"

enum class ReleaseVerdict {
    kAccepted,
    kBadSignature,  // not signed by the publisher's key, or the manifest changed since
    kBadManifest,   // signed, but not a manifest
    kOlderRelease,  // older than one installed already
};

// Checks the signature over the manifest's bytes with the publisher's public
// key (X and Y, 32 bytes each), reads the manifest, and refuses a release
// older than `installed`, the highest installed so far (the same one is
// accepted: a repair). On kAccepted, `manifest` holds what it lists; on
// kOlderRelease too, so that the refusal can name the release.
ReleaseVerdict CheckManifest(const std::string& text, const std::string& signature, const unsigned char* publicKey,
                             std::uint64_t installed, Manifest* manifest);

// Whether the bytes read through `file` (open for reading, at its start) to
// its end have the size and SHA-256 that `listed` gives. Reads at most one
// block past the listed size. A mismatch is logged with both figures.
bool MatchesManifest(HANDLE file, const ManifestFile& listed);

// The highest release installed so far, kept under the user's key of the
// application (`key`, under HKEY_CURRENT_USER); 0 when none was recorded.
std::uint64_t InstalledRelease(const std::wstring& key);
// False, with the registry's error as the last error, when it cannot be kept.
bool RecordInstalledRelease(const std::wstring& key, std::uint64_t release);
