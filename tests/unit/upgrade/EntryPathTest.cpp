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
        // Names an installation once kept beside its targets: no longer its own.
        "x.~new", "x.~old", "sub\\x.~new7", "x.~old.uib", "lang.~old\\lang.dat.uib", "Quillstone-upgrade.journal",
        "Quillstone-upgrade.journal.rejected\\x", "Marlowcast.exe.~old\\Marlowcast.exe", "Quillstone-upgrade.txt",
        // Like short names, but none.
        "a~b.txt", "longer~1.text", "nine-char~1", "~1",
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
        // The installation's own folder, as any name of the path.
        "Quillstone-upgrade", "quillstone-UPGRADE\\journal", "Quillstone-upgrade\\1.old", "sub\\Quillstone-upgrade\\x",
        "Quillstone-upgrade.uib",
        // Shaped like short names, which may be other spellings of long ones.
        "MARLOW~1.EXE", "marlo~12.exe", "QUILLS~1\\journal", "sub\\LANG~1\\x.dat", "A~1", "DE~1.uib",
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
