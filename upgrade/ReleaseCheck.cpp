#include "upgrade/ReleaseCheck.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/Handles.h"

// Windows' cryptography, loaded for one check and released after it. A
// supervisor sits in the tray all day and checks a release only now and
// then, while bcrypt.dll brings its cryptography back end into memory with
// it; a build without a publisher's key never loads it at all. Only from the
// system folder, so that no DLL of that name beside the program is taken.
class Cng {
public:
    Cng() : m_module(LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        m_loaded = m_module && Find(&OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider") &&
                   Find(&CloseAlgorithmProvider, "BCryptCloseAlgorithmProvider") &&
                   Find(&CreateHash, "BCryptCreateHash") && Find(&HashData, "BCryptHashData") &&
                   Find(&FinishHash, "BCryptFinishHash") && Find(&DestroyHash, "BCryptDestroyHash") &&
                   Find(&ImportKeyPair, "BCryptImportKeyPair") && Find(&DestroyKey, "BCryptDestroyKey") &&
                   Find(&VerifySignature, "BCryptVerifySignature");
    }
    Cng(const Cng&) = delete;
    Cng& operator=(const Cng&) = delete;
    explicit operator bool() const { return m_loaded; }

    decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider = nullptr;
    decltype(&::BCryptCreateHash) CreateHash = nullptr;
    decltype(&::BCryptHashData) HashData = nullptr;
    decltype(&::BCryptFinishHash) FinishHash = nullptr;
    decltype(&::BCryptDestroyHash) DestroyHash = nullptr;
    decltype(&::BCryptImportKeyPair) ImportKeyPair = nullptr;
    decltype(&::BCryptDestroyKey) DestroyKey = nullptr;
    decltype(&::BCryptVerifySignature) VerifySignature = nullptr;

private:
    template <typename Function>
    bool Find(Function* function, const char* name) {
        // Through void (*)(), the one function type that converts to every
        // other without a warning.
        *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(m_module.Get(), name)));
        return *function != nullptr;
    }

    ModuleHandle m_module;
    bool m_loaded = false;
};

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// Owners of CNG handles.
class Algorithm {
public:
    Algorithm(const Cng& cng, const wchar_t* id) : m_cng(cng) {
        if (!Succeeded(m_cng.OpenAlgorithmProvider(&m_h, id, nullptr, 0))) m_h = nullptr;
    }
    ~Algorithm() {
        if (m_h) m_cng.CloseAlgorithmProvider(m_h, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    const Cng& Library() const { return m_cng; }
    BCRYPT_ALG_HANDLE Get() const { return m_h; }

private:
    const Cng& m_cng;
    BCRYPT_ALG_HANDLE m_h = nullptr;
};

class Key {
public:
    explicit Key(const Cng& cng) : m_cng(cng) {}
    ~Key() {
        if (m_h) m_cng.DestroyKey(m_h);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    BCRYPT_KEY_HANDLE* Put() { return &m_h; }
    BCRYPT_KEY_HANDLE Get() const { return m_h; }

private:
    const Cng& m_cng;
    BCRYPT_KEY_HANDLE m_h = nullptr;
};

class Hash {
public:
    explicit Hash(const Algorithm& sha256) : m_cng(sha256.Library()) {
        if (!sha256.Get() || !Succeeded(m_cng.CreateHash(sha256.Get(), &m_h, nullptr, 0, nullptr, 0, 0))) m_h = nullptr;
    }
    ~Hash() {
        if (m_h) m_cng.DestroyHash(m_h);
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool Add(const void* data, ULONG size) {
        return m_h && Succeeded(m_cng.HashData(m_h, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0));
    }
    bool Finish(unsigned char (&digest)[32]) { return m_h && Succeeded(m_cng.FinishHash(m_h, digest, 32, 0)); }

private:
    const Cng& m_cng;
    BCRYPT_HASH_HANDLE m_h = nullptr;
};

bool VerifySignature(const Cng& cng, const std::string& message, const std::string& signature,
                     const unsigned char* publicKey) {
    if (signature.size() != kSignatureSize) return false;
    Algorithm sha256(cng, BCRYPT_SHA256_ALGORITHM);
    Hash hash(sha256);
    unsigned char digest[32];
    if (!hash.Add(message.data(), static_cast<ULONG>(message.size())) || !hash.Finish(digest)) return false;

    Algorithm ecdsa(cng, BCRYPT_ECDSA_P256_ALGORITHM);
    if (!ecdsa.Get()) return false;
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, publicKey, 64);
    Key key(cng);
    if (!Succeeded(cng.ImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Put(), blob, sizeof blob, 0))) {
        return false;
    }
    return Succeeded(cng.VerifySignature(key.Get(), nullptr, digest, sizeof digest,
                                         reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
                                         static_cast<ULONG>(signature.size()), 0));
}

// The digest, in lower-case hex.
bool Finish(Hash& hash, std::string* sha256) {
    unsigned char digest[32];
    if (!hash.Finish(digest)) return false;
    static const char kHex[] = "0123456789abcdef";
    sha256->clear();
    for (unsigned char b : digest) {
        *sha256 += kHex[b >> 4];
        *sha256 += kHex[b & 0x0F];
    }
    return true;
}

// The size and SHA-256, in lower-case hex, of what is read through `file`;
// reading stops once more than `limit` bytes have come.
bool Measure(const Cng& cng, HANDLE file, std::uint64_t limit, std::uint64_t* size, std::string* sha256) {
    Algorithm algorithm(cng, BCRYPT_SHA256_ALGORITHM);
    Hash hash(algorithm);
    std::vector<char> buffer(64 * 1024);
    DWORD got = 0;
    *size = 0;
    while (*size <= limit && ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
        if (!hash.Add(buffer.data(), got)) return false;
        *size += got;
    }
    return Finish(hash, sha256);
}

}  // namespace

CngCrypto::CngCrypto() : m_cng(std::make_unique<Cng>()) {}

CngCrypto::~CngCrypto() = default;

bool CngCrypto::Verify(const std::string& message, const std::string& signature, const PublicKey& key) const {
    return *m_cng && VerifySignature(*m_cng, message, signature, key.data());
}

std::string RootFingerprint(const unsigned char* rootKey) {
    const Cng cng;
    if (!cng) return "";
    Algorithm sha256(cng, BCRYPT_SHA256_ALGORITHM);
    Hash hash(sha256);
    std::string digest;
    return hash.Add(rootKey, 64) && Finish(hash, &digest) ? digest.substr(0, 16) : "";
}

std::int64_t SystemUtcNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // 100 ns ticks since 1601-01-01; 11644473600 s from there to 1970.
    return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

bool MatchesManifest(HANDLE file, const ManifestFile& listed) {
    return MatchesSigned(file, listed.entry, listed.size, listed.sha256);
}

bool MatchesSigned(HANDLE file, const std::string& entry, std::uint64_t signedSize, const std::string& signedSha256) {
    const Cng cng;
    std::uint64_t size = 0;
    std::string sha256;
    const std::wstring name = FromAnsi(entry);
    if (!cng || !Measure(cng, file, signedSize, &size, &sha256)) {
        LogEvent(L"File %ls refused: it could not be read back from the temporary folder to check it", name.c_str());
        return false;
    }
    if (size != signedSize) {
        // Reading stops one block past the signed size: a larger file says "more than".
        LogEvent(L"File %ls refused: %ls%llu bytes, the manifest signs for %llu", name.c_str(),
                 size > signedSize ? L"more than " : L"", size, signedSize);
        return false;
    }
    if (sha256 != signedSha256) {
        LogEvent(L"File %ls refused: its SHA-256 is %hs, the manifest signs for %hs", name.c_str(), sha256.c_str(),
                 signedSha256.c_str());
        return false;
    }
    return true;
}

bool NameFilesRelease(std::vector<std::pair<std::string, HANDLE>> files, std::string* name) {
    const Cng cng;
    if (!cng) return false;
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string lines;
    for (const auto& [target, file] : files) {
        LARGE_INTEGER start = {};
        std::uint64_t size = 0;
        std::string sha256;
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !Measure(cng, file, UINT64_MAX, &size, &sha256)) {
            return false;
        }
        lines += target + "\t" + std::to_string(size) + "\t" + sha256 + "\n";
    }
    Algorithm sha256(cng, BCRYPT_SHA256_ALGORITHM);
    Hash hash(sha256);
    std::string digest;
    if (!hash.Add(lines.data(), static_cast<ULONG>(lines.size())) || !Finish(hash, &digest)) return false;
    *name = "files " + digest;
    return true;
}
