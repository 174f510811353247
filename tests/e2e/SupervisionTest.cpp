// Supervision with the real 8000 ms checks: a crashed, hung or silent
// Marlowcast is relaunched by the counting rules, and the supervisor still
// exits promptly when told to in the middle of a check or a restart.
// These wait for real checks, so there are few of them.
#include <gtest/gtest.h>
#include <windows.h>

#include <dbghelp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/EventLog.h"
#include "quillstone_version.h"
#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;

namespace {

constexpr UINT WM_SV_QUIT = 1850;

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr) -
        1);
    return out;
}

// The dumps Quillstone keeps: beside its log.
std::filesystem::path DumpFolder() { return std::filesystem::path(EventLogPath()).parent_path() / L"Dumps"; }

// A minidump read by its documented layout (what WinDbg reads): the number
// of threads, and the module names, each followed by '|'.
void ReadMiniDump(const std::filesystem::path& path, size_t* threads, std::wstring* modules) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = [&bytes](ULONG64 rva, size_t size) { return rva + size <= bytes.size() ? &bytes[rva] : nullptr; };
    const auto* header = reinterpret_cast<const MINIDUMP_HEADER*>(at(0, sizeof(MINIDUMP_HEADER)));
    for (ULONG i = 0; header && header->Signature == 0x504D444D /* "MDMP" */ && i < header->NumberOfStreams; ++i) {
        const auto* entry = reinterpret_cast<const MINIDUMP_DIRECTORY*>(
            at(header->StreamDirectoryRva + i * sizeof(MINIDUMP_DIRECTORY), sizeof(MINIDUMP_DIRECTORY)));
        const auto* count = entry ? reinterpret_cast<const ULONG*>(at(entry->Location.Rva, 4)) : nullptr;
        if (count && entry->StreamType == ThreadListStream) *threads = *count;
        for (ULONG m = 0; count && entry->StreamType == ModuleListStream && m < *count; ++m) {
            const auto* module = reinterpret_cast<const MINIDUMP_MODULE*>(
                at(entry->Location.Rva + 4 + m * sizeof(MINIDUMP_MODULE), sizeof(MINIDUMP_MODULE)));
            const auto* name =
                module ? reinterpret_cast<const MINIDUMP_STRING*>(at(module->ModuleNameRva, 4)) : nullptr;
            if (name && at(module->ModuleNameRva + 4, name->Length))
                modules->append(name->Buffer, name->Length / 2).append(L"|");
        }
    }
}

size_t StatusRequests(const Install& install) {
    size_t n = 0;
    for (const auto& e : ReadStandInLog(install)) n += e.text == "status request";
    return n;
}

TEST(Supervision, MisbehavingMarlowcastIsRelaunchedByTheCountingRules) {
    struct Case {
        const char* command;
        std::chrono::seconds limit;  // the checks the rules need, plus one period and the launch
        const char* failedCheck;     // what the log says of each failed check
        const char* oldProcessEnd;   // and of the old process at the restart
        const char* dump;            // the kind of dump taken before the kill; null: none
    } cases[] = {
        // process gone, mutex gone: two checks
        {"crash", 26s, "exited with code 0xC0000005", "had ended with code 0xC0000005", nullptr},
        // window hung, mutex held: six checks
        {"hang", 70s, "is hung", "terminated", "hung"},
        // no answer within the idle limit: six checks
        {"mute", 75s, "no \"200 OK\" status answer", "terminated", "silent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::error_code ignored;
        std::filesystem::remove_all(DumpFolder(), ignored);  // dumps of earlier tests hold the hourly limit
        Install install;
        EventLogReader log;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD old = StandInStarts(install).front();
        // The first check finds and shows the window.
        ASSERT_TRUE(WaitFor([&] { return sup.ItemText(IDC_WINDOW_ID) != L"0"; }, 12s));
        std::wstring oldWindow = sup.ItemText(IDC_WINDOW_ID);
        const std::string marlowcast = Utf8(install.Path(L"Marlowcast.exe"));
        EXPECT_EQ(log.Matching("Quillstone " QUILLSTONE_VERSION_TEXT " started: process id " +
                               std::to_string(sup.Pid()) + ", executable folder " + Utf8(install.Folder()))
                      .size(),
                  1u)
            << log.Dump();
        EXPECT_EQ(log.Matching("Launched " + marlowcast + ": process id " + std::to_string(old)).size(), 1u);
        EXPECT_TRUE(log.Matching("Check failed").empty()) << "a healthy check writes nothing";

        ASSERT_EQ(StandInCommand(c.command), c.command == std::string("crash") ? "" : "ok");
        ASSERT_TRUE(WaitFor([&] { return StandInStarts(install).size() == 2; }, c.limit)) << "not relaunched in time";
        DWORD relaunched = StandInStarts(install).back();
        EXPECT_FALSE(ProcessRunning(old)) << "the old process must be ended";
        EXPECT_TRUE(WaitFor([&] { return sup.ItemText(IDC_PROCESS_ID) == std::to_wstring(relaunched); }, 5s));
        EXPECT_EQ(sup.ItemText(IDC_START_STATUS), L"Start Marlowcast OK!");
        // The next check looks for the new process's window.
        EXPECT_TRUE(WaitFor(
            [&] {
                std::wstring w = sup.ItemText(IDC_WINDOW_ID);
                return w != L"0" && w != oldWindow;
            },
            20s));
        EXPECT_EQ(StandInStarts(install).size(), 2u) << "one relaunch, not more";

        // The log tells why: the failed checks, the restart, the old process's
        // end and the new launch.
        const std::string oldId = std::to_string(old);
        EXPECT_GE(log.Matching(c.failedCheck).size(), 1u) << log.Dump();
        EXPECT_EQ(log.Matching("Check failed: no \"200 OK\"").empty(), c.command != std::string("mute"));
        EXPECT_EQ(log.Matching("Restarting Marlowcast: failure count 6 is over the limit of 5").size(), 1u);
        EXPECT_EQ(log.Matching("Marlowcast (process id " + oldId + ") " + c.oldProcessEnd).size(), 1u);
        EXPECT_EQ(log.Matching("Launched " + marlowcast + ": process id " + std::to_string(relaunched)).size(), 1u);

        // A hung or silent one leaves one dump, named in the log before the
        // kill, with its threads and Marlowcast among its modules.
        std::vector<std::filesystem::path> dumps;
        for (const auto& f : std::filesystem::directory_iterator(DumpFolder(), ignored)) dumps.push_back(f.path());
        ASSERT_EQ(dumps.size(), c.dump ? 1u : 0u);
        if (!c.dump) continue;
        const std::string line = "Dump of the " + std::string(c.dump) + " Marlowcast (process id " + oldId +
                                 ") written before it is ended: " + Utf8(dumps[0].wstring()) + ", ";
        const std::vector<std::string> events = log.Events();
        const auto written = std::find_if(events.begin(), events.end(), [&](auto& e) { return e.rfind(line, 0) == 0; });
        ASSERT_LT(written, std::find(events.begin(), events.end(), "Marlowcast (process id " + oldId + ") terminated"))
            << log.Dump();
        EXPECT_NE(line.find("-" + std::string(c.dump) + ".dmp, "), std::string::npos);
        size_t threads = 0;
        std::wstring modules;
        ReadMiniDump(dumps[0], &threads, &modules);
        EXPECT_GE(threads, 3u) << "the window's, the listener's and the control connection's";
        EXPECT_NE(modules.find(install.Path(L"Marlowcast.exe|")), std::wstring::npos) << Utf8(modules);
    }
}

TEST(Supervision, ExitDuringAProbeOrARestartIsPrompt) {
    {
        SCOPED_TRACE("during a probe that waits for an answer");
        Install install;
        EventLogReader log;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        ASSERT_EQ(StandInCommand("mute"), "ok");
        size_t before = StatusRequests(install);
        ASSERT_TRUE(WaitFor([&] { return StatusRequests(install) > before; }, 12s));
        auto t0 = Clock::now();
        PostMessageW(sup.Window(), WM_SV_QUIT, 0, 0);
        ASSERT_TRUE(sup.Exited(10s));
        // The reply loop notices the cleared flag within one 20 ms poll; the
        // bound leaves room for a loaded machine, far below the 5 s idle limit
        // plus the 15 s connection wait the probe could otherwise take.
        EXPECT_LT(Clock::now() - t0, 5s);
        const std::vector<std::string> ending = {"Shutting down, asked by a quit message (WM_SV_QUIT)",
                                                 "Quillstone exits: process id " + std::to_string(sup.Pid())};
        const std::vector<std::string> events = log.Events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()), ending) << log.Dump();
        EXPECT_TRUE(log.Matching("Check failed").empty()) << "a probe cut short by the shutdown is no failure";
    }
    {
        SCOPED_TRACE("during a restart's pause after ending the old process");
        Install install;
        Supervisor sup(install);
        ASSERT_TRUE(WaitUntilSupervising(sup, install));
        DWORD old = StandInStarts(install).front();
        // Without its mutex a hung program is restarted at the second check.
        ASSERT_EQ(StandInCommand("drop-mutex"), "ok");
        ASSERT_EQ(StandInCommand("hang"), "ok");
        ASSERT_TRUE(WaitFor([&] { return !ProcessRunning(old); }, 40s, 20ms));
        auto t0 = Clock::now();
        PostMessageW(sup.Window(), WM_SV_QUIT, 0, 0);
        ASSERT_TRUE(sup.Exited(15s));
        // The restart runs to its end (the 1 s pause and the launch) before the
        // watch thread quits; nothing waits for a check or the 20 s limit.
        EXPECT_LT(Clock::now() - t0, 10s);
    }
}

}  // namespace
