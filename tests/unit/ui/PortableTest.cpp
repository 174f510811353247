#include <gtest/gtest.h>

#include <string>

#include "ui/ProgressMath.h"
#include "upgrade/TempDir.h"

namespace {

TEST(ProgressPercent, ShowsTheFamiliarNumbers) {
    constexpr std::uint32_t kMax = 0xFFFFFFFFu;
    const struct {
        std::uint32_t pos, range;
        int percent;
    } cases[] = {
        // clang-format off
        {0, 0, 0}, {50, 0, 0}, {0, 1, 0}, {1, 1, 100}, {2, 1, 100}, {1, 3, 35}, {2, 3, 71},
        // Factor 106: 100 is shown from about 93.9 percent of the range on.
        {0, 100, 0}, {1, 100, 1}, {50, 100, 53}, {93, 100, 99}, {94, 100, 100}, {101, 100, 100},
        {kMax, 100, 100}, {kMax, kMax, 100},
        // Single precision: double arithmetic would give 99 and 0 here.
        {4031596416u, kMax, 100}, {20259279u, kMax, 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressPercent(c.pos, c.range), c.percent) << c.pos << " of " << c.range;
    }
}

TEST(TempDir, KeepsTheFolderWithoutOneTrailingBackslash) {
    const std::wstring long511 = L"C:\\" + std::wstring(507, L'd') + L"\\";
    const struct {
        std::wstring reported;  // what the query wrote
        std::size_t length;     // what it returned
        std::wstring kept;
    } cases[] = {
        // clang-format off
        {L"C:\\temp\\", 8, L"C:\\temp"}, {L"C:\\temp", 7, L"C:\\temp"}, {L"C:\\temp\\\\", 9, L"C:\\temp\\"},
        {L"C:\\", 3, L"C:"}, {L"C:\\tmp\\junk", 7, L"C:\\tmp"}, {long511, 511, long511.substr(0, 510)},
        // Failed, or asking for a larger buffer: no folder at all.
        {L"", 0, L""}, {L"C:\\x\\", 512, L""}, {L"C:\\x\\", 600, L""},
        // clang-format on
    };
    for (const auto& c : cases) {
        wchar_t buffer[512] = {};
        c.reported.copy(buffer, 511);
        EXPECT_EQ(TrimTempDir(buffer, c.length, 512), c.kept.size()) << "length " << c.length;
        EXPECT_EQ(std::wstring(buffer), c.kept) << "length " << c.length;
    }
}

}  // namespace
