#include <gtest/gtest.h>

#include <string>

#include "trust/Manifest.h"

namespace {

const std::string kDigest(64, 'a');
// A block map of 36 bytes, as every file line ends.
const std::string kMap = " 36 " + std::string(64, 'b');

TEST(Manifest, ReadsOnlyExactlyTheFormatThePublisherWrites) {
    const std::string head =
        "Quillstone-Manifest: 4\nRelease: 42\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\nExpires: "
        "2027-03-08T14:00:00Z\n";
    const std::string expires = "Signed: 2026-12-08T14:00:00Z\nExpires: 2027-03-08T14:00:00Z\n";
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        // clang-format off
        {head, true},
        {head + "File: Marlowcast.exe 1234 " + kDigest + kMap + "\n", true},
        {head + "File: a b.txt 0 " + kDigest + kMap + "\nFile: c.UIB 7 " + kDigest + kMap + "\n", true},  // spaces in a name
        {head + "File: skins\\skin.dat 1 " + kDigest + kMap + "\nPackage: skins\\skin.dat.uib 7 " + kDigest + " 9 " +
         kDigest + kMap + "\n", true},  // the folders are the entry's
        {head + "File: a.txt 1 " + kDigest + "\n", false},                   // without its block map
        {head + "File: a.txt 1000000 " + kDigest + " 14096 " + kDigest + "\n", true},  // a map of 1 % and 4 KiB
        {head + "File: a.txt 1000000 " + kDigest + " 14097 " + kDigest + "\n", false},  // and one byte more
        {head + "File: skin.dat.uib 7 " + kDigest + kMap + "\n", false},            // a package without what it decodes to
        {head + "Package: skin.dat 7 " + kDigest + " 9 " + kDigest + kMap + "\n", false},  // decoded, but no package
        {"Quillstone-Manifest: 4\nRelease: 18446744073709551615\nKeys-Version: 1\n" + expires, true},
        {"Quillstone-Manifest: 4\nRelease: 18446744073709551616\nKeys-Version: 1\n" + expires, false},  // past 64 bits
        {"Quillstone-Manifest: 4\nRelease: -1\nKeys-Version: 1\n" + expires, false},
        {"Quillstone-Manifest: 4\nRelease: \nKeys-Version: 1\n" + expires, false},
        {"Quillstone-Manifest: 2\nRelease: 1\n" + expires, false},  // the form without a keys version
        {"Quillstone-Manifest: 3\nRelease: 1\nKeys-Version: 1\n" + expires, false},  // the form without block maps
        {"Quillstone-Manifest: 4\nRelease: 1\n" + expires, false},
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 18446744073709551616\n" + expires, false},
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\n", false},  // no expiry
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nExpires: 2027-03-08T14:00:00Z\n", false},  // not when signed
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\nExpires: 2028-02-29T23:59:59Z\n", true},  // a leap day
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\nExpires: 2027-02-29T00:00:00Z\n", false},
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\nExpires: 2027-03-08 14:00:00Z\n", false},
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\nSigned: 2026-12-08T14:00:00Z\nExpires: 2027-03-08T14:00:00+01:00\n", false},
        {"Quillstone-Manifest: 4\nKeys-Version: 1\n" + expires, false},                  // no release
        {"Quillstone-Manifest: 4\nRelease: 1\nKeys-Version: 1\n" + expires.substr(0, expires.size() - 1), false},  // last line without its end
        {"Quillstone-Manifest: 4\r\nRelease: 1\r\nKeys-Version: 1\r\n" + expires, false},
        {head + "\n", false},                                           // a blank line
        {head + "Note: hello\n", false},
        {head + "File: a.txt 1 " + std::string(64, 'A') + kMap + "\n", false},  // upper-case digest
        {head + "File: a.txt 1 " + std::string(63, 'a') + kMap + "\n", false},
        {head + "File: a.txt x " + kDigest + kMap + "\n", false},
        {head + "File:  1 " + kDigest + kMap + "\n", false},                   // no name
        {head + "File: a\tb 1 " + kDigest + kMap + "\n", false},               // a control byte in the name
        {head + "File: " + std::string(64, 'n') + " 1 " + kDigest + kMap + "\n", true},   // as long as a list entry
        {head + "File: " + std::string(65, 'n') + " 1 " + kDigest + kMap + "\n", false},  // longer than any
        {head + "File: caf\xc3\xa9.txt 1 " + kDigest + kMap + "\n", false},  // one name here, another under cp932
        {head + "File: a 1 " + kDigest + kMap + "\nFile: a 2 " + kDigest + kMap + "\n", false},  // a name twice
        {"", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        Manifest manifest;
        EXPECT_EQ(ParseManifest(c.text, &manifest), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(FormatManifest(manifest), c.text) << "read back as it was written";
        }
    }
    Manifest big;
    EXPECT_FALSE(ParseManifest(head + std::string(kManifestLimit, 'x'), &big)) << "longer than 64 KiB";
}

}  // namespace
