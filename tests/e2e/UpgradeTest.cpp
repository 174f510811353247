// Upgrades end to end: the stand-in asks, the real supervisor fetches the
// list, downloads from a real nginx, waits for the stand-in to exit, installs,
// and reports. The installation folder is the supervisor's current folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "package/UibWriter.h"
#include "res/resource.h"
#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;
using namespace rel;

namespace {

using Upgrade = UpgradeFixture;

std::string Content(const char* seed, size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += std::string(seed) + std::to_string(i * 7919 % 1000) + "\n";
    s.resize(size);
    return s;
}

std::string Package(const std::string& data) {
    std::vector<unsigned char> out;
    EXPECT_EQ(uib::PackUib(data.data(), data.size(), uib::PackOptions{}, &out).error, uib::PackError::kNone);
    return std::string(out.begin(), out.end());
}

TEST_F(Upgrade, PlainFileSubFolderAndPackageAreInstalledThenSupervisionResumes) {
    const std::string plain = Content("plain", 3000), data = Content("data", 70000), packed = Content("pack", 100000);
    Serve("e2e-plain.txt", plain);
    Serve("e2e-data.bin", data);
    Serve("e2e-pack.dat.uib", Package(packed));
    OfferList({"e2e-plain.txt", "sub\\e2e-data.bin", "e2e-pack.dat.uib"});
    WriteFileBytes(InApp("e2e-plain.txt"), "old version");
    StartSupervisor();

    const char* log = std::getenv("QS_NGINX_LOG");
    ASSERT_NE(log, nullptr);
    const std::wstring accessLog = Widen(std::string("Z:") + log);
    const size_t logged = ReadFileBytes(accessLog).size();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    std::wstring text;
    ASSERT_TRUE(WaitFor([&] { return !MessageBoxes().empty(); }, 60s)) << "no result box";
    EXPECT_EQ(ReadFileBytes(InApp("e2e-plain.txt")), plain);
    EXPECT_EQ(ReadFileBytes(InApp("sub\\e2e-data.bin")), data);
    EXPECT_EQ(ReadFileBytes(InApp("e2e-pack.dat")), packed);
    EXPECT_EQ(ReadFileBytes(InApp("e2e-pack.dat.uib")), "<missing>") << "a package is decoded, not copied";
    EXPECT_EQ(UpgradeWindow(sup->Pid()), nullptr) << "the window goes before the result is shown";
    EXPECT_EQ(ReadFileBytes(accessLog).substr(logged).find("/upgrade/Quillstone."), std::string::npos)
        << "a build without a publisher's key asks for no keys document and no manifest";

    // While the result is on screen, supervision stays suspended.
    std::this_thread::sleep_for(10s);
    EXPECT_EQ(StandInStarts(install).size(), 1u) << "no relaunch while the box is open";
    ASSERT_TRUE(DismissMessageBox(&text, 5s));
    EXPECT_EQ(text, L"Upgrade OK!");
    EXPECT_TRUE(WaitFor([&] { return StandInStarts(install).size() == 2; }, 30s)) << "supervision did not resume";
}

// A release whose Marlowcast crashes at every start is rolled back at its
// third failed launch and the old Marlowcast runs again; offered again, the
// same files are refused while Marlowcast keeps running.
TEST_F(Upgrade, AReleaseThatCrashesAtEveryStartIsRolledBackAndTheOldOneRuns) {
    EventLogReader log;
    const std::string fresh = "new " + std::to_string(GetTickCount64());  // a release this prefix has not refused
    Serve("e2e-rb.txt", fresh);
    Serve("on-start.txt", "crash");
    OfferList({"e2e-rb.txt", "on-start.txt"});
    WriteFileBytes(InApp("e2e-rb.txt"), "old rb");
    StartSupervisor();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    std::wstring text;
    ASSERT_TRUE(DismissMessageBox(&text, 60s));
    EXPECT_EQ(text, L"Upgrade OK!");
    // Checks brought on by the timer's own message, faster than every 8 s.
    const bool rolledBack = WaitFor(
        [&] {
            PostMessageW(sup->Window(), WM_TIMER, kCheckTimerId, 0);
            return !log.Matching("Rolled back ").empty();
        },
        120s, 800ms);
    ASSERT_TRUE(rolledBack) << log.Dump();
    EXPECT_EQ(ReadFileBytes(InApp("e2e-rb.txt")), "old rb");
    EXPECT_EQ(ReadFileBytes(InApp("on-start.txt")), "<missing>");
    EXPECT_TRUE(WaitFor([] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 30s)) << "the old one runs";
    EXPECT_EQ(log.Matching("Release on probation: failed launch ").size(), 3u) << log.Dump();
    EXPECT_EQ(log.Matching("3 failed launches, the last: it exited with code 0xC0000005").size(), 1u);

    ASSERT_EQ(StandInCommand("upgrade-stay"), "ok");
    ASSERT_TRUE(DismissMessageBox(&text, 60s));
    EXPECT_EQ(text, L"Upgrade Failed!");
    EXPECT_EQ(log.Matching("which was rolled back here").size(), 1u);
    EXPECT_EQ(ReadFileBytes(InApp("on-start.txt")), "<missing>");
    EXPECT_TRUE(StandInCommand("ping").rfind("pid", 0) == 0) << "Marlowcast kept running";
}

TEST_F(Upgrade, FailuresLeaveTheInstallationAsItWas) {
    struct Case {
        const char* what;
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> served;
        std::vector<std::pair<std::string, std::string>> expectedAfter;  // file in app -> content
        const wchar_t* message;
        std::vector<std::string> logged;  // what the event log says why, in order
    } cases[] = {
        {"one file missing on the server",
         {"e2e-f1.txt", "e2e-missing.txt"},
         {{"e2e-f1.txt", "new one"}},
         {{"e2e-f1.txt", "old one"}, {"e2e-missing.txt", "<missing>"}},
         L"Upgrade Failed!",
         {"Downloaded http://127.0.0.1/upgrade/e2e-f1.txt: 7 bytes in ",
          "Download of http://127.0.0.1/upgrade/e2e-missing.txt failed: HTTP status 404"}},
        {"a corrupt package after a good file",
         {"e2e-f2.txt", "e2e-bad.dat.uib"},
         {{"e2e-f2.txt", "new two"}, {"e2e-bad.dat.uib", "UMIB\x10\0\0\0garbage-garbage"}},
         {{"e2e-f2.txt", "<missing>"}, {"e2e-bad.dat", "old package target"}},
         L"Upgrade Failed!",
         {"Marlowcast has exited (waited ", "\\app\\e2e-bad.dat: the package did not decode (damaged, ",
          "Installation undone", "Upgrade not installed: the installation failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventLogReader log;
        for (const auto& [name, bytes] : c.served) Serve(name, bytes);
        WriteFileBytes(InApp("e2e-f1.txt"), "old one");
        WriteFileBytes(InApp("e2e-bad.dat"), "old package target");
        OfferList(c.entries);
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 60s));
        EXPECT_EQ(text, c.message);
        for (const auto& [name, bytes] : c.expectedAfter) EXPECT_EQ(ReadFileBytes(InApp(name)), bytes) << name;
        const std::vector<std::string> events = log.Events();
        auto at = events.begin();
        for (const std::string& line : c.logged) {
            at =
                std::find_if(at, events.end(), [&](const std::string& e) { return e.find(line) != std::string::npos; });
            EXPECT_NE(at, events.end()) << "\"" << line << "\" not logged in order:\n" << log.Dump();
        }
        EXPECT_EQ(log.Matching("Upgrade result shown: Upgrade Failed!").size(), 1u);
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(InApp("*.~*").c_str(), &fd);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "no side files are left behind";
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
        sup.reset();
    }
}

TEST_F(Upgrade, UnsafeListIsRefusedWithoutAnyDownload) {
    for (const char* entry : {"..\\e2e-evil.txt", "C:\\e2e-evil.txt", "sub/e2e-evil.txt", "NUL.txt"}) {
        SCOPED_TRACE(entry);
        Serve("e2e-evil.txt", "evil");
        OfferList({"e2e-ok.txt", entry});
        StartSupervisor();
        size_t requests = AccessLogLines();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 30s));
        EXPECT_EQ(text, L"Upgrade Marlowcast Proc Failed!");
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(AccessLogLines(), requests) << "nothing may be downloaded";
        EXPECT_EQ(ReadFileBytes(install.Path(L"e2e-evil.txt")), "<missing>");
        EXPECT_EQ(ReadFileBytes(InApp("e2e-ok.txt")), "<missing>");
        sup.reset();
    }
}

// Boxes of the supervisor shown until the process ends, each dismissed.
std::vector<std::wstring> BoxesUntilExit(const e2e::Supervisor& sup, std::chrono::seconds limit) {
    std::vector<std::wstring> shown;
    WaitFor(
        [&] {
            for (HWND box : MessageBoxes()) {
                shown.push_back(MessageBoxText(box));
                PressOk(box);
            }
            return sup.Exited(0ms);
        },
        limit, 20ms);
    return shown;
}

TEST_F(Upgrade, ExitDuringADownloadOrTheWaitIsPromptShowsNoResultAndInstallsNothing) {
    struct Case {
        const char* what;
        const char* command;  // how the stand-in asks
        std::string entry;
        bool aboutOpen;  // the About box is open when the exit comes
    } cases[] = {
        {"during a slow download", "upgrade", "slow-e2e.bin", false},
        {"while Marlowcast does not exit", "upgrade-stay", "e2e-quick.bin", false},
        // The upgrade's end is posted while the About box's loop runs: no
        // result box may come out of it.
        {"during a slow download, the About box open", "upgrade", "slow-e2e.bin", true},
    };
    Serve("slow-e2e.bin", Content("slow", 400000));
    Serve("e2e-quick.bin", "quick");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OfferList({c.entry});
        StartSupervisor();
        ASSERT_EQ(StandInCommand(c.command), "ok");
        ASSERT_TRUE(WaitFor([&] { return UpgradeWindow(sup->Pid()) != nullptr; }, 30s));
        if (c.aboutOpen) {
            PostMessageW(sup->Window(), WM_COMMAND, ID_CONTROL_ABOUT, 0);
            ASSERT_TRUE(WaitFor([] { return !MessageBoxes(L"About Quillstone").empty(); }, 10s));
        }
        std::this_thread::sleep_for(2s);
        auto t0 = Clock::now();
        PostMessageW(sup->Window(), WM_SV_QUIT, 0, 0);
        EXPECT_EQ(BoxesUntilExit(*sup, 15s), std::vector<std::wstring>{}) << "no box after an exit";
        ASSERT_TRUE(sup->Exited(0ms));
        // A trickling download would otherwise hold the shutdown for minutes.
        EXPECT_LT(Clock::now() - t0, 12s);
        EXPECT_EQ(ReadFileBytes(InApp(c.entry)), "<missing>");
        sup.reset();
    }
}

}  // namespace
