#include "base/AnsiText.h"

namespace {

constexpr UINT kGb18030 = 54936;

bool TakesNoFlags(UINT codePage) {
    // The ISO-2022 and ISCII code pages, UTF-7 and Symbol accept no flags at all.
    return codePage == CP_UTF7 || codePage == 42 || (codePage >= 50220 && codePage <= 50229) ||
           (codePage >= 57002 && codePage <= 57011);
}

std::wstring Widen(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    const int needed = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], needed);
    return wide;
}

}  // namespace

AnsiConversion AnsiConversionFor(UINT codePage) {
    if (codePage == CP_ACP) codePage = GetACP();
    if (codePage == CP_UTF8 || codePage == kGb18030) return {WC_ERR_INVALID_CHARS, false};
    if (TakesNoFlags(codePage)) return {0, false};
    return {WC_NO_BEST_FIT_CHARS, true};
}

bool ToAnsi(const std::wstring& text, std::string* out, std::size_t limit, UINT codePage) {
    out->clear();
    if (text.empty()) return limit >= 1;
    const AnsiConversion how = AnsiConversionFor(codePage);
    BOOL usedDefault = FALSE;
    BOOL* askUsedDefault = how.askUsedDefault ? &usedDefault : nullptr;
    const int needed = WideCharToMultiByte(codePage, how.flags, text.c_str(), -1, nullptr, 0, nullptr, askUsedDefault);
    if (needed <= 0 || static_cast<std::size_t>(needed) > limit || usedDefault) return false;
    std::string converted(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(codePage, how.flags, text.c_str(), -1, &converted[0], needed, nullptr, askUsedDefault) !=
            needed ||
        usedDefault) {
        return false;
    }
    converted.resize(static_cast<std::size_t>(needed) - 1);
    *out = std::move(converted);
    return true;
}

std::wstring FromAnsi(const std::string& text) { return Widen(CP_ACP, text); }

std::string ToUtf8(const std::wstring& text) {
    std::string utf8;
    ToAnsi(text, &utf8, static_cast<std::size_t>(-1), CP_UTF8);
    return utf8;
}

std::wstring FromUtf8(const std::string& text) { return Widen(CP_UTF8, text); }
