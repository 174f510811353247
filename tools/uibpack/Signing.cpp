#include "Signing.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "UibPackage.h"
#include "VerifyDocuments.h"
#include "install/EntryPath.h"
#include "trust/BlockMap.h"
#include "trust/KeysDocument.h"
#include "trust/Manifest.h"
#include "trust/SignedText.h"
#include "trust/TrustCheck.h"

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FreeSignature {
    void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, FreeContext>;
using SignaturePtr = std::unique_ptr<ECDSA_SIG, FreeSignature>;
using FilePtr = std::unique_ptr<std::FILE, CloseFile>;

// A P-256 key from a PEM file: a private key for signing, else a public one.
KeyPtr ReadKey(const std::string& path, bool isPrivate, std::string* error) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = "cannot open " + path;
        return nullptr;
    }
    KeyPtr key(isPrivate ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                         : PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    char group[64] = {};
    if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
        !EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) ||
        std::strcmp(group, "prime256v1") != 0) {
        *error = path + ": not an ECDSA P-256 " + (isPrivate ? "private" : "public") + " key in PEM form";
        return nullptr;
    }
    return key;
}

bool ReadWhole(const std::string& path, std::string* bytes, std::size_t limit) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    bytes->clear();
    char chunk[65536];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get())) {
        bytes->append(chunk, got);
        if (bytes->size() > limit) return false;
    }
    return !std::ferror(file.get());
}

// Written and on the disk before it is renamed into place.
bool WriteWhole(const std::string& path, const std::string& bytes) {
    FilePtr file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
           std::fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0 && std::fclose(file.release()) == 0;
}

// A document and its signature into `dir` under new names, then renamed into
// place one right after the other; nothing of them is left on failure.
bool Publish(const std::string& dir, const char* name, const std::string& text, const char* signatureName,
             const std::string& signature, std::string* error) {
    const std::string path = dir + "/" + name, signaturePath = dir + "/" + signatureName;
    const std::string fresh = dir + "/." + name + ".new", freshSignature = dir + "/." + signatureName + ".new";
    if (!WriteWhole(fresh, text) || !WriteWhole(freshSignature, signature) ||
        std::rename(fresh.c_str(), path.c_str()) != 0 || std::rename(freshSignature.c_str(), signaturePath.c_str())) {
        std::remove(fresh.c_str());
        std::remove(freshSignature.c_str());
        *error = "cannot write into " + dir;
        return false;
    }
    return true;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0x0F];
    }
    return hex;
}

// A file's size and SHA-256 in lower-case hex, read in pieces.
bool Measure(const std::string& path, std::uint64_t* size, std::string* sha256) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    ContextPtr context(EVP_MD_CTX_new());
    if (!file || !context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) return false;
    *size = 0;
    char chunk[65536];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get())) {
        if (!EVP_DigestUpdate(context.get(), chunk, got)) return false;
        *size += got;
    }
    unsigned char digest[32];
    unsigned int length = 0;
    if (std::ferror(file.get()) || !EVP_DigestFinal_ex(context.get(), digest, &length) || length != 32) return false;
    *sha256 = Hex(digest, sizeof digest);
    return true;
}

// What decoding a package gives: decoded by the decoder Quillstone uses into
// a temporary file, then hashed.
bool MeasureDecoded(const std::string& path, std::uint64_t* size, std::string* sha256) {
    ContextPtr context(EVP_MD_CTX_new());
    if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) return false;
    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> in(std::fopen(path.c_str(), "rb")), out(std::tmpfile());
    if (!in || !out || !uib::DecodeUibStream(in.get(), out.get(), uib::OutputBound{})) return false;
    std::rewind(out.get());
    *size = 0;
    char block[64 * 1024];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, out.get())) > 0;) {
        if (!EVP_DigestUpdate(context.get(), block, got)) return false;
        *size += got;
    }
    unsigned char digest[32];
    unsigned int length = 0;
    if (std::ferror(out.get()) || !EVP_DigestFinal_ex(context.get(), digest, &length) || length != 32) return false;
    *sha256 = Hex(digest, sizeof digest);
    return true;
}

// The block map of the file at `path`, as its bytes are served beside it.
bool MapOf(const std::string& path, bool package, std::string* map) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    BlockMap blocks;
    if (!file || !MakeBlockMap(file.get(), package, &blocks)) return false;
    *map = FormatBlockMap(blocks);
    return true;
}

// A public key as the documents carry it: X and Y, 32 bytes each.
bool RawPublicKey(EVP_PKEY* key, PublicKey* raw) {
    unsigned char* point = nullptr;
    const std::size_t length = EVP_PKEY_get1_encoded_public_key(key, &point);
    const bool ok = length == 65 && point[0] == 0x04;  // uncompressed
    if (ok) std::memcpy(raw->data(), point + 1, 64);
    OPENSSL_free(point);
    return ok;
}

// And back: the SubjectPublicKeyInfo of an uncompressed P-256 point, up to
// the point's 0x04, then X and Y.
KeyPtr FromRawPublicKey(const PublicKey& raw) {
    static const unsigned char kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    unsigned char der[sizeof kPrefix + 64];
    std::memcpy(der, kPrefix, sizeof kPrefix);
    std::memcpy(der + sizeof kPrefix, raw.data(), 64);
    const unsigned char* p = der;
    return KeyPtr(d2i_PUBKEY(nullptr, &p, sizeof der));
}

// OpenSSL signs in DER; the release carries r and s, 32 bytes each.
bool Sign(EVP_PKEY* key, const std::string& message, std::string* signature) {
    ContextPtr context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || !EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) ||
        !EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                        message.size())) {
        return false;
    }
    std::string der(length, '\0');
    if (!EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&der[0]), &length,
                        reinterpret_cast<const unsigned char*>(message.data()), message.size())) {
        return false;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    SignaturePtr parsed(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
    if (!parsed) return false;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(parsed.get(), &r, &s);
    unsigned char raw[kSignatureSize];
    if (BN_bn2binpad(r, raw, 32) != 32 || BN_bn2binpad(s, raw + 32, 32) != 32) return false;
    signature->assign(reinterpret_cast<const char*>(raw), sizeof raw);
    return true;
}

bool IsSignedBy(EVP_PKEY* key, const std::string& message, const std::string& signature) {
    if (signature.size() != kSignatureSize) return false;
    SignaturePtr parsed(ECDSA_SIG_new());
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(signature.data());
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    if (!parsed || !r || !s || !ECDSA_SIG_set0(parsed.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(parsed.get(), &der);
    ContextPtr context(EVP_MD_CTX_new());
    const bool valid = length > 0 && context &&
                       EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                       EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(length),
                                        reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    OPENSSL_free(der);
    return valid;
}

// The check Quillstone makes with CNG, made here with OpenSSL.
class OpenSslCrypto : public TrustCrypto {
public:
    bool Verify(const std::string& message, const std::string& signature, const PublicKey& raw) const override {
        KeyPtr key = FromRawPublicKey(raw);
        return key && IsSignedBy(key.get(), message, signature);
    }
};

// Whether a desktop would install the files as listed; `error` says why not.
bool Signable(const Manifest& manifest, std::string* error) {
    const ReleaseVerdict verdict = CheckFiles(manifest);
    if (verdict != ReleaseVerdict::kAccepted) *error = RefusalSentence(verdict, {}, 0, manifest, {});
    return verdict == ReleaseVerdict::kAccepted;
}

}  // namespace

bool WriteKeys(const std::string& rootPem, std::uint64_t version, std::int64_t expires, std::uint64_t threshold,
               const std::string& outDir, const std::vector<std::string>& releasePublicPems, std::string* error) {
    KeyPtr root = ReadKey(rootPem, true, error);
    if (!root) return false;
    if (releasePublicPems.empty() || releasePublicPems.size() > kMostReleaseKeys) {
        *error = "a keys document lists 1 to " + std::to_string(kMostReleaseKeys) + " release keys";
        return false;
    }
    if (threshold < 1 || threshold > releasePublicPems.size()) {
        *error = "--threshold must be 1 to the " + std::to_string(releasePublicPems.size()) + " release keys given";
        return false;
    }
    KeysDocument keys;
    keys.threshold = threshold;
    keys.version = version;
    keys.signedAt = static_cast<std::int64_t>(std::time(nullptr));
    keys.expires = expires;
    for (const std::string& pem : releasePublicPems) {
        KeyPtr key = ReadKey(pem, false, error);
        PublicKey raw;
        if (!key) return false;
        if (!RawPublicKey(key.get(), &raw)) {
            *error = pem + ": cannot read its point";
            return false;
        }
        for (const PublicKey& listed : keys.keys) {
            if (listed == raw) {
                *error = pem + " is listed twice";
                return false;
            }
        }
        keys.keys.push_back(raw);
    }
    PublicKey rootRaw;
    if (RawPublicKey(root.get(), &rootRaw)) {
        for (const PublicKey& listed : keys.keys) {
            if (listed == rootRaw) {
                *error = "the root key cannot also be a release key: it is to stay offline";
                return false;
            }
        }
    }
    const std::string text = FormatKeysDocument(keys);
    std::string signature;
    if (!Sign(root.get(), text, &signature)) {
        *error = "cannot sign with " + rootPem;
        return false;
    }
    return Publish(outDir, kKeysName, text, kKeysSignatureName, signature, error);
}

bool SignRelease(const std::vector<std::string>& releasePems, std::uint64_t release, std::int64_t expires,
                 const std::string& outDir, const std::vector<ReleaseFile>& files, std::string* error) {
    // The manifest belongs to the keys document it is served with, and only
    // release keys that document lists, as many as it asks for, can sign it.
    std::string keysText;
    KeysDocument keys;
    if (!ReadWhole(outDir + "/" + kKeysName, &keysText, kKeysLimit) || !ParseKeysDocument(keysText, &keys)) {
        *error = outDir + " holds no keys document to sign for: write one there with uibpack keys first";
        return false;
    }
    std::vector<KeyPtr> signers;
    std::vector<PublicKey> used;
    for (const std::string& pem : releasePems) {
        KeyPtr key = ReadKey(pem, true, error);
        PublicKey raw;
        if (!key) return false;
        if (!RawPublicKey(key.get(), &raw) || std::find(keys.keys.begin(), keys.keys.end(), raw) == keys.keys.end()) {
            *error = pem + " is not a release key of keys version " + std::to_string(keys.version) + " in " + outDir;
            return false;
        }
        if (std::find(used.begin(), used.end(), raw) != used.end()) {
            *error = pem + " is given twice: each signature must be another key's";
            return false;
        }
        used.push_back(raw);
        signers.push_back(std::move(key));
    }
    if (signers.size() < keys.threshold) {
        *error = "keys version " + std::to_string(keys.version) + " asks for " + std::to_string(keys.threshold) +
                 " release keys' signatures, " + std::to_string(signers.size()) + " given";
        return false;
    }
    Manifest manifest;
    manifest.release = release;
    manifest.keysVersion = keys.version;
    manifest.signedAt = static_cast<std::int64_t>(std::time(nullptr));
    manifest.expires = expires;
    for (const ReleaseFile& given : files) {
        if (FindInManifest(manifest, given.entry)) {
            *error = given.entry + " is given twice";
            return false;
        }
        manifest.files.push_back({given.entry, 0, "", 0, "", 0, ""});
    }
    // Refused as a desktop would refuse it: the entries before any file is
    // read, then what the files hold.
    if (!Signable(manifest, error)) return false;
    std::vector<std::string> maps(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        ManifestFile& file = manifest.files[i];
        const std::string& path = files[i].path;
        if (!Measure(path, &file.size, &file.sha256)) {
            *error = "cannot read " + path;
            return false;
        }
        if (IsPackageEntry(file.entry) && !MeasureDecoded(path, &file.decodedSize, &file.decodedSha256)) {
            *error = path + " is not a package that decodes (uibpack check names the fault)";
            return false;
        }
        // Each file's block map, so that a desktop can check each piece as it
        // comes and take the pieces its installed file holds.
        if (!MapOf(path, IsPackageEntry(file.entry), &maps[i])) {
            *error = "cannot read " + path;
            return false;
        }
        file.mapSize = maps[i].size();
        file.mapSha256 = ToHex(Sha256::Of(maps[i].data(), maps[i].size()));
    }
    if (!Signable(manifest, error)) return false;
    const std::string text = FormatManifest(manifest);
    Manifest check;
    if (!ParseManifest(text, &check)) {
        *error = "the entries do not make a manifest (too many files)";
        return false;
    }
    std::string signatures;
    for (std::size_t i = 0; i < signers.size(); ++i) {
        std::string signature;
        if (!Sign(signers[i].get(), text, &signature)) {
            *error = "cannot sign with " + releasePems[i];
            return false;
        }
        signatures += signature;
    }
    // The maps first: a manifest that names them is served only once they are.
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string path = outDir + "/" + BlockMapName(manifest.files[i].entry), fresh = path + ".new";
        if (!WriteWhole(fresh, maps[i]) || std::rename(fresh.c_str(), path.c_str()) != 0) {
            std::remove(fresh.c_str());
            *error = "cannot write into " + outDir;
            return false;
        }
    }
    return Publish(outDir, kManifestName, text, kSignatureName, signatures, error);
}

namespace {

// A document and its signature as a server would serve them, each read
// within the bound a desktop downloads it with; what they hold is the
// check's to judge.
bool ReadSigned(const std::string& dir, const char* name, std::size_t limit, const char* signatureName,
                std::string* text, std::string* signature, std::string* error) {
    const auto read = [&](const char* file, std::size_t bound, std::string* bytes) {
        if (ReadWhole(dir + "/" + file, bytes, bound)) return true;
        *error = std::string(file) + " is missing, unreadable or longer than " + std::to_string(bound) + " bytes";
        return false;
    };
    return read(name, limit, text) && read(signatureName, kSignaturesLimit, signature);
}

}  // namespace

bool VerifyRelease(const std::string& rootPublicPem, const std::string& dir, std::int64_t now, std::string* report) {
    KeyPtr root = ReadKey(rootPublicPem, false, report);
    PublicKey rootKey;
    if (!root) return false;
    if (!RawPublicKey(root.get(), &rootKey)) {
        *report = rootPublicPem + ": cannot read its point";
        return false;
    }
    const OpenSslCrypto crypto;
    std::string text, signature;
    KeysDocument keys;
    Manifest manifest;
    if (!ReadSigned(dir, kKeysName, kKeysLimit, kKeysSignatureName, &text, &signature, report) ||
        VerifyKeys(crypto, rootKey.data(), text, signature, now, &keys, report) != ReleaseVerdict::kAccepted ||
        !ReadSigned(dir, kManifestName, kManifestLimit, kSignatureName, &text, &signature, report) ||
        VerifyManifest(crypto, text, signature, keys, now, &manifest, report) != ReleaseVerdict::kAccepted) {
        return false;
    }
    for (const ManifestFile& listed : manifest.files) {
        const std::string served = NamePart(listed.entry);
        std::uint64_t size = 0, decodedSize = 0;
        std::string sha256, decodedSha256;
        if (!Measure(dir + "/" + served, &size, &sha256)) {
            *report = listed.entry + " is listed but " + served + " is missing";
            return false;
        }
        if (size != listed.size || sha256 != listed.sha256) {
            *report = served + " differs from the manifest";
            return false;
        }
        if (IsPackageEntry(listed.entry) &&
            (!MeasureDecoded(dir + "/" + served, &decodedSize, &decodedSha256) || decodedSize != listed.decodedSize ||
             decodedSha256 != listed.decodedSha256)) {
            *report = served + " does not decode to what the manifest signs for";
            return false;
        }
        // The map as a desktop gets it, bound by the manifest, and the one the
        // file has.
        const std::string mapName = BlockMapName(listed.entry);
        std::string map, made;
        if (!ReadWhole(dir + "/" + mapName, &map, listed.mapSize) || map.size() != listed.mapSize ||
            ToHex(Sha256::Of(map.data(), map.size())) != listed.mapSha256) {
            *report = mapName + " is missing or differs from the manifest";
            return false;
        }
        if (!MapOf(dir + "/" + served, IsPackageEntry(listed.entry), &made) || made != map) {
            *report = mapName + " is not the block map of " + served;
            return false;
        }
    }
    *report = "keys version " + std::to_string(keys.version) + " (" + std::to_string(keys.keys.size()) +
              " release keys, expires " + FormatUtcTime(keys.expires) + "), release " +
              std::to_string(manifest.release) + " (expires " + FormatUtcTime(manifest.expires) + "), " +
              std::to_string(manifest.files.size()) + " files signed and whole";
    return true;
}
