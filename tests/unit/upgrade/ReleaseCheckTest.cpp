// Windows' cryptography is in memory only while a signed release is checked:
// a build without a publisher's key never loads bcrypt.dll, and a check lets
// it go again, with the same verdicts. This program imports nothing that
// loads it (the other upgrade tests sign with it, so they cannot tell), and
// its signatures were made by OpenSSL, as the publisher's tool makes them.
#include "upgrade/ReleaseCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/upgrade/JobFixtures.h"
#include "upgrade/SignedText.h"

using namespace jobtest;

namespace {

bool CryptographyLoaded() { return GetModuleHandleW(L"bcrypt.dll") != nullptr; }

// Made with uibpack: a keys document signed with the root key, listing one
// release key, and a manifest signed with that release key.
const std::string kKeys =
    "Quillstone-Keys: 1\n"
    "Version: 1\n"
    "Expires: 2027-12-08T00:00:00Z\n"
    "Key: "
    "a9267296ac11e43aa81f79911c02170470a9404db40dd1d603633d1e3ab9fcca84f02c60fb4dfba8a0c576d59ee1ed76650649823677ffac7f"
    "36ede73ced53a8\n";
const std::string kManifest =
    "Quillstone-Manifest: 3\n"
    "Release: 5\n"
    "Keys-Version: 1\n"
    "Expires: 2027-03-08T00:00:00Z\n"
    "File: one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6\n";
const unsigned char kRoot[64] = {0x9c, 0x45, 0xbd, 0x41, 0xf1, 0x8f, 0x73, 0x7d, 0x8e, 0x6d, 0xfd, 0xd0, 0x66,
                                 0x7c, 0xe0, 0xc4, 0xa0, 0xf1, 0x8e, 0x07, 0x6d, 0x95, 0x81, 0xba, 0xaf, 0xc0,
                                 0x08, 0xed, 0x32, 0x13, 0x1f, 0xad, 0x44, 0xf6, 0x82, 0x70, 0x5e, 0xe5, 0x44,
                                 0x63, 0x4f, 0xc3, 0x35, 0x64, 0x25, 0xef, 0xbf, 0xdc, 0x20, 0x18, 0x98, 0x7b,
                                 0x4f, 0x5c, 0xd7, 0x07, 0x00, 0xb2, 0xba, 0x51, 0x30, 0xbb, 0x22, 0xea};
const unsigned char kStranger[64] = {0x89, 0x43, 0xf5, 0x05, 0xb1, 0x0e, 0xf9, 0x29, 0xe7, 0x0d, 0x26, 0xdc, 0x4e,
                                     0xac, 0x0a, 0xb0, 0xbc, 0x8d, 0x5e, 0xaf, 0xcb, 0x94, 0x0c, 0x44, 0x32, 0x61,
                                     0xbe, 0xb5, 0x31, 0x70, 0x8f, 0x84, 0xc2, 0x88, 0xf8, 0x7b, 0x46, 0xd9, 0xce,
                                     0x7c, 0x6c, 0x09, 0x55, 0x29, 0xf1, 0x21, 0x8e, 0xd5, 0x27, 0x13, 0x8d, 0xac,
                                     0x8a, 0xf1, 0x82, 0x34, 0xa7, 0x35, 0xee, 0xe0, 0xcd, 0x16, 0xf4, 0x7a};
// r and s of the two signatures.
const unsigned char kKeysSignature[64] = {0x9e, 0x94, 0x8a, 0x86, 0x37, 0xe7, 0xe7, 0xcb, 0xa7, 0x6d, 0x43, 0x84, 0x1f,
                                          0x18, 0x34, 0x16, 0x96, 0xb3, 0x94, 0xce, 0xbd, 0x2e, 0xd1, 0x60, 0x04, 0xf2,
                                          0xe8, 0x03, 0xf9, 0x13, 0xf8, 0xe2, 0xe5, 0x41, 0x5e, 0x07, 0x85, 0xfa, 0x6d,
                                          0x97, 0x76, 0x7e, 0x0e, 0x0c, 0xf2, 0x5f, 0x3a, 0xae, 0xd1, 0x47, 0xd6, 0xd7,
                                          0x9f, 0xc5, 0x2e, 0x7b, 0x3e, 0xc1, 0x64, 0x3b, 0x24, 0x8a, 0x73, 0xd1};
const unsigned char kManifestSignature[64] = {
    0x3f, 0x1b, 0x0d, 0x7e, 0xb3, 0x0b, 0x53, 0x1c, 0xd0, 0x8f, 0x64, 0xa9, 0x08, 0x5a, 0x35, 0xef,
    0xe9, 0x81, 0x83, 0x21, 0x27, 0xf3, 0x05, 0x37, 0x31, 0xa0, 0x02, 0x13, 0x11, 0xa5, 0x0c, 0x0f,
    0xac, 0xbc, 0xaa, 0xeb, 0xdc, 0x67, 0x20, 0x93, 0x73, 0x37, 0xb0, 0xdc, 0x8e, 0x5e, 0x81, 0x47,
    0x5e, 0x9b, 0x5c, 0x92, 0x08, 0x29, 0x33, 0xf8, 0x78, 0x37, 0xd0, 0x70, 0x4a, 0x18, 0xe7, 0x34};

std::string Bytes(const unsigned char (&bytes)[64]) { return std::string(reinterpret_cast<const char*>(bytes), 64); }

std::int64_t At(const char* utc) {
    std::int64_t seconds = 0;
    EXPECT_TRUE(ParseUtcTime(utc, &seconds));
    return seconds;
}

TEST(ReleaseCheck, AnUnsignedUpgradeNeverLoadsTheCryptography) {
    ASSERT_FALSE(CryptographyLoaded()) << "something else in this program holds bcrypt.dll";
    StopFlag running;
    running.Start();
    Display display;
    Folders folders;
    UpgradeServer server({{"one.txt", Served{"new one"}}});
    ASSERT_TRUE(server.Listening());
    UpgradeJob job(EntriesOf({"one.txt"}), folders.Temp(), display, running, UpgradeSource{server.Url(), nullptr, L""});
    EXPECT_TRUE(job.Run());
    EXPECT_FALSE(CryptographyLoaded());
}

TEST(ReleaseCheck, ASignedCheckJudgesAsAlwaysAndLetsTheCryptographyGo) {
    ASSERT_FALSE(CryptographyLoaded()) << "something else in this program holds bcrypt.dll";
    const std::int64_t now = At("2026-12-08T00:00:00Z");
    const struct {
        const char* what;
        const unsigned char* root;
        std::uint64_t accepted;
        std::int64_t now;
        ReleaseVerdict verdict;
    } keysCases[] = {
        {"signed with the root key", kRoot, 1, now, ReleaseVerdict::kAccepted},
        {"checked with another root key", kStranger, 0, now, ReleaseVerdict::kBadKeysSignature},
        {"a lower version than one accepted", kRoot, 2, now, ReleaseVerdict::kOlderKeys},
        {"within the hour after its expiry", kRoot, 0, At("2027-12-08T01:00:00Z"), ReleaseVerdict::kAccepted},
        {"past the hour after its expiry", kRoot, 0, At("2027-12-08T01:00:01Z"), ReleaseVerdict::kExpiredKeys},
    };
    for (const auto& c : keysCases) {
        SCOPED_TRACE(c.what);
        KeysDocument keys;
        EXPECT_EQ(CheckKeys(kKeys, Bytes(kKeysSignature), c.root, c.accepted, c.now, &keys), c.verdict);
        EXPECT_EQ(keys.keys.size(), c.verdict == ReleaseVerdict::kBadKeysSignature ? 0u : 1u);
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }

    KeysDocument keys, others, newer;
    ASSERT_EQ(CheckKeys(kKeys, Bytes(kKeysSignature), kRoot, 0, now, &keys), ReleaseVerdict::kAccepted);
    newer = others = keys;
    newer.version = 2;
    std::copy(std::begin(kStranger), std::end(kStranger), others.keys[0].begin());
    std::string changed = kManifest;
    changed[changed.size() - 2] ^= 1;
    const struct {
        const char* what;
        std::string manifest;
        const KeysDocument& keys;
        ReleaseRecord record;
        std::int64_t now;
        ReleaseVerdict verdict;
    } manifests[] = {
        {"a valid release", kManifest, keys, {}, now, ReleaseVerdict::kAccepted},
        {"the release installed already", kManifest, keys, {5}, now, ReleaseVerdict::kAccepted},
        {"an older release", kManifest, keys, {6}, now, ReleaseVerdict::kOlderRelease},
        {"a release rolled back", kManifest, keys, {0, true, 5}, now, ReleaseVerdict::kRolledBackRelease},
        {"a later release than one rolled back", kManifest, keys, {0, true, 4}, now, ReleaseVerdict::kAccepted},
        {"expired", kManifest, keys, {}, At("2027-03-08T01:00:01Z"), ReleaseVerdict::kExpiredManifest},
        {"a changed byte", changed, keys, {}, now, ReleaseVerdict::kBadSignature},
        {"keys that do not list its release key", kManifest, others, {}, now, ReleaseVerdict::kBadSignature},
        {"a newer keys version that kept its key", kManifest, newer, {}, now, ReleaseVerdict::kOtherKeysVersion},
    };
    for (const auto& c : manifests) {
        SCOPED_TRACE(c.what);
        Manifest manifest;
        EXPECT_EQ(CheckManifest(c.manifest, Bytes(kManifestSignature), c.keys, c.record, c.now, &manifest), c.verdict);
        EXPECT_EQ(manifest.release, c.verdict == ReleaseVerdict::kBadSignature ? 0u : 5u)
            << "read when it names the release it offers";
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }

    Manifest manifest;
    ASSERT_EQ(CheckManifest(kManifest, Bytes(kManifestSignature), keys, {}, now, &manifest), ReleaseVerdict::kAccepted);
    const ManifestFile* listed = FindInManifest(manifest, "one.txt");
    ASSERT_NE(listed, nullptr);
    for (const auto& [bytes, matches] : {std::pair<std::string, bool>{"new one", true}, {"new One", false}}) {
        SCOPED_TRACE(bytes);
        Folders folders;
        UniqueHandle file(CreateFileW(folders.Download("one.txt", bytes).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(MatchesManifest(file.Get(), *listed), matches);
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }
}

}  // namespace
