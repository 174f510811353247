#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "upgrade/ArrivalPace.h"
#include "upgrade/ProgressSteps.h"

namespace {

TEST(ProgressSteps, FileBarMovesOncePerReadAndShows100OnlyAtTheEnd) {
    std::vector<int> noLength;  // one point a read, 99 held from the 99th read
    for (int read = 1; read <= 150; ++read) noLength.push_back(read < 99 ? read : 99);
    noLength.push_back(100);
    const struct {
        std::uint32_t contentLength;
        std::vector<int> shown;  // after each read with data, then at the end
    } cases[] = {
        // clang-format off
        {4096, {25, 50, 75, 99, 100}}, {2048, {50, 99, 100}}, {1024, {99, 99, 99, 100}},
        {2500, {40, 81, 99, 100}},  // truncated, not rounded
        {1048576, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 100}}, {0, noLength},
        // clang-format on
    };
    for (const auto& c : cases) {
        FileProgress bar(c.contentLength);
        std::vector<int> shown;
        for (std::size_t read = 1; read < c.shown.size(); ++read) shown.push_back(bar.OnRead());
        shown.push_back(FileProgress::Done());
        EXPECT_EQ(shown, c.shown) << c.contentLength;
    }
}

TEST(ProgressSteps, OverallBarFillsHalfByDownloadsAndShows100OnlyAtTheEnd) {
    const struct {
        int entries;
        std::vector<int> shown;  // after each download, each installation, then at the end
    } cases[] = {
        {4, {12, 25, 37, 50, 62, 75, 87, 99, 100}},
        {1, {50, 99, 100}},
        {3, {16, 33, 50, 66, 83, 99, 100}},
    };
    for (const auto& c : cases) {
        OverallProgress bar(c.entries);
        std::vector<int> shown;
        for (int i = 0; i < c.entries; ++i) shown.push_back(bar.OnDownloaded());
        for (int i = 0; i < c.entries; ++i) shown.push_back(bar.OnInstalled());
        shown.push_back(OverallProgress::Done());
        EXPECT_EQ(shown, c.shown) << c.entries << " entries";
    }
}

// The pace a download must keep, on a clock the test moves: each row is the
// answer's bytes in all at each moment (ms after the request), and the first
// moment, if any, at which the download fails.
TEST(ArrivalPace, SlowLinksKeepItAndTricklesLoseItWithinAMinute) {
    constexpr std::uint64_t k = kPaceBytes;
    const struct {
        const char* what;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> arrived;  // (ms, bytes in all)
        int failsAt;                                                   // index into arrived; -1: never
    } cases[] = {
        {"nothing at all, not even the header", {{59000, 0}, {60000, 0}, {60001, 0}}, 2},
        {"300 bytes a second, a slow link", {{30000, 9000}, {56000, k + 800}, {110000, 2 * k + 900}}, -1},
        {"a byte every 14 s, never silent for 15 s", {{14000, 1}, {28000, 2}, {56000, 4}, {70000, 5}}, 3},
        {"16 KiB a minute exactly", {{60000, k}, {120000, 2 * k}, {180000, 3 * k}}, -1},
        {"just short of 16 KiB a minute", {{60000, k - 1}, {60001, k - 1}}, 1},
        {"a clock that goes back", {{100, k}, {50, k + 1}, {60099, k + 2}}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ArrivalPace pace(0);
        int failed = -1;
        for (std::size_t i = 0; i < c.arrived.size(); ++i) {
            if (!pace.Keeps(c.arrived[i].first, c.arrived[i].second) && failed < 0) failed = static_cast<int>(i);
        }
        EXPECT_EQ(failed, c.failsAt);
    }
}

}  // namespace
