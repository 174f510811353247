// The upgrade job on the test thread, against an HTTP server the test plays
// on 127.0.0.1 and a progress display that records what it is shown.
#include "upgrade/UpgradeJob.h"

#include <gtest/gtest.h>

#include <wininet.h>

#include <map>
#include <string>
#include <vector>

#include "tests/unit/upgrade/JobFixtures.h"
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
    EXPECT_EQ(folders.Installed(), installed);
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
        EXPECT_EQ(here.Installed(), c.installed);
    }
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
