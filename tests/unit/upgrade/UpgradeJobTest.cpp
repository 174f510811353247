// The upgrade job on the test thread, against an HTTP server the test plays
// on 127.0.0.1 and a progress display that records what it is shown.
#include "upgrade/UpgradeJob.h"

#include <gtest/gtest.h>

#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/Protocol.h"
#include "install/Installation.h"
#include "tests/unit/upgrade/JobFixtures.h"
#include "upgrade/Download.h"
#include "upgrade/UpgradeFetch.h"

using namespace jobtest;

namespace {

// Whether WinINet kept a copy of the URL in the user's internet cache.
bool InInternetCache(const std::wstring& url) {
    DWORD size = 0;
    if (GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size)) return true;
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

class Job : public ::testing::Test {
protected:
    void SetUp() override { running.Start(); }
    StopFlag running;
    Display display;
    Folders folders;
};

TEST_F(Job, ShowsEachEntryAndMovesBothBarsThroughTheirSteps) {
    UpgradeServer server({{"four-k.bin", {std::string(4096, 'k')}}, {"open-end.bin", {std::string(2500, 'o'), false}}});
    ASSERT_TRUE(server.Listening());
    for (const wchar_t* name : {L"four-k.bin", L"open-end.bin"}) {
        DeleteUrlCacheEntryW((server.Url() + L"/upgrade/" + name).c_str());  // left by anybody before
    }
    UpgradeJob job(EntriesOf({"four-k.bin", "sub\\open-end.bin"}), folders.Temp(), display, running,
                   UpgradeSource{server.Url(), nullptr, L""});
    EXPECT_TRUE(job.Run());
    const std::vector<std::string> expected = {
        // 4096 declared bytes in four reads; 100 only at the end of the data.
        "label four-k.bin", "file 25", "file 50", "file 75", "file 99", "file 100", "total 25",
        // No declared length: one point per read.
        "label sub\\open-end.bin", "file 1", "file 2", "file 3", "file 100", "total 50",
        // Installations; 100 only once the last is in place.
        "total 75", "total 99", "total 100"};
    EXPECT_EQ(display.shown, expected);
    const std::map<std::string, std::string> installed = {
        {"four-k.bin", std::string(4096, 'k')}, {"sub", "<dir>"}, {"sub\\open-end.bin", std::string(2500, 'o')}};
    EXPECT_EQ(folders.Release(), installed);
    EXPECT_TRUE(Installation(folders.App()).OnProbation()) << "undoable until Marlowcast has run healthy";
    EXPECT_EQ(folders.LeftInTemp(), std::vector<std::string>()) << "the downloads go once installed";
    // An upgrade is written to disk once: nothing of it goes into the cache.
    for (const wchar_t* name : {L"four-k.bin", L"open-end.bin"}) {
        EXPECT_FALSE(InInternetCache(server.Url() + L"/upgrade/" + name)) << name;
    }
}

TEST_F(Job, EntryFormsInstallAsTheirNamesSay) {
    const std::map<std::string, std::string> nothing;
    const struct {
        const char* what;
        std::vector<std::string> entries;
        std::map<std::string, Served> served;
        bool succeeds;
        int requests;
        std::map<std::string, std::string> installed;
    } cases[] = {
        // clang-format off
        {"one name part in two folders: one file on the server, both targets get it",
         {"one\\same.txt", "two\\same.txt"}, {{"same.txt", {"shared"}}}, true, 2,
         {{"one", "<dir>"}, {"one\\same.txt", "shared"}, {"two", "<dir>"}, {"two\\same.txt", "shared"}}},
        {"two levels deep under a missing folder: only the last level is made, so it fails",
         {"deep\\er\\x.txt"}, {{"x.txt", {"x"}}}, false, 1, nothing},
        {"\".UIB\" in capitals is copied as it is", {"pack.UIB"}, {{"pack.UIB", {"not a package"}}}, true, 1,
         {{"pack.UIB", "not a package"}}},
        {"a declared length of 0 installs an empty file", {"empty.txt"}, {{"empty.txt", {""}}}, true, 1,
         {{"empty.txt", ""}}},
        {"a package of 0 bytes does not decode", {"empty.dat.uib"}, {{"empty.dat.uib", {""}}}, false, 1, nothing},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folders here;
        UpgradeServer server(c.served);
        ASSERT_TRUE(server.Listening());
        UpgradeJob job(EntriesOf(c.entries), here.Temp(), display, running, UpgradeSource{server.Url(), nullptr, L""});
        EXPECT_EQ(job.Run(), c.succeeds);
        EXPECT_EQ(server.Requests(), c.requests);
        EXPECT_EQ(here.Release(), c.installed);
        EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>());
    }
}

// Without a publisher's key a release is known by its files: once rolled
// back here, the same files in any order are refused; other files are not.
TEST_F(Job, AnUnsignedReleaseRolledBackHereIsRefusedByItsFiles) {
    constexpr wchar_t kKey[] = L"Software\\Quillstone-tests\\Job";
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    UpgradeServer server({{"a.txt", {"one"}}, {"b.txt", {"two"}}, {"c.txt", {"three"}}});
    ASSERT_TRUE(server.Listening());
    const auto upgrade = [&](const std::vector<std::string>& entries, bool installs) {
        Folders here;
        UpgradeJob job(EntriesOf(entries), here.Temp(), display, running, UpgradeSource{server.Url(), nullptr, kKey});
        EXPECT_EQ(job.Run(), installs) << ::testing::PrintToString(entries);
        Journal journal;
        return ReadJournal(here.App(), &journal) == JournalFound::kRead ? journal.release : "";
    };
    const std::string files = upgrade({"a.txt", "b.txt"}, true);
    ASSERT_TRUE(RecordRefusedRelease(kKey, files)) << files;
    upgrade({"b.txt", "a.txt"}, false);
    EXPECT_NE(upgrade({"a.txt", "c.txt"}, true), files);
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
}

// A volume with `room` bytes above the free-space floor before the upgrade,
// less what the temporary folder holds (asked of each file, as the file
// system counts it while the file is open).
FreeSpaceQuery Volume(std::int64_t room, bool answers = true) {
    return [room, answers](const std::wstring& folder, std::uint64_t* bytes) {
        if (!answers) return false;
        std::int64_t used = 0;
        for (const auto& item : fs::directory_iterator(folder)) {
            UniqueHandle file(CreateFileW(item.path().c_str(), 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
            LARGE_INTEGER size = {};
            if (file && GetFileSizeEx(file.Get(), &size)) used += size.QuadPart;
        }
        const std::int64_t free = static_cast<std::int64_t>(kFreeSpaceFloor) + room - used;
        *bytes = free > 0 ? static_cast<std::uint64_t>(free) : 0;
        return true;
    };
}

// Without a publisher's key nothing bounds an answer but the disk: every
// download stops before it would leave less than the floor free.
TEST_F(Job, NoDownloadLeavesLessThanTheFloorFree) {
    const struct {
        const char* what;
        std::int64_t room;
        bool answers;
        Served answer;
        bool succeeds;
        int mostReads;
    } cases[] = {
        // clang-format off
        {"a file that fits", 20000, true, {std::string(4096, 'f')}, true, 4},
        {"an endless answer stops at the floor", 8000, true, {std::string(1000, 'e'), false, true}, false,
         8000 / 1024 + 1},
        {"a declared length that would not fit fails before the first byte", 8000, true, {std::string(9000, 'd')},
         false, 0},
        {"a volume below the floor already", -1, true, {"x"}, false, 0},
        {"a volume that cannot tell its free space", 1 << 30, false, {"x"}, false, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folders here;
        UpgradeServer server({{"big.bin", c.answer}});
        ASSERT_TRUE(server.Listening());
        Display shown;
        UpgradeJob job(EntriesOf({"big.bin"}), here.Temp(), shown, running, UpgradeSource{server.Url(), nullptr, L""});
        job.SetFreeSpaceQuery(Volume(c.room, c.answers));
        EXPECT_EQ(job.Run(), c.succeeds);
        EXPECT_LE(ReadsShown(shown, "big.bin"), c.mostReads);
        EXPECT_EQ(here.Installed().count("big.bin"), c.succeeds ? 1u : 0u);
        EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>());
    }
}

// Exit while the server has gone silent in the middle of a download: the
// upgrade ends at once, leaving the download's thread inside WinINet until
// the server lets go; the process's end must know of that thread, and the
// partial file goes as soon as the thread lets go of it.
TEST_F(Job, AnExitLeavesNothingInTheTemporaryFolder) {
    Folders here;
    auto server = std::make_unique<UpgradeServer>(
        std::map<std::string, Served>{{"stalled.bin", Served{std::string(3000, 's'), false, false, true}}});
    ASSERT_TRUE(server->Listening());
    UpgradeJob job(EntriesOf({"stalled.bin"}), here.Temp(), display, running,
                   UpgradeSource{server->Url(), nullptr, L""});
    ASSERT_TRUE(job.Start(nullptr));
    const auto waitFor = [](const std::function<bool()>& done, DWORD ms) {
        for (DWORD waited = 0; !done() && waited < ms; waited += 20) Sleep(20);
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return !here.LeftInTemp().empty(); }, 10000)) << "the download never began";
    running.Stop();
    job.Join();
    EXPECT_TRUE(AbandonedDownloadRunning());
    server.reset();
    EXPECT_TRUE(waitFor([] { return !AbandonedDownloadRunning(); }, kServerTimeoutMs + 5000));
    EXPECT_EQ(here.LeftInTemp(), std::vector<std::string>());
    EXPECT_EQ(here.Installed(), (std::map<std::string, std::string>()));
}

// A target whose full path is too long for this machine fails the upgrade
// before the wait: Marlowcast (here its mutex, held by the test) is never
// stopped for an upgrade that cannot install.
TEST_F(Job, ATargetTooLongForThisMachineFailsBeforeTheWait) {
    UpgradeServer server({{"a-name-that-makes-the-path-too-long.bin", Served{"new"}}});
    ASSERT_TRUE(server.Listening());
    std::wstring deep = folders.App();
    while (deep.size() < 240) {
        deep += L"\\deeper-folder";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    ASSERT_TRUE(SetCurrentDirectoryW(deep.c_str()));
    UniqueHandle marlowcast(CreateMutexW(nullptr, TRUE, kMarlowcastMutexName));
    UpgradeJob job(EntriesOf({"a-name-that-makes-the-path-too-long.bin"}), folders.Temp(), display, running,
                   UpgradeSource{server.Url(), nullptr, L""});
    ASSERT_TRUE(job.Start(nullptr));
    for (int waited = 0; !job.Ended() && waited < 30000; waited += 20) Sleep(20);
    const bool ended = job.Ended();
    running.Stop();
    job.Join();
    EXPECT_TRUE(ended) << "the upgrade waited for Marlowcast";
    EXPECT_FALSE(job.Succeeded());
    EXPECT_NE(std::find(display.shown.begin(), display.shown.end(), "file 100"), display.shown.end())
        << "it failed before the download, not at the length check";
    SetCurrentDirectoryW(folders.App().c_str());
}

// The list arrives in pieces and is gathered whole; an answer that does not
// fit the 5120-byte buffer with its terminator is not used at all.
TEST(ListFetch, GathersTheAnswerAndUsesOnlyOneThatFits) {
    const std::string list = "<File_Name01>sub\\a.txt</File_Name01>";
    const struct {
        const char* what;
        std::vector<std::string> pieces;
        bool usable;
        std::string text;
    } cases[] = {
        // clang-format off
        {"three pieces", {list.substr(0, 10), list.substr(10, 15), list.substr(25)}, true, list},
        {"16 bytes", {std::string(16, 'x')}, false, ""},
        {"17 bytes", {std::string(17, 'x')}, true, std::string(17, 'x')},
        {"5119 bytes fit", {std::string(4000, 'y'), std::string(1119, 'y')}, true, std::string(5119, 'y')},
        {"5120 bytes do not", {std::string(4000, 'z'), std::string(1120, 'z')}, false, ""},
        {"nothing but a close", {}, false, ""},
        // clang-format on
    };
    StopFlag running;
    running.Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        e2e::ScriptedPeer peer(50918, [&](SOCKET s, int) {
            e2e::ReadRequest(s);
            for (const std::string& piece : c.pieces) {
                e2e::SendAll(s, piece);
                Sleep(40);  // separate reads on the other side
            }
        });
        ASSERT_TRUE(peer.Listening());
        UpgradeListFetch fetch(running);
        ASSERT_TRUE(fetch.HasSocket());
        EXPECT_EQ(fetch.Run(), c.usable);
        if (c.usable) {
            EXPECT_EQ(fetch.Text(), c.text);
        }
    }
}

}  // namespace
