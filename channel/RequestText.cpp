#include "channel/RequestText.h"

#include <cstdio>
#include <cstring>

namespace {

// Appends bytes to a fixed buffer and remembers if anything did not fit, so
// the composer checks once at the end instead of after every piece.
class BoundedText {
public:
    BoundedText(char* out, std::size_t size) : m_out(out), m_size(size) {}

    void Append(const char* text, std::size_t length) {
        if (m_overflow || length > m_size - m_used) {
            m_overflow = true;
            return;
        }
        if (length > 0) {
            std::memcpy(m_out + m_used, text, length);
            m_used += length;
        }
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }

    std::size_t Result() const { return m_overflow ? 0 : m_used; }

private:
    char* m_out;
    std::size_t m_size;
    std::size_t m_used = 0;
    bool m_overflow = false;
};

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month0) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month0 == 1 && IsLeapYear(year) ? 29 : kDays[month0];
}

// Only times the date-time facility accepts are formatted: a real calendar
// date, a 24-hour clock without leap seconds, and a four-digit year so the
// text keeps its fixed width.
bool IsRepresentable(const std::tm& t) {
    if (t.tm_year < 1000 - 1900 || t.tm_year > 9999 - 1900) return false;
    const int year = t.tm_year + 1900;
    if (t.tm_mon < 0 || t.tm_mon > 11) return false;
    if (t.tm_mday < 1 || t.tm_mday > DaysInMonth(year, t.tm_mon)) return false;
    if (t.tm_hour < 0 || t.tm_hour > 23) return false;
    if (t.tm_min < 0 || t.tm_min > 59) return false;
    if (t.tm_sec < 0 || t.tm_sec > 59) return false;
    return true;
}

std::size_t WidenAscii(const char* text, wchar_t* out, std::size_t count) {
    std::size_t n = 0;
    for (; text[n] != '\0' && n + 1 < count; ++n) {
        out[n] = static_cast<wchar_t>(static_cast<unsigned char>(text[n]));
    }
    out[n] = L'\0';
    return n;
}

}  // namespace

std::size_t ComposeRequestText(const char* requestLine, const char* hostLine, const char* body, char* out,
                               std::size_t outSize) {
    if (out == nullptr) return 0;
    const std::size_t bodyLength = body != nullptr ? std::strlen(body) : 0;
    if (bodyLength > outSize) return 0;  // keeps the cast to long below exact

    char lengthLine[kLengthLineSize];
    std::snprintf(lengthLine, kLengthLineLimit, "Content-Length: %ld", static_cast<long>(bodyLength));

    BoundedText text(out, outSize);
    text.Append(requestLine != nullptr ? requestLine : "");
    text.Append("\r\n");
    text.Append(hostLine != nullptr ? hostLine : "");
    text.Append("\r\n");
    text.Append(lengthLine);
    text.Append("\r\n\r\n");
    if (bodyLength > 0) text.Append(body, bodyLength);
    return text.Result();
}

bool ChunkHasStatusOk(const char* chunk, int length) {
    static const char kOk[] = "200 OK";
    constexpr std::size_t kOkLength = sizeof kOk - 1;
    if (chunk == nullptr || length <= 0) return false;

    // The chunk is not zero-terminated: the reply buffer is filled by a read
    // and may be full to its last byte. A zero byte inside ends the text.
    const void* zero = std::memchr(chunk, '\0', static_cast<std::size_t>(length));
    const std::size_t textLength = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - chunk)
                                                   : static_cast<std::size_t>(length);
    for (std::size_t at = 0; at + kOkLength <= textLength; ++at) {
        if (std::memcmp(chunk + at, kOk, kOkLength) == 0) return true;
    }
    return false;
}

std::size_t FormatRequestTimeText(const std::tm* localTime, wchar_t* out, std::size_t count) {
    if (out == nullptr || count == 0) return 0;
    if (localTime == nullptr || !IsRepresentable(*localTime)) {
        return WidenAscii(kInvalidRequestTime, out, count);
    }
    char text[kRequestFieldSize];
    std::snprintf(text, sizeof text, "%04d%02d%02d_%02d:%02d:%02d", localTime->tm_year + 1900, localTime->tm_mon + 1,
                  localTime->tm_mday, localTime->tm_hour, localTime->tm_min, localTime->tm_sec);
    return WidenAscii(text, out, count);
}
