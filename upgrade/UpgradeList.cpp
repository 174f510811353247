#include "upgrade/UpgradeList.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kShortestUsableAnswer = 17;

}  // namespace

bool IsUsableUpgradeAnswer(const char* buffer, std::size_t size) {
    if (buffer == nullptr) return false;
    const void* zero = std::memchr(buffer, '\0', size);
    if (zero == nullptr) return false;
    const auto length = static_cast<std::size_t>(static_cast<const char*>(zero) - buffer);
    return length >= kShortestUsableAnswer;
}

std::vector<std::string> ParseUpgradeList(const char* text) {
    std::vector<std::string> entries;
    if (text == nullptr) return entries;

    for (int n = 1; n <= kMaxUpgradeEntries; ++n) {
        char open[16];
        char close[16];
        const int openLength = std::snprintf(open, sizeof open, "<File_Name%02d>", n);
        std::snprintf(close, sizeof close, "</File_Name%02d>", n);

        const char* openAt = std::strstr(text, open);
        if (openAt == nullptr) break;
        const char* closeAt = std::strstr(text, close);
        if (closeAt == nullptr) break;

        // Both tags were found whole, so the end of the opening tag is still
        // inside the text. The difference is signed on purpose: a closing tag
        // that comes first gives a negative length and ends the list like an
        // empty entry does.
        const std::ptrdiff_t length = closeAt - (openAt + openLength);
        if (length < 1 || length > static_cast<std::ptrdiff_t>(kMaxUpgradeEntryLength)) break;
        entries.emplace_back(openAt + openLength, static_cast<std::size_t>(length));
    }
    return entries;
}
