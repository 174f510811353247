// A download whose answer ends early, against a server that cuts, ignores
// ranges, answers the wrong range, changes the file or refuses the range.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/RangeServer.h"
#include "tests/support/TestEventLog.h"
#include "tests/unit/upgrade/JobFixtures.h"
#include <cstdio>

#include "UibWriter.h"
#include "base/AnsiText.h"
#include "trust/BlockMap.h"
#include "upgrade/Download.h"

using namespace jobtest;
using e2e::RangeServer;

namespace {

constexpr std::uint64_t kSize = 100000;
const std::string kETag = "\"5f3a-186a0\"";
const std::string kModified = "Wed, 09 Dec 2026 05:00:00 GMT";

std::string Content() {
    std::string bytes(kSize, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

std::string ReadThrough(HANDLE file) {
    LARGE_INTEGER start = {};
    std::string bytes(kSize + 1, '\0');
    DWORD got = 0;
    const bool read = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
                      ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    return read ? bytes.substr(0, got) : "unreadable";
}

RangeServer::Step Cut(std::uint64_t at) { return {RangeServer::Fault::kCut, at}; }

TEST(Resumption, ACutDownloadAsksForTheRestAndChecksWhatComes) {
    using F = RangeServer::Fault;
    const RangeServer::Step five[] = {Cut(10000), Cut(20000), Cut(30000), Cut(40000), Cut(50000)};
    // clang-format off
    const struct {
        const char* name;
        std::string etag, modified;
        bool bounded;
        std::vector<RangeServer::Step> steps;
        bool ok, changed;                  // changed: the file comes as the server changed it
        std::uint64_t sent;                // file bytes on the wire (0: not counted)
        std::vector<std::uint64_t> starts;  // where each request's range starts
        std::string logged;
    } cases[] = {
        {"a cut at 90 % costs only the rest", kETag, kModified, true, {Cut(90000)}, true, false, kSize,
         {0, 90000}, "cut at 90,000 bytes: resuming (1 of 5)"},
        {"a server that ignores the range: the file starts again", kETag, kModified, true,
         {Cut(50000), {F::kIgnoreRange}}, true, false, 50000 + kSize, {0, 50000}, "starts again from 0"},
        {"a file changed on the server comes whole again", kETag, kModified, true,
         {Cut(50000), {F::kChangeFile}}, true, true, 50000 + kSize, {0, 50000}, "starts again from 0"},
        {"after a change, a cut is resumed against the file as it is now", kETag, kModified, true,
         {Cut(50000), {F::kChangeFile, 70000}}, true, true, 50000 + kSize, {0, 50000, 70000},
         "cut at 70,000 bytes: resuming (2 of 5)"},
        {"a 206 that starts elsewhere is refused", kETag, kModified, true, {Cut(50000), {F::kWrongStart}},
         false, false, 0, {0, 50000}, "does not start at 50000"},
        {"a 416 is refused", kETag, kModified, true, {Cut(50000), {F::kRefuseRange}}, false, false, 0,
         {0, 50000}, "failed: HTTP status 416"},
        {"five cuts are resumed", kETag, kModified, true, {five, five + 5}, true, false, kSize,
         {0, 10000, 20000, 30000, 40000, 50000}, "cut at 50,000 bytes: resuming (5 of 5)"},
        {"a sixth cut fails the download", kETag, kModified, true,
         {Cut(10000), Cut(20000), Cut(30000), Cut(40000), Cut(50000), Cut(60000)}, false, false, 60000,
         {0, 10000, 20000, 30000, 40000, 50000}, "resuming (5 of 5)"},
        {"a weak ETag: Last-Modified guards the rest", "W/\"5f3a\"", kModified, true, {Cut(90000)}, true,
         false, kSize, {0, 90000}, "resuming (1 of 5)"},
        {"without ETag or Last-Modified a cut is not resumed", "", "", true, {Cut(90000)}, false, false,
         90000, {0}, "failed"},
        {"unbounded: no range until the cut", kETag, kModified, false, {Cut(90000)}, true, false, kSize,
         {0, 90000}, "cut at 90,000 bytes: resuming (1 of 5)"},
    };
    // clang-format on
    const std::string bound = std::to_string(kSize);
    const std::string content = Content();
    std::string changed = content;
    for (char& c : changed) c = static_cast<char>(~c);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testlog::LogFolder log;
        Folders folders;
        // The waits between resumptions pass on this clock, ten times faster
        // than the real one or more.
        std::atomic<std::uint64_t> now{1000000};
        const auto clock = [&now] { return now += 100; };
        RangeServer server(kServerPort, content, c.etag, c.modified, c.steps, clock);
        ASSERT_TRUE(server.Listening());
        const std::wstring path = folders.Temp() + L"\\file.tmp";
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        ASSERT_TRUE(file);
        StopFlag running;
        running.Start();
        std::vector<std::uint32_t> bar;
        const DownloadBounds bounds{c.bounded ? kSize : UINT64_MAX, VolumeFreeSpace, 0, clock};
        const bool ok = DownloadFile(
            L"http://127.0.0.1:" + std::to_wstring(kServerPort) + L"/upgrade/file.bin", path, file.Get(), running,
            [&bar](std::uint32_t at) { bar.push_back(at); }, bounds);

        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(ReadThrough(file.Get()), c.ok ? (c.changed ? changed : content) : "");
        if (c.sent) {
            EXPECT_EQ(server.BytesSent(), c.sent);
        }
        // Each resumption asks for the rest up to the bound, guarded by the
        // strong ETag, or else the Last-Modified, of the answer that brought
        // the file from its start: the first, or the one after a change.
        const std::vector<RangeServer::Request> requests = server.Requests();
        std::vector<std::pair<std::string, std::string>> asked, expected;
        for (const auto& r : requests) asked.emplace_back(r.range, r.ifRange);
        std::string validator = c.etag[0] == '"' ? c.etag : c.modified;
        for (std::size_t i = 0; i < c.starts.size(); ++i) {
            const std::uint64_t start = c.starts[i];
            const bool ranged = c.bounded || start > 0;
            expected.emplace_back(ranged ? "bytes=" + std::to_string(start) + "-" + (c.bounded ? bound : "") : "",
                                  start == 0 ? "" : validator);
            if (i < c.steps.size() && c.steps[i].fault == F::kChangeFile) {
                validator = "\"changed-" + std::to_string(i) + "\"";
            }
        }
        EXPECT_EQ(asked, expected);
        // 1, 2, 4, 8 and 16 s apart at least, on the download's clock.
        for (std::size_t i = 1; i < requests.size(); ++i) {
            EXPECT_GE(requests[i].when - requests[i - 1].when, 1000u << (i - 1)) << "before request " << i;
        }
        // The bar goes back only when the file starts again.
        int back = 0;
        for (std::size_t i = 1; i < bar.size(); ++i) back += bar[i] < bar[i - 1];
        const bool restarts = std::any_of(c.steps.begin(), c.steps.end(), [](const RangeServer::Step& step) {
            return step.fault == F::kIgnoreRange || step.fault == F::kChangeFile;
        });
        EXPECT_EQ(back, c.ok && restarts ? 1 : 0);
        if (c.ok) {
            EXPECT_EQ(bar.back(), 100u);
        }
        bool found = false;
        for (const std::string& event : testlog::Events(log.Log())) {
            found = found || event.find(c.logged) != std::string::npos;
        }
        EXPECT_TRUE(found) << c.logged;
    }
}

// With a signed block map: only the pieces not held are asked for, each is
// checked as it completes, and a cut costs the piece it fell in.
TEST(Resumption, AFileWithABlockMapAsksOnlyForWhatItLacksAndChecksEachPiece) {
    using F = RangeServer::Fault;
    std::string plain(4 * kPieceSize + 1000, '\0');
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 7 + i / 251 + i / 65521);
    std::vector<unsigned char> packed;
    uib::PackUib(plain.data(), plain.size(), uib::PackOptions{1, 0}, &packed);
    const std::string package(packed.begin(), packed.end());
    const std::uint64_t size = plain.size(), p2 = 2 * kPieceSize;
    const auto range = [](std::uint64_t from, std::uint64_t to) {
        return "bytes=" + std::to_string(from) + "-" + std::to_string(to - 1);
    };
    // clang-format off
    const struct {
        const char* name;
        bool package;
        std::vector<bool> held;
        std::vector<RangeServer::Step> steps;
        bool ok;
        std::uint64_t sent;              // on the wire (0: not counted)
        std::vector<std::string> asked;  // each request's Range
        std::string logged;
    } cases[] = {
        {"a cut costs the piece it fell in", false, {}, {Cut(150000)}, true, 150000 + size - p2,
         {range(0, size), range(p2, size)}, "cut at 150,000 bytes: resuming from 131,072 (1 of 5)"},
        {"the missing pieces only, adjacent ones in one range", false, {1, 1, 0, 0, 1}, {}, true, p2,
         {range(p2, 4 * kPieceSize)}, "Downloaded"},
        {"a held piece between missing ones is asked for with them", false, {0, 1, 0, 1, 1}, {}, true, 3 * kPieceSize,
         {range(0, 3 * kPieceSize)}, "Downloaded"},
        {"a wrong piece is asked for once more", false, {}, {{F::kCorrupt, 70000}}, true, 0,
         {range(0, size), range(kPieceSize, size)}, "came wrong (its SHA-256 is not the one signed); asking for it again"},
        {"wrong twice ends the download", false, {}, {{F::kCorrupt, 70000}, {F::kCorrupt, 70000}}, false, 0,
         {range(0, size), range(kPieceSize, size)}, "the piece at 65,536 bytes came wrong twice"},
        {"a 200 for a range: the whole file, the held pieces kept", false, {1, 1, 0, 0, 0},
         {{F::kIgnoreRange}}, true, size, {range(p2, size)}, "the pieces held already are kept"},
        {"a 416 is refused", false, {1, 0, 0, 0, 0}, {{F::kRefuseRange}}, false, 0, {range(kPieceSize, size)},
         "failed: HTTP status 416"},
        {"a package's missing pieces are decoded into place", true, {1, 0, 1, 1, 1}, {}, true, 0, {},
         "Downloaded"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testlog::LogFolder log;
        Folders folders;
        std::atomic<std::uint64_t> now{1000000};
        const auto clock = [&now] { return now += 100; };
        const std::string& served = c.package ? package : plain;
        RangeServer server(kServerPort, served, kETag, kModified, c.steps, clock);
        ASSERT_TRUE(server.Listening());
        std::FILE* f = std::fopen(ToUtf8(folders.Temp() + L"\\served").c_str(), "w+b");
        ASSERT_TRUE(f);
        std::fwrite(served.data(), 1, served.size(), f);
        std::rewind(f);
        BlockMap map;
        ASSERT_TRUE(MakeBlockMap(f, c.package, &map));
        std::fclose(f);
        ASSERT_EQ(map.pieces.size(), 5u);

        // What is held is in the file already; the rest is not.
        const std::wstring path = folders.Temp() + L"\\file.tmp";
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        ASSERT_TRUE(file);
        std::string before(plain.size(), 'x');
        std::vector<bool> held = c.held;
        held.resize(map.pieces.size());
        for (std::size_t i = 0; i < held.size(); ++i) {
            const MapPiece& p = map.pieces[i];
            if (held[i]) before.replace(p.decodedOffset, p.decodedLength, plain, p.decodedOffset, p.decodedLength);
        }
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), before.data(), static_cast<DWORD>(before.size()), &written, nullptr));
        StopFlag running;
        running.Start();
        std::vector<std::uint32_t> bar;
        std::uint64_t fetched = 0;
        const bool ok = DownloadPieces(
            L"http://127.0.0.1:" + std::to_wstring(kServerPort) + L"/upgrade/file.bin", path, file.Get(), running,
            [&bar](std::uint32_t at) { bar.push_back(at); }, DownloadBounds{UINT64_MAX, VolumeFreeSpace, 0, clock}, map,
            held, c.package, &fetched);

        EXPECT_EQ(ok, c.ok);
        LARGE_INTEGER start = {};
        std::string after(plain.size() + 1, '\0');
        DWORD got = 0;
        SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN);
        ReadFile(file.Get(), &after[0], static_cast<DWORD>(after.size()), &got, nullptr);
        after.resize(got);
        if (c.ok) {
            EXPECT_TRUE(after == plain) << "the file is what the map signs for";
        }
        if (c.sent) {
            EXPECT_EQ(server.BytesSent(), c.sent);
            EXPECT_EQ(fetched, c.sent);
        }
        if (!c.package) {
            std::vector<std::string> asked;
            for (const auto& r : server.Requests()) asked.push_back(r.range);
            EXPECT_EQ(asked, c.asked);
        }
        for (std::size_t i = 1; i < bar.size(); ++i) EXPECT_GE(bar[i], bar[i - 1]) << "the bar never goes back";
        if (c.ok) {
            EXPECT_EQ(bar.back(), 100u);
        }
        bool found = false;
        for (const std::string& event : testlog::Events(log.Log())) {
            found = found || event.find(c.logged) != std::string::npos;
        }
        EXPECT_TRUE(found) << c.logged << "\n" << testlog::ReadAll(log.Log());
    }
}

// The whole upgrade: a file cut at 90 % is resumed and installed in the same
// upgrade, and the server sent each of its bytes once.
TEST(Resumption, AnUpgradeCutAtNinetyPercentCompletesAndCostsOnlyTheRest) {
    testlog::LogFolder log;
    Folders folders;
    std::atomic<std::uint64_t> now{1000000};
    const auto clock = [&now] { return now += 100; };
    const std::string content = Content();
    RangeServer server(kServerPort, content, kETag, kModified, {Cut(90000)}, clock);
    ASSERT_TRUE(server.Listening());
    Display display;
    StopFlag running;
    running.Start();
    UpgradeJob job(EntriesOf({"big.bin"}), folders.Temp(), display, running,
                   UpgradeSource{L"http://127.0.0.1:" + std::to_wstring(kServerPort), nullptr, L""});
    job.SetTickClock(clock);
    EXPECT_TRUE(job.Run());
    EXPECT_EQ(folders.Release(), (std::map<std::string, std::string>{{"big.bin", content}}));
    EXPECT_EQ(server.BytesSent(), kSize);
    EXPECT_EQ(server.Requests().size(), 2u);
}

}  // namespace
