// Windows' cryptography is in memory only while a signed release is checked:
// a build without a publisher's key never loads bcrypt.dll, and a check lets
// it go again, with the same verdicts. This program imports nothing that
// loads it (the other upgrade tests sign with it, so they cannot tell), and
// its signature was made by OpenSSL, as the publisher's tool makes them.
#include "upgrade/ReleaseCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/upgrade/JobFixtures.h"

using namespace jobtest;

namespace {

bool CryptographyLoaded() { return GetModuleHandleW(L"bcrypt.dll") != nullptr; }

const std::string kManifest =
    "Quillstone-Manifest: 1\nRelease: 5\n"
    "File: one.txt 7 20a96de1d7f9c25045cc7e54a249e23a8129c6ad5bb98888895e28be303334e6\n";
const unsigned char kPublisher[64] = {0x41, 0x3e, 0xc4, 0x9a, 0xb9, 0xaa, 0xb4, 0x9b, 0xf8, 0x3b, 0xd1, 0x05, 0x7d,
                                      0xcc, 0x90, 0xe8, 0x17, 0x8e, 0xcc, 0x49, 0xff, 0x96, 0x7c, 0x90, 0x46, 0x6a,
                                      0xcc, 0xe1, 0x3c, 0xb0, 0xa3, 0x3c, 0x83, 0xae, 0x23, 0x54, 0x02, 0x66, 0x2c,
                                      0xbe, 0x8e, 0x91, 0x88, 0x0e, 0xf8, 0x82, 0xd5, 0xa6, 0x6b, 0xdd, 0x7f, 0x39,
                                      0xf5, 0x85, 0x5b, 0xda, 0x51, 0xe9, 0x50, 0xb3, 0x0c, 0x81, 0x81, 0x7c};
const unsigned char kStranger[64] = {0xec, 0x67, 0xd9, 0x7c, 0x72, 0xd1, 0x5e, 0xd0, 0x76, 0xba, 0xf0, 0x4b, 0x63,
                                     0x8f, 0x01, 0x4a, 0xed, 0xe7, 0x08, 0x55, 0x58, 0xad, 0xc3, 0x6e, 0x76, 0x39,
                                     0xc2, 0x5a, 0xc1, 0x70, 0xda, 0xc8, 0xf9, 0x7f, 0xb1, 0xda, 0x47, 0xf5, 0x1e,
                                     0xc9, 0xf7, 0xa1, 0x83, 0x5f, 0x9a, 0x49, 0xdc, 0x13, 0x5b, 0x3d, 0x97, 0x54,
                                     0x5d, 0x81, 0xb6, 0x1c, 0x9e, 0xac, 0x2b, 0xfb, 0xec, 0x30, 0xb5, 0x83};
// r and s of the publisher's signature over kManifest.
const unsigned char kSignature[64] = {0x9a, 0x89, 0x67, 0xb4, 0x75, 0x57, 0x82, 0xc9, 0xd5, 0x73, 0x9e, 0xfc, 0xa5,
                                      0x36, 0xe5, 0x5e, 0xba, 0xc8, 0xfc, 0xc3, 0x07, 0x01, 0x64, 0x97, 0x6d, 0x46,
                                      0xb4, 0xff, 0x4e, 0xac, 0x1d, 0x44, 0x07, 0x4d, 0x86, 0xb0, 0xc4, 0x46, 0x1d,
                                      0x10, 0xb2, 0xcb, 0xe6, 0xad, 0x05, 0x75, 0xfa, 0xd6, 0x2e, 0xbb, 0x37, 0x93,
                                      0x63, 0xfc, 0x2b, 0x48, 0x11, 0x2c, 0xc7, 0x25, 0x11, 0xae, 0x09, 0x0c};

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
    const std::string signature(reinterpret_cast<const char*>(kSignature), sizeof kSignature);
    std::string changed = kManifest;
    changed[changed.size() - 2] ^= 1;
    const struct {
        const char* what;
        std::string manifest;
        const unsigned char* key;
        std::uint64_t installed;
        ReleaseVerdict verdict;
    } manifests[] = {
        {"a valid release", kManifest, kPublisher, 0, ReleaseVerdict::kAccepted},
        {"the release installed already", kManifest, kPublisher, 5, ReleaseVerdict::kAccepted},
        {"an older release", kManifest, kPublisher, 6, ReleaseVerdict::kOlderRelease},
        {"a changed byte", changed, kPublisher, 0, ReleaseVerdict::kBadSignature},
        {"another publisher's key", kManifest, kStranger, 0, ReleaseVerdict::kBadSignature},
    };
    ASSERT_FALSE(CryptographyLoaded()) << "something else in this program holds bcrypt.dll";
    for (const auto& c : manifests) {
        SCOPED_TRACE(c.what);
        Manifest manifest;
        EXPECT_EQ(CheckManifest(c.manifest, signature, c.key, c.installed, &manifest), c.verdict);
        EXPECT_EQ(manifest.release,
                  c.verdict == ReleaseVerdict::kAccepted || c.verdict == ReleaseVerdict::kOlderRelease ? 5u : 0u)
            << "read when it names the release it offers";
        EXPECT_FALSE(CryptographyLoaded()) << "released after the check";
    }

    Manifest manifest;
    ASSERT_EQ(CheckManifest(kManifest, signature, kPublisher, 0, &manifest), ReleaseVerdict::kAccepted);
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
