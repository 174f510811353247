// Upgrades against a misbehaving upgrade server and an installation folder
// that resists: the upgrade fails or succeeds as it should, every target is
// either its old file or the complete new one, no side file stays behind, and
// the supervisor neither grows with a large download nor hangs on a slow one.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"
#include "tests/support/RangeServer.h"
#include "tests/support/ScriptedPeer.h"

using namespace e2e;
using namespace rel;

namespace {

constexpr u_short kScriptedHttpPort = 50980;  // nginx passes /upgrade/scripted-* here

std::string Content(const char* seed, size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += std::string(seed) + std::to_string(i * 7919 % 1000) + "\n";
    s.resize(size);
    return s;
}

std::string HttpHead(size_t declaredLength) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(declaredLength) + "\r\n\r\n";
}

size_t SideFiles(const std::wstring& folder) {
    size_t n = 0;
    for (const wchar_t* pattern : {L"\\*.~*", L"\\*.tmp", L"\\Quillstone-upgrade*"}) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((folder + pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) continue;
        do ++n;
        while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return n;
}

using UpgradeFaults = UpgradeFixture;

TEST_F(UpgradeFaults, BrokenResponsesFailTheUpgradeAndInstallNothing) {
    // The scripted server answers by name; nginx passes it the request.
    ScriptedPeer http(kScriptedHttpPort, [](SOCKET s, int) {
        std::string req = ReadRequest(s);
        const std::string body = Content("scripted", 100000);
        if (req.find("scripted-reset") != std::string::npos) {
            SendAll(s, HttpHead(body.size()) + body.substr(0, 30000));
            Sleep(200);
            ResetOnClose(s);
        } else if (req.find("scripted-short") != std::string::npos) {
            SendAll(s, HttpHead(5000) + body.substr(0, 3000));
        } else if (req.find("scripted-long") != std::string::npos) {
            SendAll(s, HttpHead(3000) + body.substr(0, 5000));
        }
    });
    ASSERT_TRUE(http.Listening());
    const std::string fresh = Content("fresh", 4000);
    Serve("rel-fresh.txt", fresh);

    struct Case {
        const char* entry;
        const wchar_t* message;
        std::string expected;  // the faulty entry's target afterwards
    } cases[] = {
        {"scripted-reset.bin", L"Upgrade Failed!", "old"},
        {"scripted-short.bin", L"Upgrade Failed!", "old"},
        {"status500.bin", L"Upgrade Failed!", "old"},
        {"redirect-missing.bin", L"Upgrade Failed!", "old"},
        // A proxy passes on only the declared length: that much is the file.
        {"scripted-long.bin", L"Upgrade OK!", Content("scripted", 100000).substr(0, 3000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        WriteFileBytes(InApp("rel-fresh.txt"), "old");
        WriteFileBytes(InApp(c.entry), "old");
        OfferList({"rel-fresh.txt", c.entry});
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 60s));
        EXPECT_EQ(text, c.message);
        bool ok = std::wstring(c.message) == L"Upgrade OK!";
        // Downloads all come first: a failed one installs nothing at all.
        EXPECT_EQ(ReadFileBytes(InApp("rel-fresh.txt")), ok ? fresh : "old");
        EXPECT_EQ(ReadFileBytes(InApp(c.entry)), c.expected);
        EXPECT_EQ(SideFiles(app), ok ? 1u : 0u) << "only a release on probation keeps its folder";
        sup.reset();
    }
}

// A file cut at 90 % (its connection closed, through nginx) is resumed in
// the same upgrade, and the server sends each of its bytes once.
TEST_F(UpgradeFaults, ACutAtNinetyPercentIsResumedInTheSameUpgrade) {
    const std::string body = Content("cut", 100000);
    RangeServer http(kScriptedHttpPort, body, "\"cut-1\"", "", {{RangeServer::Fault::kCut, 90000}},
                     [] { return static_cast<std::uint64_t>(GetTickCount64()); });
    ASSERT_TRUE(http.Listening());
    EventLogReader log;
    WriteFileBytes(InApp("scripted-cut.bin"), "old");
    OfferList({"scripted-cut.bin"});
    StartSupervisor();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    std::wstring text;
    ASSERT_TRUE(DismissMessageBox(&text, 60s));
    EXPECT_EQ(text, L"Upgrade OK!");
    EXPECT_EQ(ReadFileBytes(InApp("scripted-cut.bin")), body);
    EXPECT_EQ(http.BytesSent(), body.size()) << "each byte once, on the wire";
    EXPECT_EQ(log.Matching("cut at 90,000 bytes: resuming (1 of 5)").size(), 1u) << log.Dump();
}

TEST_F(UpgradeFaults, InstallationThatResistsChangesNothing) {
    Serve("rel-first.txt", "first, new");
    Serve("rel-held.txt", "held, new");
    Serve("rel-ro.txt", "read-only, new");
    Serve("rel-sub.txt", "sub, new");
    Serve("rel-last.txt", "last, new");
    struct Case {
        const char* what;
        const char* failing;  // the entry that cannot be installed
        std::function<HANDLE()> obstruct;
        std::vector<std::string> logged;  // why, in the event log
    } cases[] = {
        {"target held open without sharing",
         "rel-held.txt",
         [&] {
             WriteFileBytes(InApp("rel-held.txt"), "old");
             return CreateFileW(InApp("rel-held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         },
         {"\\app\\rel-held.txt is held by another program, error 32 ",
          "\\app\\rel-held.txt cannot be replaced, error 32 "}},
        {"read-only target",
         "rel-ro.txt",
         [&] {
             WriteFileBytes(InApp("rel-ro.txt"), "old");
             SetFileAttributesW(InApp("rel-ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
             return INVALID_HANDLE_VALUE;
         },
         {"\\app\\rel-ro.txt cannot be replaced, error 5 "}},
        {"sub-folder name taken by a file",
         "taken\\rel-sub.txt",
         [&] {
             WriteFileBytes(InApp("taken"), "old");
             return INVALID_HANDLE_VALUE;
         },
         {"Installation failed staging ", "\\app\\taken\\rel-sub.txt: its folder cannot be made, error 267 ",
          "Installation undone"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventLogReader log;
        WriteFileBytes(InApp("rel-first.txt"), "old");
        WriteFileBytes(InApp("rel-last.txt"), "old");
        HANDLE held = c.obstruct();
        OfferList({"rel-first.txt", c.failing, "rel-last.txt"});
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 60s));
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        SetFileAttributesW(InApp("rel-ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(text, L"Upgrade Failed!");
        EXPECT_EQ(ReadFileBytes(InApp("rel-first.txt")), "old") << "nothing is installed unless everything is";
        EXPECT_EQ(ReadFileBytes(InApp(c.failing == std::string("taken\\rel-sub.txt") ? "taken" : c.failing)), "old");
        EXPECT_EQ(ReadFileBytes(InApp("rel-last.txt")), "old");
        EXPECT_EQ(SideFiles(app), 0u) << "nothing of the installation's own is left behind";
        for (const std::string& line : c.logged) EXPECT_EQ(log.Matching(line).size(), 1u) << line << "\n" << log.Dump();
        EXPECT_EQ(log.Matching("Upgrade not installed: the installation failed").size(), 1u);
        sup.reset();
    }
}

TEST_F(UpgradeFaults, LargeDownloadKeepsTheSupervisorSmall) {
    constexpr size_t kSize = 200u << 20;
    {
        // A pattern that a torn or shifted copy would not match.
        std::string block(1 << 20, '\0');
        FILE* f = _wfopen(WwwPath("upgrade/rel-big.bin").c_str(), L"wb");
        ASSERT_NE(f, nullptr);
        for (size_t mb = 0; mb < kSize >> 20; ++mb) {
            for (size_t i = 0; i < block.size(); i += 64) std::snprintf(&block[i], 64, "%08zu:%08zu", mb, i);
            fwrite(block.data(), 1, block.size(), f);
        }
        fclose(f);
    }
    // 200 MiB must not stay in the server's folder, whatever happens below.
    struct Remove {
        ~Remove() { DeleteFileW(WwwPath("upgrade/rel-big.bin").c_str()); }
    } remove;
    OfferList({"rel-big.bin"});
    StartSupervisor();
    const SIZE_T before = FootprintOf(sup->Process()).workingSet;
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    SIZE_T peak = before;
    auto t0 = Clock::now();
    bool done = WaitFor(
        [&] {
            peak = std::max(peak, FootprintOf(sup->Process()).workingSet);
            return !MessageBoxes().empty();
        },
        240s, 100ms);
    auto took = Clock::now() - t0;
    std::wstring text;
    ASSERT_TRUE(done && DismissMessageBox(&text, 5s));
    EXPECT_EQ(text, L"Upgrade OK!");
    std::printf("measured: 200 MiB upgrade in %lld ms, working set %zu KiB before, %zu KiB at most\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                before >> 10, peak >> 10);
    EXPECT_LT(peak, before + (32u << 20)) << "the download must not be held in memory";

    WIN32_FILE_ATTRIBUTE_DATA fa = {};
    ASSERT_TRUE(GetFileAttributesExW(InApp("rel-big.bin").c_str(), GetFileExInfoStandard, &fa));
    EXPECT_EQ((static_cast<unsigned long long>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow, kSize);
}

TEST_F(UpgradeFaults, ExitWhileABytePerSecondTricklesIsPrompt) {
    // The header and the first KiB come at once, then a byte a second.
    Serve("trickle-rel.bin", Content("trickle", 4000));
    WriteFileBytes(InApp("trickle-rel.bin"), "old");
    OfferList({"trickle-rel.bin"});
    StartSupervisor();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    ASSERT_TRUE(WaitFor([&] { return UpgradeWindow(sup->Pid()) != nullptr; }, 30s));
    std::this_thread::sleep_for(3s);
    // Another program posts the upgrade's end ("OK") and the windows' private
    // numbers with a made-up pointer: the upgrade runs on, nothing is shown,
    // nothing crashes, and the exit below stays prompt.
    const HWND upgradeWindow = UpgradeWindow(sup->Pid());
    const HWND w = sup->Window();
    const std::pair<HWND, UINT> forged[] = {
        {w, 1853 /* WM_SV_UPGRADE_DONE */}, {w, WM_APP + 1}, {w, WM_APP + 2}, {upgradeWindow, WM_APP + 3}};
    for (const auto& [window, message] : forged) PostMessageW(window, message, 1, 0x10);
    EXPECT_TRUE(UiResponds(sup->Window()));
    EXPECT_EQ(UpgradeWindow(sup->Pid()), upgradeWindow) << "the upgrade must run on";
    EXPECT_TRUE(MessageBoxes().empty()) << "a forged end showed a result";
    auto t0 = Clock::now();
    PostMessageW(sup->Window(), WM_SV_QUIT, 0, 0);
    WaitFor([&] { return sup->Window() == nullptr; }, 30s, 20ms);
    auto windowGone = Clock::now() - t0;
    bool exited = sup->Exited(30s);
    auto took = Clock::now() - t0;
    std::printf("measured: window gone after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(windowGone).count()));
    std::printf("measured: exit during a 1 byte/s download took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    ASSERT_TRUE(exited) << "still downloading 30 s after the exit request";
    EXPECT_EQ(sup->ExitCode(), 0u);
    // Under Wine without a window manager the shutdown alone takes about 4 s
    // (destroyed windows that were active); a trickle must add no more than a
    // read's worth, not minutes.
    EXPECT_LT(took, 12s);
    EXPECT_TRUE(MessageBoxes().empty()) << "no result box after an exit";
    EXPECT_EQ(ReadFileBytes(InApp("trickle-rel.bin")), "old");
}

TEST_F(UpgradeFaults, ExitWhileTheResultIsShownEndsWithoutTheBox) {
    Serve("rel-shown.txt", "shown, new");
    OfferList({"rel-shown.txt"});
    StartSupervisor();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    ASSERT_TRUE(WaitFor([&] { return !MessageBoxes().empty(); }, 60s));
    auto t0 = Clock::now();
    PostMessageW(sup->Window(), WM_SV_QUIT, 0, 0);
    bool exited = sup->Exited(10s);
    std::printf(
        "measured: exit with the result box open took %lld ms (exited: %d)\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()),
        exited ? 1 : 0);
    EXPECT_TRUE(exited) << "the open result box kept the supervisor alive";
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(ReadFileBytes(InApp("rel-shown.txt")), "shown, new");
}

std::string Padded(std::string text, size_t size) {
    text.resize(size, ' ');  // blanks after the list are outside every tag
    return text;
}

std::string CompactList(int count, const char* prefix) {
    std::string text;
    for (int n = 1; n <= count; ++n) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "<File_Name%02d>%s%d</File_Name%02d>", n, prefix, n, n);
        text += entry;
    }
    return text;
}

size_t ListsServed(const Install& install) {
    size_t n = 0;
    for (const StandInEvent& e : ReadStandInLog(install)) n += e.text == "served upgrade list";
    return n;
}

bool FolderEmpty(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do empty = empty && (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return empty;
}

// Answers that must start nothing: each is asked for by a stand-in that stays,
// so one supervisor sees them all, and each must leave the upgrade flag
// cleared, or the next request would be refused without a fetch.
TEST_F(UpgradeFaults, HostileUpgradeListsStartNothing) {
    const wchar_t* kRefused = L"Upgrade Marlowcast Proc Failed!";
    struct Case {
        const char* what;
        std::string answer;
        const wchar_t* message;  // nullptr: nothing is shown
    } cases[] = {
        {"5120 bytes: does not fit with its terminator", Padded(ListOf({"rel-edge.txt"}), 5120), nullptr},
        {"200 numbered entries: does not fit", CompactList(200, "m"), nullptr},
        {"control bytes in a tag", ListOf({"rel\x01\x02\x7f.txt"}), kRefused},
        {"a zero byte inside the first tag", std::string("<File_Name01>rel-\0zero.txt</File_Name01>", 41), kRefused},
        {"a UNC path", ListOf({"\\\\server\\share\\rel.txt"}), kRefused},
        {"a parent folder inside", ListOf({"sub\\..\\..\\rel.txt"}), kRefused},
        {"a device name", ListOf({"rel-ok.txt", "CON"}), kRefused},
        {"a device name with an extension, any case", ListOf({"com1.txt"}), kRefused},
        {"a stream name", ListOf({"rel.txt:evil"}), kRefused},
        {"an empty name part", ListOf({"sub\\"}), kRefused},
        {"a character Windows forbids", ListOf({"rel|.txt"}), kRefused},
    };
    Serve("rel-ok.txt", "ok");
    Serve("rel.txt", "evil");
    StartSupervisor();
    const size_t requests = AccessLogLines();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(install.Path(L"upgrade.xml"), c.answer);
        const size_t served = ListsServed(install);
        ASSERT_EQ(StandInCommand("upgrade-stay"), "ok");
        ASSERT_TRUE(WaitFor([&] { return ListsServed(install) > served; }, 20s)) << "the request was not fetched";
        std::wstring text;
        if (c.message) {
            ASSERT_TRUE(DismissMessageBox(&text, 15s)) << "no box";
            EXPECT_EQ(text, c.message);
        } else {
            EXPECT_FALSE(DismissMessageBox(&text, 2s)) << "unexpected box: " << std::string(text.begin(), text.end());
        }
        EXPECT_EQ(UpgradeWindow(sup->Pid()), nullptr);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(AccessLogLines(), requests) << "nothing may be downloaded";
    EXPECT_TRUE(FolderEmpty(app)) << "nothing may be installed";
    EXPECT_EQ(ReadFileBytes(install.Path(L"rel.txt")), "<missing>");
    EXPECT_TRUE(UiResponds(sup->Window()));
}

TEST_F(UpgradeFaults, ListsAtTheLimitsAreInstalledInFull) {
    for (int n = 1; n <= 100; ++n) Serve("m" + std::to_string(n), "file " + std::to_string(n));
    Serve("rel-edge.txt", "edge");
    struct Case {
        const char* what;
        std::string answer;
        int installed;  // m1..m<installed>, or rel-edge.txt when 0
    } cases[] = {
        {"5119 bytes", Padded(ListOf({"rel-edge.txt"}), 5119), 0},
        {"100 numbered entries: 99 are read", CompactList(100, "m"), 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(install.Path(L"upgrade.xml"), c.answer);
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 120s));
        EXPECT_EQ(text, L"Upgrade OK!");
        if (c.installed == 0) {
            EXPECT_EQ(ReadFileBytes(InApp("rel-edge.txt")), "edge");
        } else {
            for (int n = 1; n <= c.installed; ++n)
                EXPECT_EQ(ReadFileBytes(InApp("m" + std::to_string(n))), "file " + std::to_string(n));
            EXPECT_EQ(ReadFileBytes(InApp("m100")), "<missing>") << "only 99 entries are read";
        }
        sup.reset();
    }
}

}  // namespace
