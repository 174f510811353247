#include "install/EntryPath.h"

#include <cstring>

namespace {

constexpr char kPackageSuffix[] = ".uib";
constexpr std::size_t kPackageSuffixLength = sizeof kPackageSuffix - 1;

bool IsForbiddenByte(unsigned char c) {
    // Control bytes first: strchr would also match the terminating zero.
    return c < 0x20 || std::strchr("<>:\"/|?*", c) != nullptr;
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens a device instead of a file for these names in every folder.
// It looks only at the part before the first dot, with trailing spaces
// dropped, so "con.txt", "con.tar.gz" and "con .txt" are all the console.
// The superscript digits are the Windows-1252 bytes (or, in the journal,
// UTF-8); in other code pages refusing them costs no real file name.
bool IsDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = UpperAscii(c);

    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    if (base.size() == 5 && base[3] == '\xC2') base.erase(3, 1);  // the superscripts in UTF-8 (the journal)
    if (base.size() != 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) {
        return false;
    }
    const unsigned char digit = static_cast<unsigned char>(base[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool IsSafeName(const std::string& name) {
    if (name.empty()) return false;
    // Windows strips a trailing dot or space when it opens a file, so such a
    // name would land on another file than the one it spells; "." and ".."
    // end in a dot too.
    if (name.back() == '.' || name.back() == ' ') return false;
    return !IsDeviceName(name);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    }
    return true;
}

// "NAME~N.EXT": up to eight characters, a tilde and digits at the end of
// them, and an extension of up to three; the form Windows gives short names.
bool IsShortNameShape(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t base = dot == std::string::npos ? name.size() : dot;
    if (base > 8 || (dot != std::string::npos && name.size() - dot - 1 > 3)) return false;
    std::size_t digits = base;
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    return digits < base && digits > 1 && name[digits - 1] == '~';
}

bool IsSafePath(const std::string& path) {
    for (char c : path) {
        if (IsForbiddenByte(static_cast<unsigned char>(c))) return false;
    }
    // Splitting an empty path gives one empty name, and a leading, doubled or
    // trailing '\' gives an empty name too.
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!IsSafeName(name) || EqualsIgnoringCase(name, kTransactionFolder) || IsShortNameShape(name)) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

}  // namespace

bool IsSafeEntry(const std::string& entry) {
    if (!IsSafePath(entry)) return false;
    // The suffix is compared with its letter case, as the installer does:
    // only ".uib" is decoded, ".UIB" is copied as it is.
    const std::size_t size = entry.size();
    if (size >= kPackageSuffixLength &&
        entry.compare(size - kPackageSuffixLength, kPackageSuffixLength, kPackageSuffix) == 0) {
        return IsSafePath(entry.substr(0, size - kPackageSuffixLength));
    }
    return true;
}

bool SameEntry(const std::string& a, const std::string& b) { return EqualsIgnoringCase(a, b); }

bool EntryIsIn(const std::string& entry, const std::string& folder) {
    return entry.size() > folder.size() && entry[folder.size()] == '\\' &&
           EqualsIgnoringCase(entry.substr(0, folder.size()), folder);
}

std::string NamePart(const std::string& entry) {
    const std::size_t slash = entry.rfind('\\');
    return slash == std::string::npos ? entry : entry.substr(slash + 1);
}
