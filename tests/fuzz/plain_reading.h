// The fields of the signed documents read another way than trust/
// SignedText.cpp reads them, for the fuzz targets to compare against: numbers
// as digit strings, times by a civil-date formula instead of counting days.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace plain {

inline void Require(bool condition, const char* target, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s: %s\n", target, what);
        std::abort();
    }
}

// Lines split at each '\n', when the text ends in one.
inline bool Lines(std::string_view text, std::vector<std::string_view>* lines) {
    if (text.empty() || text.back() != '\n') return false;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// 1 to 20 decimal digits whose value fits 64 bits.
inline bool IsNumber(std::string_view text) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return text.size() < 20 || text <= std::string_view("18446744073709551615");
}

inline std::uint64_t ValueOf(std::string_view digits) {
    return std::strtoull(std::string(digits).c_str(), nullptr, 10);
}

inline bool IsHex(std::string_view text, std::size_t length) {
    if (text.size() != length) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SSZ", years 1970 to 9999, as seconds since 1970.
inline bool Time(std::string_view text, std::int64_t* seconds) {
    const std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
    }
    const auto field = [&](std::size_t at, std::size_t n) {
        return std::atoi(std::string(text.substr(at, n)).c_str());
    };
    const int y = field(0, 4), m = field(5, 2), d = field(8, 2);
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int monthDays = m == 2 ? (leap ? 29 : 28) : (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
    if (y < 1970 || m < 1 || m > 12 || d < 1 || d > monthDays || field(11, 2) > 23 || field(14, 2) > 59 ||
        field(17, 2) > 59) {
        return false;
    }
    // Days from 1970-01-01 of a civil date, with March as the year's first month.
    const int yy = m <= 2 ? y - 1 : y, era = yy / 400, yoe = yy - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1, doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    *seconds = days * 86400 + field(11, 2) * 3600 + field(14, 2) * 60 + field(17, 2);
    return true;
}

}  // namespace plain
