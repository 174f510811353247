// Feeds arbitrary bytes to the upgrade-list parser as Marlowcast's answer and
// checks what holds for every input: nothing is read past the terminating zero
// (the text sits in a buffer that ends there, so ASan sees such a read); at
// most 99 entries of 1 to 64 bytes without a zero byte, each exactly what lies
// between the first occurrences of its tags, and no valid entry for the number
// after the last one (against a plain std::string_view reading of the rules);
// an accepted entry has no forbidden byte and no empty, "." or ".." name; a
// URL name decodes back to the name and uses only path-safe bytes and %XX.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "install/EntryPath.h"
#include "upgrade/UpgradeList.h"
#include "upgrade/UrlName.h"

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "upgrade_list_fuzz: %s\n", what);
        std::abort();
    }
}

std::string Tag(const char* format, int n) {
    char tag[32];
    std::snprintf(tag, sizeof tag, format, n);
    return tag;
}

// Where entry n lies by the rules, or false when number n has no entry.
bool ReferenceEntry(std::string_view text, int n, std::string_view* entry) {
    const std::string open = Tag("<File_Name%02d>", n);
    const std::size_t openAt = text.find(open);
    const std::size_t closeAt = text.find(Tag("</File_Name%02d>", n));
    if (openAt == std::string_view::npos || closeAt == std::string_view::npos) return false;
    const std::size_t start = openAt + open.size();
    if (closeAt <= start || closeAt - start > kMaxUpgradeEntryLength) return false;
    *entry = text.substr(start, closeAt - start);
    return true;
}

bool IsUrlPathByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~!$&'()*+,;=@", c) != nullptr);
}

void CheckEntry(const std::string& entry) {
    const std::string encoded = EncodeUrlNamePart(entry);
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            Require(IsUrlPathByte(encoded[i]), "a byte in a URL name that a path cannot carry");
            decoded += encoded[i];
            continue;
        }
        const std::string hex = encoded.substr(i + 1, 2);
        Require(hex.size() == 2 && std::strspn(hex.c_str(), "0123456789ABCDEF") == 2,
                "a % without two upper-case hex digits in a URL name");
        decoded += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
        i += 2;
    }
    Require(decoded == entry, "a URL name does not decode to the name");

    if (!IsSafeEntry(entry)) return;
    Require(!entry.empty() && entry.front() != '\\' && entry.back() != '\\', "an accepted entry is empty or absolute");
    for (char c : entry) {
        Require(static_cast<unsigned char>(c) >= 0x20 && std::strchr("<>:\"/|?*", c) == nullptr,
                "an accepted entry holds a forbidden byte");
    }
    const std::string names = "\\" + entry + "\\";
    Require(names.find("\\\\") == std::string::npos && names.find("\\.\\") == std::string::npos &&
                names.find("\\..\\") == std::string::npos,
            "an accepted entry has an empty, \".\" or \"..\" name");
    Require(!NamePart(entry).empty(), "an accepted entry has no name part");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const void* zero = size > 0 ? std::memchr(data, '\0', size) : nullptr;
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) : size;
    std::unique_ptr<char[]> text(new char[length + 1]);
    if (length > 0) std::memcpy(text.get(), data, length);
    text[length] = '\0';

    const auto entries = ParseUpgradeList(text.get());
    Require(entries.size() <= static_cast<std::size_t>(kMaxUpgradeEntries), "more than 99 entries");

    const std::string_view view(text.get(), length);
    std::string_view expected;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        Require(!entry.empty() && entry.size() <= kMaxUpgradeEntryLength, "an entry of a wrong length");
        Require(entry.find('\0') == std::string::npos, "an entry with a zero byte");
        Require(ReferenceEntry(view, static_cast<int>(i) + 1, &expected) && expected == entry,
                "an entry that is not between its tags");
        CheckEntry(entry);
    }
    if (entries.size() < static_cast<std::size_t>(kMaxUpgradeEntries)) {
        Require(!ReferenceEntry(view, static_cast<int>(entries.size()) + 1, &expected),
                "the list ended before a valid entry");
    }

    // The entry check sees every byte string too, zero bytes included.
    CheckEntry(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
