#include "channel/RequestText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>

namespace {

using namespace std::string_literals;

std::tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::string Compose(const char* line, const char* body, std::size_t outSize = kRequestTextSize) {
    std::string out(outSize, '\x7F');
    const std::size_t length = ComposeRequestText(line, kRequestHostLine, body, &out[0], outSize);
    return out.substr(0, length);
}

TEST(RequestText, ComposesTheBytesMarlowcastExpects) {
    const std::string body127(127, 'x');
    const struct {
        const char* line;
        const char* body;
        std::string expected;
    } cases[] = {
        {kUpgradeListRequestLine, "20250810_12:32:28",
         "GET /Marlowcast/UpgradeXml\r\nHOST: Quillstone 1.2\r\nContent-Length: 17\r\n\r\n"
         "20250810_12:32:28"},
        {kStatusRequestLine, "", "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 0\r\n\r\n"},
        {kStatusRequestLine, nullptr, "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 0\r\n\r\n"},
        {kStatusRequestLine, "Invalid DateTime",
         "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 16\r\n\r\nInvalid DateTime"},
        // The length counts bytes of the ANSI text, not characters of anything else.
        {kStatusRequestLine, "\xE9t\xE9",
         "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 3\r\n\r\n\xE9t\xE9"},
        {kStatusRequestLine, body127.c_str(),
         "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 127\r\n\r\n" + body127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(Compose(c.line, c.body), c.expected);
    }
}

TEST(RequestText, StatusRequestAtAKnownTimeIsTheExpected85Bytes) {
    const std::tm time = LocalTime(2025, 8, 10, 12, 32, 28);
    wchar_t wide[kRequestFieldSize];
    FormatRequestTimeText(&time, wide, kRequestFieldSize);
    const std::string body(wide, wide + std::wcslen(wide));  // plain ASCII digits
    const std::string request = Compose(kStatusRequestLine, body.c_str());
    // 22 + 20 + 18 bytes of lines, 8 of line ends, 17 of body.
    EXPECT_EQ(request,
              "GET /Marlowcast/Status\r\nHOST: Quillstone 1.2\r\nContent-Length: 17\r\n\r\n"
              "20250810_12:32:28");
    EXPECT_EQ(request.size(), 85u);
}

TEST(RequestText, ATextThatDoesNotFitIsNotComposedAtAll) {
    const std::string full = Compose(kStatusRequestLine, "20250810_12:32:28");
    EXPECT_EQ(Compose(kStatusRequestLine, "20250810_12:32:28", full.size()), full);
    EXPECT_EQ(Compose(kStatusRequestLine, "20250810_12:32:28", full.size() - 1), "");
    EXPECT_EQ(Compose(kStatusRequestLine, std::string(kRequestTextSize, 'x').c_str()), "");
}

TEST(RequestText, StatusOkIsRecognisedOnlyWithinOneChunkBeforeAnyZeroByte) {
    const struct {
        std::string chunk;
        bool ok;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"200 OK", true},
        {"200 OK\0trailing"s, true},
        {"\0HTTP/1.1 200 OK"s, false},
        {"HTTP/1.1 20\0"
         "0 OK"s,
         false},
        {"HTTP/1.1 200", false},
        {" OK\r\n", false},
        {"HTTP/1.1 200 Ok", false},
        {"HTTP/1.1 503 Busy", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk);
        EXPECT_EQ(ChunkHasStatusOk(c.chunk.data(), static_cast<int>(c.chunk.size())), c.ok);
    }
    // A read is not zero-terminated: bytes behind its length are not part of it.
    const char buffer[] = "HTTP/1.1 200 OK";
    EXPECT_FALSE(ChunkHasStatusOk(buffer, static_cast<int>(sizeof buffer - 2)));
}

TEST(RequestText, RequestTimeIsSeventeenCharactersOrInvalidDateTime) {
    const struct {
        std::tm time;
        const wchar_t* expected;
    } cases[] = {
        {LocalTime(2025, 8, 10, 12, 32, 28), L"20250810_12:32:28"},
        {LocalTime(2024, 2, 29, 23, 59, 59), L"20240229_23:59:59"},
        {LocalTime(1000, 1, 1, 0, 0, 0), L"10000101_00:00:00"},
        {LocalTime(9999, 12, 31, 23, 59, 59), L"99991231_23:59:59"},
        {LocalTime(999, 12, 31, 23, 59, 59), L"Invalid DateTime"},
        {LocalTime(10000, 1, 1, 0, 0, 0), L"Invalid DateTime"},
        {LocalTime(2023, 2, 29, 12, 0, 0), L"Invalid DateTime"},
        {LocalTime(2100, 2, 29, 12, 0, 0), L"Invalid DateTime"},
        {LocalTime(2025, 13, 1, 12, 0, 0), L"Invalid DateTime"},
        {LocalTime(2025, 0, 1, 12, 0, 0), L"Invalid DateTime"},
        {LocalTime(2025, 4, 31, 12, 0, 0), L"Invalid DateTime"},
        {LocalTime(2025, 8, 10, 24, 0, 0), L"Invalid DateTime"},
        {LocalTime(2025, 8, 10, 12, 60, 0), L"Invalid DateTime"},
        {LocalTime(2025, 8, 10, 12, 0, 60), L"Invalid DateTime"},
    };
    for (const auto& c : cases) {
        wchar_t text[kRequestFieldSize];
        std::fill(std::begin(text), std::end(text), L'?');
        const std::size_t length = FormatRequestTimeText(&c.time, text, kRequestFieldSize);
        EXPECT_EQ(std::wstring(text), c.expected);
        EXPECT_EQ(length, std::wstring(c.expected).size());
    }
    wchar_t text[kRequestFieldSize];
    FormatRequestTimeText(nullptr, text, kRequestFieldSize);
    EXPECT_EQ(std::wstring(text), L"Invalid DateTime");
}

}  // namespace
