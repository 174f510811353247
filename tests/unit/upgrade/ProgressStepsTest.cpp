#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

}  // namespace
