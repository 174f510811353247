#include <gtest/gtest.h>

#include <string>

#include "upgrade/Manifest.h"

namespace {

const std::string kDigest(64, 'a');

TEST(Manifest, ReadsOnlyExactlyTheFormatThePublisherWrites) {
    const std::string head = "Quillstone-Manifest: 1\nRelease: 42\n";
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        // clang-format off
        {head, true},
        {head + "File: Marlowcast.exe 1234 " + kDigest + "\n", true},
        {head + "File: a b.txt 0 " + kDigest + "\nFile: c.uib 7 " + kDigest + "\n", true},  // spaces in a name
        {"Quillstone-Manifest: 1\nRelease: 18446744073709551615\n", true},
        {"Quillstone-Manifest: 1\nRelease: 18446744073709551616\n", false},  // past 64 bits
        {"Quillstone-Manifest: 1\nRelease: -1\n", false},
        {"Quillstone-Manifest: 1\nRelease: \n", false},
        {"Quillstone-Manifest: 2\nRelease: 1\n", false},
        {"Quillstone-Manifest: 1\n", false},                            // no release
        {"Quillstone-Manifest: 1\nRelease: 1", false},                  // last line without its end
        {"Quillstone-Manifest: 1\r\nRelease: 1\r\n", false},
        {head + "\n", false},                                           // a blank line
        {head + "Note: hello\n", false},
        {head + "File: a.txt 1 " + std::string(64, 'A') + "\n", false},  // upper-case digest
        {head + "File: a.txt 1 " + std::string(63, 'a') + "\n", false},
        {head + "File: a.txt x " + kDigest + "\n", false},
        {head + "File:  1 " + kDigest + "\n", false},                   // no name
        {head + "File: a\tb 1 " + kDigest + "\n", false},               // a control byte in the name
        {head + "File: a 1 " + kDigest + "\nFile: a 2 " + kDigest + "\n", false},  // a name twice
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
