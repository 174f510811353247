// Feeds arbitrary bytes to the journal reader as the file a start finds in the
// installation folder, and checks what holds for every record it accepts
// (against a plain reading of the rules, not the reader's own helpers): the
// text is exactly what the writer makes of the record, so nothing in it was
// skipped or guessed; every path is relative, made of non-empty names other
// than "." and "..", without ':' or '/'; every staged and kept name is the
// installation's own (a number in its folder), none twice; no more items
// than a list can make; every folder holds a target (letter case aside); a
// release name is made of lower-case letters, digits and spaces, and a
// failure count is 1 to 99.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "install/JournalText.h"

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "journal_fuzz: %s\n", what);
        std::abort();
    }
}

void CheckPath(const std::string& path) {
    Require(!path.empty() && path.find_first_of(":/") == std::string::npos, "an empty path, a drive or a '/'");
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        Require(!name.empty() && name != "." && name != "..", "a path that leaves the folder");
        if (end == std::string::npos) return;
        start = end + 1;
    }
}

void CheckSide(const std::string& name, const std::string& suffix) {
    CheckPath(name);
    const std::string folder = "Quillstone-upgrade\\";
    Require(name.size() > folder.size() + suffix.size() && name.compare(0, folder.size(), folder) == 0 &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0,
            "a side name outside the installation's folder");
    for (std::size_t i = folder.size(); i < name.size() - suffix.size(); ++i) {
        Require(name[i] >= '0' && name[i] <= '9', "a side name that is not a number");
    }
}

// Windows ignores the letter case of names; the installation's planner
// compares ASCII letters so, and its folders are written as first named.
std::string AsciiUpper(std::string s) {
    for (char& c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Journal journal;
    if (!ParseJournal(text, &journal)) return 0;
    Require(FormatJournal(journal) == text, "an accepted text that is not what the writer writes");
    Require(journal.entries.size() <= 99 && journal.leftovers.size() <= 99 && journal.folders.size() <= 99,
            "more items than a list can make");
    for (char c : journal.release) {
        Require((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ', "a release name the writer never writes");
    }
    Require(journal.release.size() <= 100 && journal.failures >= 0 && journal.failures <= 99, "a count out of range");
    std::set<std::string> sides;
    for (const JournalEntry& e : journal.entries) {
        CheckPath(e.target);
        CheckSide(e.staged, ".new");
        CheckSide(e.kept, ".old");
        Require(sides.insert(e.staged).second && sides.insert(e.kept).second, "a side name twice");
    }
    for (const Leftover& l : journal.leftovers) {
        CheckPath(l.target);
        CheckSide(l.kept, ".old");
        Require(sides.insert(l.kept).second, "a side name twice");
    }
    for (const std::string& folder : journal.folders) {
        CheckPath(folder);
        bool holds = false;
        for (const JournalEntry& e : journal.entries) {
            holds = holds || (e.target.size() > folder.size() && e.target[folder.size()] == '\\' &&
                              AsciiUpper(e.target.substr(0, folder.size())) == AsciiUpper(folder));
        }
        Require(holds, "a folder that holds none of the targets");
    }
    return 0;
}
