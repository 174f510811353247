#include <gtest/gtest.h>

#include <string>

#include "install/EntryPath.h"
#include "upgrade/UrlName.h"

namespace {

using namespace std::string_literals;

TEST(EntryPath, InstallsOnlyPlainNamesBelowTheInstallationFolder) {
    const std::string safe[] = {
        // clang-format off
        "Marlowcast.exe", "lang\\de.uib", "a\\b\\c.dll", "a.UIB", ".hidden", "a b.txt", "\xE9t\xE9\\x",
        // Like devices, but none.
        "console.txt", "COM10", "LPT", "x.con", "sub\\auxiliary",
        // Like the installation's own names, but none.
        "x.~new.txt", "x.~oldx", "x~old", "sub\\Quillstone-upgrade.journal", "Quillstone-upgrade.journal.txt",
        // clang-format on
    };
    const std::string unsafe[] = {
        // clang-format off
        "", "\\a", "/a", "C:a", "C:\\a", "\\\\server\\share\\a", "\\\\?\\C:\\a",
        ".", "..", "..\\a", "a\\..\\..\\b", "a\\.\\b", "...", "a.", "a ", "sub.\\a", "sub \\a",
        "a\\\\b", "a\\", "a/b", "a:b", "a.txt:s", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\tb",
        "\x1F", "a\0b"s,
        "con", "CON", "con.txt", "Con.tar.gz", "con .txt", "sub\\nul", "nul\\x", "aux.dll", "prn",
        "COM1", "com9.log", "lpt1", "LPT9.txt", "COM0", "com\xB9",
        // A package decodes into the entry without ".uib".
        ".uib", "sub\\.uib", "a..uib", "a .uib",
        // The installation's own names: staged and kept copies, the journal.
        "x.~new", "x.~old", "x.~OLD", "sub\\x.~new7", "x.~old12", "x.~old.uib",
        "Quillstone-upgrade.journal", "QUILLSTONE-UPGRADE.JOURNAL", "Quillstone-upgrade.journal.~new",
        "Quillstone-upgrade.journal.rejected", "Quillstone-upgrade.journal.uib",
        // clang-format on
    };
    for (const auto& entry : safe) EXPECT_TRUE(IsSafeEntry(entry)) << '"' << entry << '"';
    for (const auto& entry : unsafe) EXPECT_FALSE(IsSafeEntry(entry)) << '"' << entry << '"';
    EXPECT_EQ(NamePart("a\\b\\c.exe"), "c.exe");
    EXPECT_EQ(NamePart("c.exe"), "c.exe");
}

TEST(UrlName, EncodesOnlyWhatAUrlPathCannotCarry) {
    const struct {
        std::string name, url;
    } cases[] = {
        // clang-format off
        {"Marlowcast.exe", "Marlowcast.exe"}, {"pack_1-2.uib", "pack_1-2.uib"},
        {"~!$&'()*+,;=@", "~!$&'()*+,;=@"}, {"a b.txt", "a%20b.txt"}, {"100%", "100%25"},
        {"a#b?c", "a%23b%3Fc"}, {"/:\\\"<>[]^`{|}", "%2F%3A%5C%22%3C%3E%5B%5D%5E%60%7B%7C%7D"},
        {"caf\xE9\xFF", "caf%E9%FF"}, {"\x01\x7F"s + '\0', "%01%7F%00"},
        // clang-format on
    };
    for (const auto& c : cases) EXPECT_EQ(EncodeUrlNamePart(c.name), c.url);
}

}  // namespace
