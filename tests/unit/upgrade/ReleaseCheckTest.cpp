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
    "Quillstone-Keys: 1\nVersion: 1\nExpires: 2027-12-08T00:00:00Z\n"
    "Key: feef8a1791b07ac072b705df23edae9b6d5cfd89e638cbbd29e7fcd94042b891"
    "d91c530f0d9eb172c117fedc03025573e110b87e9ca37c37f0aa70d7b055c3bf\n";
const std::string kManifest =
    "Quillstone-Manifest: 2\nRelease: 5\nExpires: 2027-03-08T00:00:00Z\n"
    "File: one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6\n";
const unsigned char kRoot[64] = {0xd1, 0xb5, 0x9a, 0xae, 0xf3, 0xb8, 0xa9, 0x0f, 0x83, 0xaa, 0x43, 0x16, 0x01,
                                 0xf7, 0x40, 0x59, 0x95, 0x67, 0x1e, 0x87, 0xfb, 0xa2, 0x17, 0x85, 0x9d, 0x89,
                                 0x05, 0xc1, 0x3e, 0xb3, 0x48, 0x77, 0x75, 0xd4, 0xa2, 0x3d, 0x0d, 0x5e, 0xad,
                                 0xc0, 0xd6, 0x4c, 0xbc, 0x4b, 0xca, 0x73, 0x92, 0xeb, 0x31, 0xca, 0xab, 0x3f,
                                 0x54, 0x77, 0xd7, 0xd7, 0x01, 0xd9, 0xfa, 0x2e, 0x32, 0xd0, 0x8e, 0x0b};
const unsigned char kStranger[64] = {0x9c, 0xdf, 0xd6, 0xac, 0x19, 0xf2, 0xf3, 0x83, 0x54, 0x1a, 0x83, 0x89, 0x7b,
                                     0x5d, 0xe3, 0xbf, 0x57, 0xcb, 0x66, 0xcc, 0xb6, 0x07, 0x57, 0x2e, 0xaf, 0xcd,
                                     0x5a, 0x4e, 0x94, 0x6e, 0xd6, 0x23, 0xf9, 0x1c, 0x05, 0x34, 0x36, 0x0b, 0x80,
                                     0x09, 0x64, 0x46, 0x12, 0x79, 0x5f, 0x7f, 0xed, 0xa3, 0x67, 0x36, 0xff, 0xf4,
                                     0xa7, 0x7e, 0xac, 0x87, 0xef, 0xa2, 0x22, 0xf4, 0x1d, 0xa7, 0xc2, 0xe7};
// r and s of the two signatures.
const unsigned char kKeysSignature[64] = {0xc1, 0x3a, 0x0e, 0x32, 0xb1, 0xf7, 0x08, 0xd4, 0xe3, 0x8c, 0x6e, 0x0e, 0x9d,
                                          0x6b, 0xe0, 0x66, 0x24, 0x64, 0xbd, 0x31, 0x1c, 0x6f, 0x73, 0x39, 0xdc, 0x60,
                                          0xce, 0xf6, 0xa6, 0x3c, 0xcb, 0x69, 0x89, 0x50, 0x30, 0x8c, 0x2e, 0x9d, 0x79,
                                          0xc1, 0x11, 0xaf, 0xc2, 0xe2, 0xe3, 0xb2, 0xc2, 0x8e, 0x3b, 0x40, 0xd4, 0xca,
                                          0x7a, 0x36, 0xc3, 0x26, 0xda, 0xee, 0x8d, 0xfd, 0xdf, 0xcd, 0x0d, 0x45};
const unsigned char kManifestSignature[64] = {
    0xc0, 0x1b, 0x65, 0xb1, 0xe5, 0xe5, 0x5f, 0x76, 0x77, 0x57, 0x03, 0x94, 0xd7, 0x85, 0xa8, 0xaa,
    0xae, 0x75, 0x12, 0xb6, 0x56, 0xab, 0xff, 0xde, 0xe0, 0xd2, 0x66, 0x62, 0x96, 0x2e, 0x82, 0xac,
    0x15, 0x01, 0xaf, 0x5a, 0x75, 0xa8, 0x70, 0xd3, 0x03, 0x16, 0x6a, 0xac, 0x60, 0x2d, 0xf9, 0xdb,
    0xc2, 0xdc, 0x85, 0xd1, 0xbe, 0x70, 0xd4, 0x11, 0xd0, 0xf0, 0x4f, 0x96, 0x5c, 0xce, 0x6a, 0x0e};

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

    KeysDocument keys, others;
    ASSERT_EQ(CheckKeys(kKeys, Bytes(kKeysSignature), kRoot, 0, now, &keys), ReleaseVerdict::kAccepted);
    others = keys;
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
