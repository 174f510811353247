// The event log: whole, time-stamped lines from any number of threads, two
// files at most, and nothing at all when the log cannot be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "base/StopFlag.h"
#include "channel/LocalChannel.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TestEventLog.h"

namespace fs = std::filesystem;
using testlog::EventOf;
using testlog::LogFolder;
using testlog::ReadAll;

namespace {

std::vector<std::string> Lines(const fs::path& path) {
    bool endsWhole = false;
    std::vector<std::string> lines = testlog::Lines(path, &endsWhole);
    EXPECT_TRUE(endsWhole) << "the file ends inside a line";
    return lines;
}

void WriteFileOfSize(const fs::path& path, size_t size, char fill) {
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

// The log's clock in a test: 2026-12-08 09:12:00 local time and `g_seconds` after.
ULONGLONG g_seconds = 0;
void FakeNow(SYSTEMTIME* now) {
    const ULONGLONG start = 134411947200000000ull;  // 2026-12-08 09:12:00 as a FILETIME
    const ULONGLONG at = start + g_seconds * 10000000ull;
    const FILETIME file = {static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    FileTimeToSystemTime(&file, now);
}
struct FakeClock {
    FakeClock() { g_seconds = 0, SetEventLogClock(FakeNow); }
    ~FakeClock() { SetEventLogClock(nullptr); }
};

TEST(EventLog, EachEventIsOneTimeStampedUtf8Line) {
    LogFolder folder;
    const struct {
        const wchar_t* event;
        std::string line;
    } cases[] = {
        {L"Marlowcast (pid 1234) exited with code 0xC0000005", "Marlowcast (pid 1234) exited with code 0xC0000005"},
        // Text from a peer cannot start a line of its own.
        {L"answer \"HTTP/1.0 500\r\n2024-01-01 00:00:00.000 forged\"",
         "answer \"HTTP/1.0 500  2024-01-01 00:00:00.000 forged\""},
        {L"C:\\Users\\\x00C4rger\\\x65E5\x672C\\Marlowcast.exe",
         "C:\\Users\\\xC3\x84rger\\\xE6\x97\xA5\xE6\x9C\xAC\\Marlowcast.exe"},
    };
    for (const auto& c : cases) LogEvent(L"%ls", c.event);
    LogEvent(L"launch failed: error %lu (%ls), code 0x%08lX", 2UL, ErrorText(ERROR_FILE_NOT_FOUND).c_str(),
             0xC0000005UL);

    // The folder was made; every line has its stamp.
    const std::vector<std::string> lines = Lines(folder.Log());
    ASSERT_EQ(lines.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(EventOf(lines[i]), cases[i].line) << lines[i];
    // Windows' own words for the error, without the period and line break.
    const std::wstring words = ErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(words.empty());
    EXPECT_NE(words.back(), L'.');
    EXPECT_EQ(EventOf(lines.back()),
              "launch failed: error 2 (" + std::string(words.begin(), words.end()) + "), code 0xC0000005");

    // Without a test's folder, the user's local application data.
    SetEventLogFolder(nullptr);
    wchar_t local[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
    EXPECT_EQ(fs::path(EventLogPath()), fs::path(local) / L"Quillstone" / L"Quillstone.log");
}

TEST(EventLog, AFileOverTheLimitBecomesTheOlderOneBeforeTheNextLine) {
    const struct {
        size_t size;  // of the log before the line
        bool rotates;
    } cases[] = {
        {static_cast<size_t>(kEventLogLimit) - 1, false},
        {static_cast<size_t>(kEventLogLimit), false},
        {static_cast<size_t>(kEventLogLimit) + 1, true},
        {static_cast<size_t>(kEventLogLimit) + 4096, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        LogFolder folder;
        fs::create_directory(folder.Log().parent_path());
        WriteFileOfSize(folder.Log(), c.size, 'x');
        WriteFileOfSize(folder.Older(), 10, 'o');  // an older one is replaced, never kept as a third

        LogEvent(L"next");
        const std::string log = ReadAll(folder.Log());
        if (c.rotates) {
            EXPECT_EQ(fs::file_size(folder.Older()), c.size);
            EXPECT_EQ(EventOf(log.substr(0, log.size() - 2)), "next");
        } else {
            EXPECT_EQ(fs::file_size(folder.Older()), 10u);
            EXPECT_EQ(log.size(), c.size + 24 + 4 + 2);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.Log().parent_path()), fs::directory_iterator()), 2);
    }

    // As it grows: the line that takes it over the limit stays, the next one
    // starts a new file.
    LogFolder folder;
    fs::create_directory(folder.Log().parent_path());
    WriteFileOfSize(folder.Log(), static_cast<size_t>(kEventLogLimit) - 10, 'x');
    LogEvent(L"over the limit");
    LogEvent(L"first of the new file");
    EXPECT_EQ(fs::file_size(folder.Older()), kEventLogLimit - 10 + 24 + 14 + 2);
    ASSERT_EQ(Lines(folder.Log()).size(), 1u);
    EXPECT_EQ(EventOf(Lines(folder.Log()).front()), "first of the new file");
}

// A viewer or tail tool holds the log without delete sharing, so it cannot
// be renamed: lines go on into it up to twice the limit, one line says it is
// full, the rest are lost; a minute after the viewer lets go it is rotated.
TEST(EventLog, ALogThatCannotBeRenamedStopsAtTwiceTheLimitAndSaysSoOnce) {
    FakeClock clock;
    LogFolder folder;
    fs::create_directory(folder.Log().parent_path());
    const size_t start = static_cast<size_t>(2 * kEventLogLimit) - 100;
    WriteFileOfSize(folder.Log(), start, 'x');
    UniqueHandle reader(CreateFileW(folder.Log().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    for (int i = 0; i < 20; ++i) LogEvent(L"line %02d, a little longer than a few words", i);
    EXPECT_FALSE(fs::exists(folder.Older()));
    const std::vector<std::string> lines = Lines(folder.Log());  // the first starts with the x's
    ASSERT_EQ(lines.size(), 3u) << "two lines take it past twice the limit, then one says so";
    EXPECT_EQ(EventOf(lines[1]), "line 01, a little longer than a few words");
    EXPECT_EQ(EventOf(lines[2]).rfind("The log is full: Quillstone.log cannot be renamed to Quillstone.log.1", 0), 0u);

    reader.Reset();
    g_seconds += 30;
    LogEvent(L"lost: the rename is tried again only after a minute");
    EXPECT_FALSE(fs::exists(folder.Older()));
    g_seconds += 31;
    LogEvent(L"after the viewer let go");
    EXPECT_GT(fs::file_size(folder.Older()), 2 * kEventLogLimit);
    ASSERT_EQ(Lines(folder.Log()).size(), 1u);
    EXPECT_EQ(EventOf(Lines(folder.Log()).front()), "after the viewer let go");
}

// A line that a loop writes again unchanged is written once, then once an
// hour with how often it came, and at once when it says something else or
// its cause ended; other lines are written as they come.
TEST(EventLog, ARepeatingFailureIsWrittenOnceAnHourWithItsCount) {
    FakeClock clock;
    LogFolder folder;
    StopFlag running;
    running.Start();
    enum Kind { kLine, kRepeat, kEnd, kProbe, kProbes, kAnswered };
    const std::string kNobody = "Status request: no connection to 127.0.0.1:50918";
    const struct {
        ULONGLONG seconds;  // after 09:12:00
        Kind kind;          // kProbe(s): the status probe, nobody listening (every 8 s for an hour)
        const wchar_t* topic;
        const wchar_t* event;
        std::vector<std::string> written;
    } rows[] = {
        {0, kRepeat, L"launch", L"Launch failed: error 2", {"Launch failed: error 2"}},
        {8, kRepeat, L"launch", L"Launch failed: error 2", {}},
        {16, kRepeat, L"check", L"Check failed", {"Check failed"}},
        {16, kLine, nullptr, L"Launch failed: error 2", {"Launch failed: error 2"}},
        {24, kRepeat, L"launch", L"Launch failed: error 2", {}},
        {3599, kRepeat, L"launch", L"Launch failed: error 2", {}},
        {3600, kRepeat, L"launch", L"Launch failed: error 2", {"Launch failed: error 2; again, 4 times since 09:12"}},
        {3608, kRepeat, L"launch", L"Launch failed: error 2", {}},
        {7300, kRepeat, L"check", L"Check failed", {"Check failed"}},
        {7300, kRepeat, L"launch", L"Launch failed: error 2", {"Launch failed: error 2; again, 2 times since 10:12"}},
        {7301, kRepeat, L"launch", L"Launch failed: error 3", {"Launch failed: error 3"}},
        {7302, kRepeat, L"launch", L"Launch failed: error 2", {"Launch failed: error 2"}},
        {7303, kEnd, L"launch", nullptr, {}},
        {7304, kRepeat, L"launch", L"Launch failed: error 2", {"Launch failed: error 2"}},
        {7310, kProbes, nullptr, nullptr, {kNobody, kNobody + "; again, 450 times since 11:13"}},
        {10918, kAnswered, nullptr, nullptr, {}},
        {10926, kProbe, nullptr, nullptr, {kNobody}},
    };
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        g_seconds = row.seconds;
        switch (row.kind) {
            case kLine: LogEvent(L"%ls", row.event); break;
            case kRepeat: LogRepeatingEvent(row.topic, L"%ls", row.event); break;
            case kEnd: EndRepeatingEvent(row.topic); break;
            case kProbe: EXPECT_FALSE(ProbeStatus(running)); break;
            case kProbes:
                for (; g_seconds <= row.seconds + kRepeatIntervalSeconds; g_seconds += 8) {
                    EXPECT_FALSE(ProbeStatus(running));
                }
                break;
            case kAnswered: {
                e2e::ScriptedPeer marlowcast(kLocalChannelPort, [](SOCKET client, int) {
                    e2e::ReadRequest(client);
                    e2e::SendAll(client, "HTTP/1.0 200 OK\r\n\r\n");
                });
                EXPECT_TRUE(ProbeStatus(running));
            }
        }
        expected.insert(expected.end(), row.written.begin(), row.written.end());
    }
    EXPECT_EQ(testlog::Events(folder.Log()), expected);
    EXPECT_EQ(Lines(folder.Log()).front().substr(0, 24), "2026-12-08 09:12:00.000 ") << "stamped by the clock";
}

TEST(EventLog, LinesOfManyThreadsAtOnceStayWhole) {
    LogFolder folder;
    constexpr int kThreads = 8;
    constexpr int kLines = 150;
    // Long lines, so that torn writes would show.
    const std::wstring padding(600, L'.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kLines; ++i) LogEvent(L"thread %d line %d %ls end", t, i, padding.c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();

    ASSERT_LT(fs::file_size(folder.Log()), kEventLogLimit) << "the test must stay within one file";
    const std::regex whole(R"(thread (\d) line (\d+) \.{600} end)");
    std::vector<int> next(kThreads, 0);
    int count = 0;
    for (const std::string& line : Lines(folder.Log())) {
        std::smatch m;
        const std::string event = EventOf(line);
        ASSERT_TRUE(std::regex_match(event, m, whole)) << line.substr(0, 80);
        // Each thread's lines in its own order, none lost.
        EXPECT_EQ(std::stoi(m[2].str()), next[std::stoi(m[1].str())]++);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(EventLog, ALogThatCannotBeWrittenChangesNothing) {
    LogFolder folder;
    const fs::path aFile = folder.Root() / L"a file";
    WriteFileOfSize(aFile, 5, 'f');
    const struct {
        const char* name;
        fs::path folder;
        bool holdLog;  // somebody holds the log without sharing it
    } cases[] = {
        {"folder under a file", aFile / L"Quillstone", false},
        {"folder under a missing folder", folder.Root() / L"missing" / L"Quillstone", false},
        {"log held by another program", folder.Root() / L"Quillstone", true},
        {"log name taken by a folder", folder.Root() / L"taken", false},
        {"no such drive", L"\\\\?\\Q:\\nowhere", false},
    };
    fs::create_directories(folder.Root() / L"taken" / L"Quillstone.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        folder.Use(c.folder);
        UniqueHandle held;
        if (c.holdLog) {
            fs::create_directory(c.folder);
            held.Reset(CreateFileW(folder.Log().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held);
        }
        SetLastError(ERROR_INVALID_DATA);
        LogEvent(L"lost line %d", 1);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "the caller's last error is kept";
        std::error_code none;
        EXPECT_FALSE(fs::exists(folder.Older(), none));
    }
    EXPECT_EQ(ReadAll(aFile), "fffff");
    EXPECT_FALSE(fs::exists(folder.Root() / L"missing"));
    EXPECT_EQ(fs::file_size(folder.Root() / L"Quillstone" / L"Quillstone.log"), 0u);
}

}  // namespace
