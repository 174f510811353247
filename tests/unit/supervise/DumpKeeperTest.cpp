// The keeping rules of the dumps taken before a kill, against a folder and a
// clock the test plays: what is written, what is removed, what the log says.
#include "supervise/Dumps.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TestEventLog.h"

namespace {

constexpr ULONGLONG kMinute = 60ull * 10000000;
constexpr ULONGLONG kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr ULONGLONG kMB = 1024 * 1024;
constexpr ULONGLONG kNow = 134411947200000000ull;  // 2026-12-08 09:12:00 UTC

struct FakeFolder {
    std::map<std::wstring, DumpFile> files;
    ULONGLONG now = kNow;
    bool enabled = true;
    DumpResult::Outcome outcome = DumpResult::kWritten;
    ULONGLONG size = kMB;

    DumpSystem System() {
        DumpSystem s;
        s.enabled = [this] { return enabled; };
        s.folder = [] { return std::wstring(L"C:\\dumps"); };
        s.list = [this](const std::wstring&) {
            std::vector<DumpFile> listed;
            for (const auto& f : files) listed.push_back(f.second);
            return listed;
        };
        s.remove = [this](const std::wstring& path) { return files.erase(path.substr(path.rfind(L'\\') + 1)) == 1; };
        s.now = [this] { return now; };
        s.write = [this](HANDLE, DWORD, const std::wstring& path, DWORD limitMs) {
            EXPECT_EQ(limitMs, 10000u);
            const std::wstring name = path.substr(path.rfind(L'\\') + 1);
            if (outcome == DumpResult::kWritten) files[name] = {name, size, now};
            return DumpResult{outcome, 0, size, 400};
        };
        return s;
    }
};

TEST(DumpKeeper, KeepsAtMostThreeDumpsAndAHundredMegabytesNoneOlderThanTwoWeeksOnePerKindAnHour) {
    const wchar_t *a = L"Marlowcast-a-hung.dmp", *b = L"Marlowcast-b-hung.dmp", *c = L"Marlowcast-c-hung.dmp",
                  *s = L"Marlowcast-a-silent.dmp";
    constexpr DumpKind kHung = DumpKind::kHung, kSilent = DumpKind::kSilent;
    const struct {
        const char* what;
        std::vector<DumpFile> before;  // writtenAt: how long before now
        DumpKind kind;                 // kNone: only the pruning Quillstone does at its start
        bool enabled;
        ULONGLONG triedAgo;  // an earlier dump of the kind that timed out (0: none)
        ULONGLONG size;
        std::set<std::wstring> after;  // "new-<kind>": the dump this row wrote
        std::string logged;
    } rows[] = {
        // clang-format off
        {"an empty folder", {}, kHung, true, 0, kMB, {L"new-hung"},
         "Dump of the hung Marlowcast (process id 4001) written before it is ended: C:\\dumps\\Marlowcast-"},
        {"turned off", {}, kHung, false, 0, kMB, {}, "turned off (Dumps is 0"},
        {"a hung one 59 minutes old", {{a, kMB, 59 * kMinute}}, kHung, true, 0, kMB, {a}, "less than an hour ago"},
        {"a hung one 61 minutes old", {{a, kMB, 61 * kMinute}}, kHung, true, 0, kMB, {a, L"new-hung"}, "written"},
        {"a silent one holds back no hung one", {{s, kMB, 10 * kMinute}}, kHung, true, 0, kMB, {s, L"new-hung"},
         "written"},
        {"one that timed out is not tried again within the hour", {}, kSilent, true, 30 * kMinute, kMB, {},
         "No dump of the silent Marlowcast: one was taken or tried less than an hour"},
        {"three there: the oldest goes", {{a, kMB, 3 * kDay}, {b, kMB, 2 * kDay}, {c, kMB, kDay}}, kHung, true, 0, kMB,
         {b, L"new-hung", c},
         "Dump removed: C:\\dumps\\Marlowcast-a-hung.dmp (the folder keeps at most 3 dumps and 100 MB)"},
        {"over 100 MB: the oldest go first", {{a, 60 * kMB, 2 * kDay}, {b, 30 * kMB, kDay}}, kHung, true, 0, 20 * kMB,
         {b, L"new-hung"}, "Marlowcast-a-hung.dmp"},
        {"one larger than the bound is not kept either", {{a, kMB, kDay}}, kSilent, true, 0, 120 * kMB, {},
         "-silent.dmp (the folder keeps at most"},
        {"at the start: older than 14 days go", {{a, kMB, 15 * kDay}, {b, kMB, 13 * kDay}}, DumpKind::kNone, true, 0,
         kMB, {b}, "Marlowcast-a-hung.dmp (older than 14 days)"},
        {"files not named as ours are neither counted nor removed", {{L"crash.dmp", 500 * kMB, 20 * kDay},
         {L"Marlowcast.dmp", kMB, 20 * kDay}, {a, kMB, 2 * kDay}, {b, kMB, kDay}}, kHung, true, 0, kMB,
         {a, b, L"Marlowcast.dmp", L"crash.dmp", L"new-hung"}, "written"},
        // clang-format on
    };
    const std::wregex made(L"Marlowcast-\\d{8}-\\d{6}-(hung|silent)\\.dmp");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testlog::LogFolder log;
        FakeFolder folder;
        for (const DumpFile& f : row.before) folder.files[f.name] = {f.name, f.size, kNow - f.writtenAt};
        folder.enabled = row.enabled;
        folder.size = row.size;
        DumpKeeper keeper(folder.System());
        if (row.triedAgo) {
            folder.now = kNow - row.triedAgo;
            folder.outcome = DumpResult::kTimedOut;
            keeper.BeforeKill(nullptr, 4001, row.kind);
            folder.now = kNow;
        }
        folder.outcome = DumpResult::kWritten;
        row.kind == DumpKind::kNone ? keeper.Prune() : keeper.BeforeKill(nullptr, 4001, row.kind);

        std::set<std::wstring> after;
        std::wsmatch m;
        for (const auto& f : folder.files)
            after.insert(std::regex_match(f.first, m, made) ? L"new-" + m[1].str() : f.first);
        EXPECT_EQ(after, row.after);
        const std::string logged = testlog::ReadAll(log.Log());
        EXPECT_NE(logged.find(row.logged), std::string::npos) << logged;
    }
}

}  // namespace
