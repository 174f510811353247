#pragma once
// Checking a downloaded release against the manifest its publisher signed,
// with Windows' own cryptography (CNG): the signature is ECDSA P-256 over
// SHA-256 of the manifest's bytes, as r and s of 32 bytes each.

#include <cstdint>
#include <string>
#include <vector>

// A file as the upgrade downloaded it.
struct DownloadedFile {
    std::string name;   // its name part as the server serves it (ANSI)
    std::wstring path;  // the downloaded copy
};

enum class ReleaseVerdict {
    kAccepted,
    kBadSignature,   // not signed by the publisher's key, or the manifest changed since
    kBadManifest,    // signed, but not a manifest
    kOlderRelease,   // older than one installed already
    kFileNotListed,  // a downloaded file the manifest does not name
    kFileDiffers,    // a downloaded file whose size or SHA-256 differs from the manifest's
};

// Checks the signature over the manifest with the publisher's public key
// (X and Y, 32 bytes each), reads the manifest, and checks every downloaded
// file against it. `installed` is the highest release installed so far: an
// older release is refused, the same one accepted (a repair). On kAccepted,
// `release` is the manifest's release.
ReleaseVerdict CheckRelease(const std::string& manifest, const std::string& signature, const unsigned char* publicKey,
                            const std::vector<DownloadedFile>& files, std::uint64_t installed, std::uint64_t* release);

// The highest release installed so far, kept under the user's key of the
// application (`key`, under HKEY_CURRENT_USER); 0 when none was recorded.
std::uint64_t InstalledRelease(const std::wstring& key);
bool RecordInstalledRelease(const std::wstring& key, std::uint64_t release);
