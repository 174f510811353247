// One file of a signed release against a server the test plays: what it
// costs on the wire when the installed file or an earlier upgrade holds
// pieces of it, and how each fault on that way falls back to the whole file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "UibWriter.h"
#include "base/AnsiText.h"
#include "tests/support/RangeServer.h"
#include "tests/support/TestEventLog.h"
#include "tests/unit/upgrade/JobFixtures.h"
#include "trust/BlockMap.h"
#include "upgrade/DownloadStore.h"
#include "upgrade/SignedDownload.h"

using namespace jobtest;
using e2e::RangeServer;

namespace {

constexpr std::uint64_t kSize = 8 * kPieceSize + 1000;

std::string Content(unsigned seed) {
    std::string bytes(kSize, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * seed + i / 251 + i / 65521);
    return bytes;
}

std::string Read(HANDLE file) {
    LARGE_INTEGER start = {};
    std::string bytes(kSize + 1, '\0');
    DWORD got = 0;
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    return bytes.substr(0, got);
}

std::string Hex(const std::string& bytes) { return ToHex(Sha256::Of(bytes.data(), bytes.size())); }

std::string MapOf(const std::string& served, bool package, const std::wstring& scratch) {
    std::FILE* f = _wfopen(scratch.c_str(), L"w+b");
    BlockMap map;
    EXPECT_TRUE(f && std::fwrite(served.data(), 1, served.size(), f) == served.size() &&
                (std::rewind(f), MakeBlockMap(f, package, &map)));
    if (f) std::fclose(f);
    return FormatBlockMap(map);
}

RangeServer::Step Cut(std::uint64_t at) { return {RangeServer::Fault::kCut, at}; }

TEST(SignedDownload, CostsWhatTheInstalledFileAndEarlierUpgradesDoNotHoldAndFallsBackToTheWholeFileOnce) {
    using F = RangeServer::Fault;
    const std::string now = Content(7);
    std::string changed = now;
    changed.replace(100000, 1024, std::string(1024, 'c'));  // within piece 1
    const std::vector<RangeServer::Step> halfway(6, Cut(kSize / 2));
    // clang-format off
    const struct {
        const char* name;
        bool package, withMap, held;                  // held: the installed file is held without sharing
        const char* installed;                        // "now", "changed" or "" (none)
        std::vector<RangeServer::Step> earlier;       // an upgrade before, which fails
        bool tamperKept;                              // another program changes the kept file's first byte
        std::vector<RangeServer::Step> steps;
        std::uint64_t sent;                           // on the wire for the file (0: not counted)
        std::string logged;
    } cases[] = {
        {"nothing installed: the whole file, each piece checked", false, true, false, "", {}, false, {}, kSize,
         "Downloaded http://127.0.0.1:50981/upgrade/big.bin: " + std::to_string(kSize) + " bytes"},
        {"a change in the middle of the installed file: the piece it touches", false, true, false, "changed", {},
         false, {}, kPieceSize, "big.bin: 64.0 KiB fetched of 513.0 KiB, the rest from the installed file"},
        {"a package: the pieces found decoded, the rest fetched and decoded", true, true, false, "changed", {},
         false, {}, 0, "big.bin.uib: "},
        {"kept from an upgrade that failed at half: the other half", false, true, false, "", halfway, false, {},
         kSize - 4 * kPieceSize, "bytes from an earlier upgrade"},
        {"a kept file another program changed: the changed piece and the other half", false, true, false, "",
         halfway, true, {}, kSize - 3 * kPieceSize, "bytes from an earlier upgrade"},
        {"a server that ignores ranges: the whole file, the pieces found kept", false, true, false, "changed", {},
         false, {{F::kIgnoreRange}}, kSize, "the pieces held already are kept"},
        {"a piece wrong twice: the whole file, once", false, true, false, "changed", {}, false,
         {{F::kCorrupt, 100000}, {F::kCorrupt, 100000}}, 0,
         "File big.bin: fetching it whole: the pieces it lacked could not be fetched"},
        {"an installed file held without sharing: the whole file, and why", false, true, true, "changed", {}, false,
         {}, kSize, "File big.bin: fetching it whole: the installed file cannot be read"},
        {"no block map on the server: the whole file, checked once it is in", false, false, false, "changed", {},
         false, {}, 0, "File big.bin: fetching it whole, unchecked until it is in"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testlog::LogFolder log;  // the kept downloads are beside the log
        Folders folders;
        const std::string entry = c.package ? "big.bin.uib" : "big.bin";
        std::string served = now;
        if (c.package) {
            std::vector<unsigned char> packed;
            uib::PackUib(now.data(), now.size(), uib::PackOptions{1, 0}, &packed);
            served.assign(packed.begin(), packed.end());
        }
        const std::string map = MapOf(served, c.package, folders.Temp() + L"\\map");
        const ManifestFile listed{
            entry,      served.size(), Hex(served), c.package ? now.size() : 0, c.package ? Hex(now) : "",
            map.size(), Hex(map)};
        const std::string installed = std::string(c.installed) == "now" ? now : changed;
        const std::wstring target = std::filesystem::current_path().wstring() + L"\\big.bin";
        if (*c.installed) Folders::Write(target, installed);
        UniqueHandle holder;
        if (c.held) holder.Reset(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));

        std::atomic<std::uint64_t> tick{1000000};
        StopFlag running;
        running.Start();
        const SignedDownloadContext context{L"http://127.0.0.1:" + std::to_wstring(kServerPort),
                                            std::filesystem::current_path().wstring(),
                                            &running,
                                            [](std::uint32_t) {},
                                            VolumeFreeSpace,
                                            [&tick] { return tick += 100; }};
        const auto others = c.withMap ? std::map<std::string, std::string>{{entry + ".blockmap", map}}
                                      : std::map<std::string, std::string>{};
        bool decoded = false;
        if (!c.earlier.empty()) {
            RangeServer failing(kServerPort, served, "\"v1\"", "", c.earlier, context.clock, others);
            ASSERT_TRUE(failing.Listening());
            EXPECT_FALSE(
                FetchSignedFile(MakeUpgradeEntry(entry), listed, folders.Temp() + L"\\big.tmp", context, &decoded));
        }
        if (c.tamperKept) {
            const std::wstring kept =
                download_store::Folder() + L"\\" + std::wstring(listed.sha256.begin(), listed.sha256.end()) + L".part";
            std::string bytes = testlog::ReadAll(kept);
            ASSERT_GT(bytes.size(), 0u);
            bytes[0] ^= 1;
            Folders::Write(kept, bytes);
        }
        RangeServer server(kServerPort, served, "\"v1\"", "", c.steps, context.clock, others);
        ASSERT_TRUE(server.Listening());
        const std::unique_ptr<TempFile> file =
            FetchSignedFile(MakeUpgradeEntry(entry), listed, folders.Temp() + L"\\big.tmp", context, &decoded);

        ASSERT_TRUE(file) << testlog::ReadAll(log.Log());
        EXPECT_TRUE(Read(file->Handle()) == now) << "the file, or what the package decodes to, as signed";
        EXPECT_EQ(decoded, c.package);
        if (c.sent) {
            EXPECT_EQ(server.BytesSent(), c.sent);
        }
        EXPECT_NE(testlog::ReadAll(log.Log()).find(c.logged), std::string::npos) << testlog::ReadAll(log.Log());
    }
}

}  // namespace
