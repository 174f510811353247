// The upgrade job on the test thread, against an HTTP server the test plays
// on 127.0.0.1 and a progress display that records what it is shown.
#include "upgrade/UpgradeJob.h"

#include <gtest/gtest.h>

#include <wininet.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ScriptedPeer.h"
#include "upgrade/UpgradeFetch.h"

namespace fs = std::filesystem;

namespace {

constexpr u_short kServerPort = 50981;

// What the upgrade window would show, in order.
struct Display : UpgradeProgress {
    std::vector<std::string> shown;
    void ShowEntry(const std::wstring& entry) override {
        shown.push_back("label " + std::string(entry.begin(), entry.end()));
    }
    void SetFileProgress(std::uint32_t position) override { shown.push_back("file " + std::to_string(position)); }
    void SetTotalProgress(std::uint32_t position) override { shown.push_back("total " + std::to_string(position)); }
};

// A file the server has: its bytes, and whether the answer declares their length.
struct Served {
    std::string bytes;
    bool declaresLength = true;
};

// Serves /upgrade/<name> from a map, one HTTP/1.0 answer per connection.
class UpgradeServer {
public:
    explicit UpgradeServer(std::map<std::string, Served> files)
        : m_files(std::move(files)), m_peer(kServerPort, [this](SOCKET s, int) { Answer(s); }) {}
    bool Listening() const { return m_peer.Listening(); }
    std::wstring Url() const { return L"http://127.0.0.1:" + std::to_wstring(kServerPort); }
    int Requests() const { return m_peer.Accepted(); }

private:
    void Answer(SOCKET s) {
        const std::string request = e2e::ReadRequest(s);
        const std::size_t from = request.find("/upgrade/") + 9, to = request.find(' ', from);
        const auto found = m_files.find(request.substr(from, to - from));
        if (found == m_files.end()) {
            e2e::SendAll(s, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        std::string head = "HTTP/1.0 200 OK\r\n";
        if (found->second.declaresLength)
            head += "Content-Length: " + std::to_string(found->second.bytes.size()) + "\r\n";
        e2e::SendAll(s, head + "\r\n" + found->second.bytes);
    }

    std::map<std::string, Served> m_files;
    e2e::ScriptedPeer m_peer;
};

// A temporary folder and an installation folder (made the current folder, as
// the supervisor's is), both removed at the end.
class Folders {
public:
    Folders() {
        static int made = 0;
        root = fs::temp_directory_path() /
               ("qs-job-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made));
        fs::remove_all(root);
        fs::create_directories(root / "temp");
        fs::create_directories(root / "app");
        GetCurrentDirectoryW(MAX_PATH, m_saved);
        SetCurrentDirectoryW((root / "app").c_str());
    }
    ~Folders() {
        SetCurrentDirectoryW(m_saved);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::wstring Temp() const { return (root / "temp").wstring(); }
    // Every file under the installation folder with its content.
    std::map<std::string, std::string> Installed() const {
        std::map<std::string, std::string> files;
        for (const auto& item : fs::recursive_directory_iterator(root / "app")) {
            std::ifstream in(item.path(), std::ios::binary);
            std::stringstream content;
            if (item.is_regular_file()) content << in.rdbuf();
            files[fs::relative(item.path(), root / "app").string()] = item.is_regular_file() ? content.str() : "<dir>";
        }
        return files;
    }

    fs::path root;

private:
    wchar_t m_saved[MAX_PATH] = {};
};

// Whether WinINet kept a copy of the URL in the user's internet cache.
bool InInternetCache(const std::wstring& url) {
    DWORD size = 0;
    if (GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size)) return true;
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

std::vector<UpgradeEntry> EntriesOf(const std::vector<std::string>& listed) {
    std::vector<UpgradeEntry> entries;
    for (const std::string& entry : listed) entries.push_back(MakeUpgradeEntry(entry));
    return entries;
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
    UpgradeJob job(EntriesOf({"four-k.bin", "sub\\open-end.bin"}), folders.Temp(), display, running, server.Url());
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
        UpgradeJob job(EntriesOf(c.entries), here.Temp(), display, running, server.Url());
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
