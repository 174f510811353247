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
#include "trust/SignedText.h"

using namespace jobtest;

namespace {

bool CryptographyLoaded() { return GetModuleHandleW(L"bcrypt.dll") != nullptr; }

// Made with uibpack: a keys document signed with the root key, listing one
// release key, and a manifest signed with that release key.
const std::string kKeys =
    "Quillstone-Keys: 2\n"
    "Version: 1\n"
    "Signed: 2026-12-09T06:11:56Z\n"
    "Expires: 2027-12-08T00:00:00Z\n"
    "Threshold: 1\n"
    "Key: "
    "ff0f91d2a2f61bc34b2c13fffc75b5cfb9e863badbb2b686724827635744bdfef7da76e66af9c311b239035580a59a6c499fb2e1dd2a1866e4"
    "154a1bf982155d\n";
const std::string kManifest =
    "Quillstone-Manifest: 3\n"
    "Release: 5\n"
    "Keys-Version: 1\n"
    "Signed: 2026-12-09T06:11:56Z\n"
    "Expires: 2027-03-08T00:00:00Z\n"
    "File: one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6\n";
const unsigned char kRoot[64] = {0xcf, 0x97, 0x46, 0x43, 0xd6, 0xad, 0xfc, 0xa9, 0xa4, 0x86, 0x36, 0xa6, 0x12,
                                 0xd7, 0x29, 0xad, 0xae, 0x64, 0x84, 0xf6, 0xb6, 0xaf, 0x32, 0xda, 0x8d, 0xa1,
                                 0xc3, 0x8b, 0x19, 0xfc, 0x24, 0x1b, 0x07, 0xed, 0x77, 0x57, 0xdd, 0x6a, 0xc6,
                                 0x3a, 0xa5, 0xa3, 0xea, 0x31, 0x18, 0xdc, 0xdf, 0xb7, 0xb2, 0xc1, 0x91, 0xa6,
                                 0x7c, 0xeb, 0x19, 0xfb, 0xa9, 0xc8, 0x34, 0x40, 0x35, 0xef, 0x09, 0xc3};
const unsigned char kStranger[64] = {0x6c, 0xd1, 0xd5, 0xab, 0x9c, 0xf3, 0xb9, 0xaa, 0x29, 0x8b, 0x70, 0x67, 0x19,
                                     0x5e, 0xb0, 0xb5, 0xc2, 0x59, 0xa1, 0x44, 0x38, 0xef, 0x68, 0xc7, 0xe1, 0x9c,
                                     0xd3, 0xba, 0xf8, 0x70, 0x75, 0xfc, 0x98, 0xf7, 0x74, 0xcb, 0x8c, 0x35, 0xf6,
                                     0xcb, 0x68, 0xfc, 0xc7, 0xc5, 0xc0, 0xcd, 0x3f, 0xa8, 0x56, 0xf5, 0x63, 0xec,
                                     0xae, 0x99, 0xe4, 0xfc, 0x97, 0x5d, 0x35, 0x1d, 0xd5, 0x4a, 0x6c, 0xb4};
// r and s of the two signatures.
const unsigned char kKeysSignature[64] = {0x0d, 0xf8, 0x36, 0x34, 0x08, 0x8f, 0x27, 0x2b, 0x92, 0xd3, 0x8b, 0x81, 0xbf,
                                          0x6e, 0x9c, 0xcc, 0x7b, 0x1f, 0x06, 0x7f, 0xe4, 0xb7, 0x7a, 0xdd, 0x72, 0xb6,
                                          0xdb, 0xc7, 0x61, 0x9f, 0x55, 0x33, 0x45, 0xe6, 0xb6, 0xdf, 0x4e, 0x7a, 0xaf,
                                          0x37, 0x21, 0xb0, 0x41, 0xb3, 0x1e, 0x70, 0x69, 0x7a, 0xb8, 0x61, 0xc8, 0xb7,
                                          0x6d, 0x20, 0xcd, 0x88, 0x15, 0x46, 0x35, 0x3a, 0xfa, 0x45, 0x3f, 0xa4};
const unsigned char kManifestSignature[64] = {
    0x2d, 0xb2, 0x5f, 0x77, 0x06, 0x10, 0xf6, 0xaa, 0x1a, 0xcc, 0x83, 0x73, 0xf9, 0xda, 0x9b, 0xdf,
    0xdd, 0x44, 0x1e, 0x58, 0x4f, 0xb0, 0x28, 0xb5, 0xa2, 0x32, 0xd6, 0x3c, 0xf5, 0x05, 0x52, 0xda,
    0x8d, 0x73, 0xe3, 0xbb, 0x38, 0x52, 0xe8, 0xce, 0xa2, 0x41, 0x6b, 0x99, 0x32, 0xb8, 0x53, 0xa5,
    0xa5, 0x79, 0xdf, 0xbe, 0x5b, 0xbb, 0xc5, 0x4c, 0x95, 0xcb, 0xbb, 0x43, 0x11, 0xde, 0x60, 0x8a};

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
        EXPECT_EQ(CheckKeys(CngCrypto(), kKeys, Bytes(kKeysSignature), c.root, c.accepted, c.now, &keys), c.verdict);
        EXPECT_EQ(keys.keys.size(), c.verdict == ReleaseVerdict::kBadKeysSignature ? 0u : 1u);
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }

    KeysDocument keys, others, newer;
    ASSERT_EQ(CheckKeys(CngCrypto(), kKeys, Bytes(kKeysSignature), kRoot, 0, now, &keys), ReleaseVerdict::kAccepted);
    newer = others = keys;
    newer.version = 2;
    std::copy(std::begin(kStranger), std::end(kStranger), others.keys[0].begin());
    KeysDocument two = others;  // the stranger and the release key, both needed
    two.keys.push_back(keys.keys[0]);
    two.threshold = 2;
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
        {"one of the two signatures needed", kManifest, two, {}, now, ReleaseVerdict::kTooFewSignatures},
        {"a newer keys version that kept its key", kManifest, newer, {}, now, ReleaseVerdict::kOtherKeysVersion},
    };
    for (const auto& c : manifests) {
        SCOPED_TRACE(c.what);
        Manifest manifest;
        EXPECT_EQ(CheckManifest(CngCrypto(), c.manifest, Bytes(kManifestSignature), c.keys, c.record, c.now, &manifest),
                  c.verdict);
        const bool unread =
            c.verdict == ReleaseVerdict::kBadSignature || c.verdict == ReleaseVerdict::kTooFewSignatures;
        EXPECT_EQ(manifest.release, unread ? 0u : 5u) << "read when it names the release it offers";
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }

    Manifest manifest;
    ASSERT_EQ(CheckManifest(CngCrypto(), kManifest, Bytes(kManifestSignature), keys, {}, now, &manifest),
              ReleaseVerdict::kAccepted);
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
