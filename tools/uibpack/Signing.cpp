#include "Signing.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "upgrade/Manifest.h"

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

bool WriteWhole(const std::string& path, const std::string& bytes) {
    FilePtr file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
           std::fclose(file.release()) == 0;
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
    static const char kHex[] = "0123456789abcdef";
    sha256->clear();
    for (unsigned char b : digest) {
        *sha256 += kHex[b >> 4];
        *sha256 += kHex[b & 0x0F];
    }
    return true;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

bool Verify(EVP_PKEY* key, const std::string& message, const std::string& signature) {
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

}  // namespace

bool SignRelease(const std::string& privateKeyPem, std::uint64_t release, const std::string& outDir,
                 const std::vector<std::string>& files, std::string* error) {
    KeyPtr key = ReadKey(privateKeyPem, true, error);
    if (!key) return false;
    Manifest manifest;
    manifest.release = release;
    for (const std::string& path : files) {
        ManifestFile file;
        file.name = BaseName(path);
        if (!Measure(path, &file.size, &file.sha256)) {
            *error = "cannot read " + path;
            return false;
        }
        if (FindInManifest(manifest, file.name)) {
            *error = "two files named " + file.name;
            return false;
        }
        manifest.files.push_back(file);
    }
    const std::string text = FormatManifest(manifest);
    Manifest check;
    if (!ParseManifest(text, &check)) {
        *error = "the file names do not make a manifest (a name with a control character, or too many files)";
        return false;
    }
    std::string signature;
    if (!Sign(key.get(), text, &signature)) {
        *error = "cannot sign with " + privateKeyPem;
        return false;
    }
    const std::string manifestPath = outDir + "/" + kManifestName, signaturePath = outDir + "/" + kSignatureName;
    if (!WriteWhole(manifestPath, text) || !WriteWhole(signaturePath, signature)) {
        std::remove(manifestPath.c_str());
        std::remove(signaturePath.c_str());
        *error = "cannot write into " + outDir;
        return false;
    }
    return true;
}

bool VerifyRelease(const std::string& publicKeyPem, const std::string& dir, std::string* error) {
    KeyPtr key = ReadKey(publicKeyPem, false, error);
    if (!key) return false;
    std::string text, signature;
    if (!ReadWhole(dir + "/" + kManifestName, &text, kManifestLimit)) {
        *error = std::string(kManifestName) + " is missing, unreadable or longer than 64 KiB";
        return false;
    }
    if (!ReadWhole(dir + "/" + kSignatureName, &signature, kSignatureSize) || signature.size() != kSignatureSize) {
        *error = std::string(kSignatureName) + " is missing or not 64 bytes";
        return false;
    }
    if (!Verify(key.get(), text, signature)) {
        *error = "the signature does not match the manifest and the key";
        return false;
    }
    Manifest manifest;
    if (!ParseManifest(text, &manifest)) {
        *error = "the manifest is signed but malformed";
        return false;
    }
    for (const ManifestFile& listed : manifest.files) {
        std::uint64_t size = 0;
        std::string sha256;
        if (!Measure(dir + "/" + listed.name, &size, &sha256)) {
            *error = listed.name + " is listed but missing";
            return false;
        }
        if (size != listed.size || sha256 != listed.sha256) {
            *error = listed.name + " differs from the manifest";
            return false;
        }
    }
    return true;
}
