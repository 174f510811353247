// Upgrades signed by their publisher: with a key compiled in, nothing is
// installed that a manifest signed with it does not vouch for. The attacks
// on a signed release, TUF's way, each against the real upgrade job with a
// test publisher's key and an HTTP server the test plays.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "tests/unit/upgrade/JobFixtures.h"
#include "upgrade/Manifest.h"
#include "upgrade/ReleaseCheck.h"

using namespace jobtest;

namespace {

std::string Sha256(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(bytes.size()),
                   0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::string hex;
    for (unsigned char b : digest) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

// A publisher's key pair, made for the test.
class Publisher {
public:
    Publisher() {
        BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        BCryptGenerateKeyPair(m_algorithm, &m_key, 256, 0);
        BCryptFinalizeKeyPair(m_key, 0);
        unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG size = 0;
        BCryptExportKey(m_key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0);
        std::memcpy(publicKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    }
    ~Publisher() {
        BCryptDestroyKey(m_key);
        BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
    std::string Sign(const std::string& text) const {
        std::string hex = Sha256(text), digest;
        for (std::size_t i = 0; i < 64; i += 2) digest += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        unsigned char signature[64] = {};
        ULONG size = 0;
        BCryptSignHash(m_key, nullptr, reinterpret_cast<PUCHAR>(&digest[0]), 32, signature, 64, &size, 0);
        return std::string(reinterpret_cast<char*>(signature), 64);
    }

    unsigned char publicKey[64] = {};

private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_KEY_HANDLE m_key = nullptr;
};

// A well-formed manifest of exactly 64 KiB and one byte: the two files and
// as many more as it takes.
std::string Oversized(Manifest manifest) {
    const std::size_t lineBeyondName = std::string("File:  1 \n").size() + 64;
    std::string text = FormatManifest(manifest);
    for (int i = 0; kManifestLimit + 1 - text.size() > 300; ++i) {
        manifest.files.push_back({"padding-" + std::to_string(i) + std::string(100, 'p'), 1, std::string(64, '0')});
        text = FormatManifest(manifest);
    }
    manifest.files.push_back(
        {std::string(kManifestLimit + 1 - text.size() - lineBeyondName, 'q'), 1, std::string(64, '0')});
    return FormatManifest(manifest);
}

// The release a case starts from: its files, its manifest and its signature.
struct Release {
    std::map<std::string, Served> served;
    Manifest manifest;
    std::string text;  // the manifest as served; empty: made from `manifest`
    const Publisher* signer;
    bool withManifest = true, withSignature = true;
};

class Signed : public ::testing::Test {
protected:
    void SetUp() override {
        running.Start();
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey); }

    Release Valid() const {
        Release r;
        r.served = {{"one.txt", {"new one"}}, {"two.bin", {std::string(3000, 't')}}};
        r.manifest.release = 5;
        for (const auto& [name, file] : r.served)
            r.manifest.files.push_back({name, file.bytes.size(), Sha256(file.bytes)});
        r.signer = &publisher;
        return r;
    }

    static constexpr wchar_t kReleaseKey[] = L"Software\\Quillstone-tests\\SignedUpgrade";
    StopFlag running;
    Display display;
    Publisher publisher, stranger;
};

TEST_F(Signed, NothingIsInstalledThatThePublisherDidNotSignFor) {
    const std::map<std::string, std::string> before = {{"one.txt", "old one"}};
    const std::map<std::string, std::string> after = {
        {"one.txt", "new one"}, {"sub", "<dir>"}, {"sub\\two.bin", std::string(3000, 't')}};
    struct Case {
        const char* what;
        std::uint64_t installedBefore;
        std::function<void(Release&)> attack;
        bool installs;
    } cases[] = {
        {"a valid release", 0, [](Release&) {}, true},
        {"the release installed already: a repair", 5, [](Release&) {}, true},
        {"a release older than the one installed", 6, [](Release&) {}, false},
        {"no manifest", 0, [](Release& r) { r.withManifest = false; }, false},
        {"no signature", 0, [](Release& r) { r.withSignature = false; }, false},
        {"signed with another key", 0, [this](Release& r) { r.signer = &stranger; }, false},
        {"a byte of the manifest changed after signing", 0,
         [](Release& r) {
             r.text = FormatManifest(r.manifest);
             r.text[r.text.size() - 2] ^= 1;
         },
         false},
        {"a file swapped on the server after signing", 0,
         [](Release& r) { r.served["two.bin"].bytes = std::string(3000, 'x'); }, false},
        {"a downloaded file the manifest does not name", 0, [](Release& r) { r.manifest.files.pop_back(); }, false},
        {"a size that differs", 0, [](Release& r) { r.manifest.files.front().size += 1; }, false},
        {"a malformed line", 0, [](Release& r) { r.text = FormatManifest(r.manifest) + "Note: signed all the same\n"; },
         false},
        {"a manifest of 64 KiB and one byte, well formed and signed", 0,
         [](Release& r) { r.text = Oversized(r.manifest); }, false},
        {"a manifest that never ends", 0,
         [](Release& r) {
             r.served["Quillstone.manifest"] = Served{std::string(4096, 'x'), false, true};
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseKey);
        if (c.installedBefore) RecordInstalledRelease(kReleaseKey, c.installedBefore);
        Release release = Valid();
        c.attack(release);
        if (release.text.empty()) release.text = FormatManifest(release.manifest);
        std::map<std::string, Served> served = release.served;
        if (release.withManifest && !served.count("Quillstone.manifest"))
            served["Quillstone.manifest"] = {release.text};
        if (release.withSignature) served["Quillstone.manifest.sig"] = {release.signer->Sign(release.text)};

        Folders here;
        here.Lay(before);
        UpgradeServer server(served);
        ASSERT_TRUE(server.Listening());
        UpgradeJob job(EntriesOf({"one.txt", "sub\\two.bin"}), here.Temp(), display, running,
                       UpgradeSource{server.Url(), publisher.publicKey, kReleaseKey});
        EXPECT_EQ(job.Run(), c.installs);
        EXPECT_EQ(here.Installed(), c.installs ? after : before);
        EXPECT_EQ(InstalledRelease(kReleaseKey), c.installs ? 5 : c.installedBefore)
            << "the release is recorded only once it is installed";
        if (!c.installs) {
            EXPECT_TRUE(fs::is_empty(here.Temp())) << "the downloads of a refused upgrade are removed";
        }
    }
}

}  // namespace
