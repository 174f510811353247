#pragma once
// Windows' own cryptography (CNG) for a release: the signatures the trust
// check asks about (ECDSA P-256 over SHA-256, as r and s of 32 bytes each),
// the downloads against the manifest, and the names of releases.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "trust/Manifest.h"
#include "trust/TrustCheck.h"

// Windows' cryptography behind the trust check (trust/TrustCheck.h).
// bcrypt.dll is loaded when one of these is made and let go when it goes:
// make one for each check, as a temporary of the call that makes it.
class Cng;
class CngCrypto : public TrustCrypto {
public:
    CngCrypto();
    ~CngCrypto() override;
    CngCrypto(const CngCrypto&) = delete;
    CngCrypto& operator=(const CngCrypto&) = delete;
    bool Verify(const std::string& message, const std::string& signature, const PublicKey& key) const override;

private:
    std::unique_ptr<Cng> m_cng;
};

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
// The same for what `name` stands for: `size` bytes with that SHA-256.
bool MatchesSigned(HANDLE file, const std::string& name, std::uint64_t size, const std::string& sha256);

// The name of an unsigned release (ReleaseRecord.h): "files " and the SHA-256
// of each file's target, size and SHA-256, in the order of their targets, so
// that the same files make the same name in any order of the list. Each file
// is read through its handle from its start. False when one cannot be read.
bool NameFilesRelease(std::vector<std::pair<std::string, HANDLE>> files, std::string* name);
