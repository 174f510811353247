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
    "Quillstone-Keys: 2\n"
    "Version: 1\n"
    "Signed: 2026-12-09T06:04:17Z\n"
    "Expires: 2027-12-08T00:00:00Z\n"
    "Key: "
    "e40ce3c8891e0001b1ff2d40f5eed50e9f6a37aacf8391e29ab555476ec8f422a4c79eb4ffa538d0455ca565315a1bd4d7242dc4f4e74794c1"
    "475c23c433bc98\n";
const std::string kManifest =
    "Quillstone-Manifest: 3\n"
    "Release: 5\n"
    "Keys-Version: 1\n"
    "Signed: 2026-12-09T06:04:17Z\n"
    "Expires: 2027-03-08T00:00:00Z\n"
    "File: one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6\n";
const unsigned char kRoot[64] = {0x10, 0x72, 0xb6, 0x29, 0x6a, 0xd3, 0xf6, 0x2f, 0x56, 0xd2, 0x51, 0x73, 0x7a,
                                 0x1b, 0x14, 0x75, 0x42, 0x7f, 0x0a, 0x32, 0x90, 0x0e, 0xbf, 0x58, 0x25, 0xcf,
                                 0x8a, 0x18, 0x67, 0x3b, 0x82, 0xb5, 0x80, 0x4a, 0x4a, 0xad, 0x94, 0x2d, 0x09,
                                 0x9e, 0x8e, 0x23, 0xbe, 0x99, 0x6d, 0xba, 0xa2, 0x66, 0x57, 0xc8, 0x0c, 0xe8,
                                 0x8b, 0x42, 0x0c, 0xf5, 0x33, 0xb2, 0xb3, 0x09, 0xe1, 0x80, 0x44, 0xbc};
const unsigned char kStranger[64] = {0xc5, 0x16, 0x9c, 0xe1, 0xe9, 0x7c, 0xe2, 0x39, 0x80, 0xd8, 0x9e, 0xea, 0x8d,
                                     0x91, 0xf1, 0xf2, 0x3c, 0x42, 0x10, 0xa6, 0x53, 0x98, 0x54, 0xb5, 0xf8, 0x92,
                                     0x20, 0xbd, 0x54, 0xca, 0xed, 0x32, 0x45, 0x61, 0x24, 0x19, 0xdc, 0x85, 0x53,
                                     0xb4, 0xdd, 0x0d, 0x8d, 0x19, 0x80, 0xba, 0x72, 0x19, 0x6f, 0x6a, 0x75, 0x85,
                                     0x10, 0x11, 0xd7, 0xd0, 0xc7, 0xe7, 0x6b, 0xa0, 0x80, 0xbb, 0x00, 0xba};
// r and s of the two signatures.
const unsigned char kKeysSignature[64] = {0xe9, 0x72, 0x80, 0x74, 0x23, 0x12, 0x27, 0x40, 0x98, 0x78, 0x25, 0x0e, 0x6e,
                                          0xdb, 0x7d, 0x6e, 0x57, 0x21, 0x16, 0x7e, 0xfd, 0x77, 0x15, 0x76, 0xef, 0x36,
                                          0x4e, 0x06, 0xff, 0x72, 0xdf, 0xf8, 0x16, 0x45, 0x1e, 0x14, 0xd3, 0x1c, 0x39,
                                          0xc8, 0xa1, 0xbe, 0x6d, 0xab, 0x5d, 0xa8, 0xa1, 0xf9, 0x37, 0x57, 0x3d, 0x0e,
                                          0x06, 0x1d, 0x80, 0xdf, 0x67, 0x30, 0xc7, 0xdd, 0x16, 0x73, 0xf8, 0xfa};
const unsigned char kManifestSignature[64] = {
    0xc6, 0x24, 0xbd, 0xf9, 0x0e, 0x9f, 0x28, 0xfb, 0x81, 0x03, 0xcf, 0x00, 0x0a, 0x6f, 0xf0, 0x50,
    0x27, 0x78, 0x30, 0x90, 0xff, 0xea, 0xb6, 0xd0, 0x78, 0xe0, 0x19, 0xde, 0x43, 0xe4, 0xee, 0x52,
    0xcf, 0x97, 0xa8, 0x1e, 0x92, 0x56, 0xa2, 0x12, 0x99, 0x89, 0x78, 0xf2, 0x5e, 0x05, 0x10, 0x80,
    0x22, 0x75, 0x3b, 0x52, 0x0b, 0x7f, 0xf8, 0x78, 0x08, 0x85, 0x45, 0x4c, 0xb3, 0x94, 0x61, 0xbf};

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
