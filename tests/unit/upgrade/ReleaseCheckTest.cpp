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
    "Signed: 2026-12-09T09:30:52Z\n"
    "Expires: 2027-12-08T00:00:00Z\n"
    "Threshold: 1\n"
    "Key: "
    "664225c3b339984d71795cfbde9139bb1cb6e50e5faadbdb0ad8ecfa8f55a64f589a60473d423761b6bfd306cdfb9b0662c448645fbcd0daeb"
    "af33b3c3ae2d91\n";
const std::string kManifest =
    "Quillstone-Manifest: 4\n"
    "Release: 5\n"
    "Keys-Version: 1\n"
    "Signed: 2026-12-09T09:30:52Z\n"
    "Expires: 2027-03-08T00:00:00Z\n"
    "File:"
    " one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6 72 eedd389d7b8fdb29a056981c86d399e469b"
    "a80013b40a99f63f5dbe5fd1b0c23\n";
const unsigned char kRoot[64] = {0x92, 0x9e, 0xfb, 0xf3, 0x0a, 0x04, 0x3f, 0xf0, 0xb7, 0xea, 0x29, 0x36, 0x40,
                                 0x5f, 0x00, 0x0e, 0x13, 0xbf, 0x98, 0xd4, 0x7c, 0x48, 0x8b, 0x0a, 0xcd, 0xe7,
                                 0x30, 0x91, 0x87, 0x03, 0x2f, 0xdb, 0xea, 0xd9, 0x0e, 0x10, 0x28, 0xb3, 0xfc,
                                 0x8a, 0x79, 0x56, 0x76, 0x16, 0x67, 0xde, 0xcb, 0xac, 0xc0, 0x76, 0x2b, 0xec,
                                 0x51, 0x65, 0xa5, 0x86, 0xf3, 0x06, 0x20, 0x3f, 0xff, 0xb6, 0x06, 0xac};
const unsigned char kStranger[64] = {0xa6, 0xab, 0x60, 0x2d, 0x6d, 0x02, 0x54, 0x48, 0x10, 0x27, 0xa1, 0x31, 0x81,
                                     0x41, 0xcf, 0x60, 0x00, 0x3b, 0x17, 0xc1, 0x91, 0xdc, 0x8e, 0x4a, 0xe7, 0xb6,
                                     0xca, 0xae, 0x86, 0xe1, 0x98, 0x2c, 0x42, 0x79, 0x5d, 0x15, 0x2f, 0x26, 0x68,
                                     0x1b, 0x5e, 0x05, 0xf7, 0x93, 0x13, 0x8c, 0x7e, 0x84, 0xd8, 0x59, 0x1f, 0xa1,
                                     0x4d, 0x22, 0xf5, 0xf0, 0xa2, 0xbe, 0xc5, 0x3a, 0x43, 0x71, 0xa2, 0x86};
// r and s of the two signatures.
const unsigned char kKeysSignature[64] = {0xc3, 0xf1, 0x1f, 0x43, 0xa2, 0xe9, 0x67, 0xef, 0xff, 0x74, 0x78, 0x6e, 0x22,
                                          0x23, 0x99, 0x85, 0xc8, 0xfa, 0x07, 0xf6, 0xc7, 0x9b, 0x44, 0xc1, 0xb7, 0x63,
                                          0xae, 0xfa, 0x0b, 0x36, 0x96, 0xf3, 0x2e, 0x6c, 0xa2, 0xe2, 0x98, 0x3f, 0x98,
                                          0x23, 0x18, 0x76, 0x29, 0x4a, 0x97, 0x95, 0x2e, 0x31, 0xae, 0x2c, 0x2d, 0xa0,
                                          0xa6, 0x7f, 0xa2, 0xeb, 0xaa, 0x85, 0x9b, 0x73, 0x11, 0x69, 0x04, 0xc1};
const unsigned char kManifestSignature[64] = {
    0xae, 0x7f, 0x82, 0xa7, 0x57, 0xb9, 0xf0, 0x0c, 0x60, 0x0e, 0x2c, 0x5f, 0x16, 0xc0, 0xf3, 0xd9,
    0x75, 0xa4, 0xf6, 0x83, 0xec, 0x08, 0x8d, 0xd6, 0x1c, 0x1a, 0x8e, 0xbc, 0x8c, 0x91, 0x36, 0x85,
    0x0e, 0x60, 0x29, 0x4c, 0x44, 0x45, 0x59, 0x8f, 0x93, 0xa9, 0x6f, 0xb0, 0x94, 0xc9, 0x6b, 0xf4,
    0xad, 0xe4, 0xaa, 0xe1, 0x0d, 0xf7, 0x13, 0xfe, 0x65, 0x97, 0x9b, 0x15, 0xb7, 0x2b, 0xb1, 0xee};

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
