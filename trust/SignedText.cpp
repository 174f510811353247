#include "trust/SignedText.h"

#include <cstdio>

namespace {

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the first of that month (proleptic Gregorian).
std::int64_t DaysBefore(int year, int month) {
    std::int64_t days = 0;
    for (int y = 1970; y < year; ++y) days += IsLeap(y) ? 366 : 365;
    for (int m = 1; m < month; ++m) days += DaysIn(year, m);
    return days;
}

// `count` decimal digits at `at`, as a number.
bool Digits(const std::string& text, std::size_t at, std::size_t count, int* value) {
    *value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool ReadDecimal(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    std::uint64_t number = 0;
    for (char c : text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool IsLowerHex(const std::string& text, std::size_t length) {
    return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool SplitLines(const std::string& text, std::vector<std::string>* lines) {
    if (text.empty() || text.back() != '\n') return false;
    lines->clear();
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool ParseUtcTime(const std::string& text, std::int64_t* seconds) {
    // 0123456789012345678 9
    // YYYY-MM-DDTHH:MM:SS Z
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    int year, month, day, hour, minute, second;
    if (!Digits(text, 0, 4, &year) || !Digits(text, 5, 2, &month) || !Digits(text, 8, 2, &day) ||
        !Digits(text, 11, 2, &hour) || !Digits(text, 14, 2, &minute) || !Digits(text, 17, 2, &second)) {
        return false;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    *seconds = ((DaysBefore(year, month) + day - 1) * 24 + hour) * 3600 + minute * 60 + second;
    return true;
}

std::string FormatUtcTime(std::int64_t seconds) {
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    int year = 1970, month = 1;
    while (days >= (IsLeap(year) ? 366 : 365)) days -= IsLeap(year++) ? 366 : 365;
    while (days >= DaysIn(year, month)) days -= DaysIn(year, month++);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, static_cast<int>(days) + 1,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}
