#include "install/JournalText.h"

#include <algorithm>

#include "install/EntryPath.h"

namespace {

constexpr char kHeader[] = "Quillstone-Upgrade-Journal 2";
const char* const kStates[] = {"staging", "committing", "undone", "finishing", "probation"};
constexpr int kStateCount = sizeof kStates / sizeof kStates[0];
// Numbers stay well below what a sweep of the folder could take long over.
constexpr unsigned kMaxSideNumber = 9999;

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool HoldsATarget(const std::string& folder, const std::vector<JournalEntry>& entries) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const JournalEntry& e) { return EntryIsIn(e.target, folder); });
}

// The number in "<folder>\<n><suffix>", as the writer writes it (no leading
// zero), or 0.
unsigned SideNumber(const std::string& name, const std::string& suffix) {
    const std::string folder = std::string(kTransactionFolder) + "\\";
    if (name.size() <= folder.size() + suffix.size() || name.compare(0, folder.size(), folder) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return 0;
    }
    const std::string digits = name.substr(folder.size(), name.size() - folder.size() - suffix.size());
    if (digits.size() > 4 || digits[0] == '0') return 0;
    unsigned n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n <= kMaxSideNumber ? n : 0;
}

// Every side copy a record names is its own, and none is named twice.
class SideNames {
public:
    bool Staged(const std::string& name) { return Take(name, ".new"); }
    bool Kept(const std::string& name) { return Take(name, ".old"); }

private:
    bool Take(const std::string& name, const char* suffix) {
        if (SideNumber(name, suffix) == 0) return false;
        if (std::find(m_taken.begin(), m_taken.end(), name) != m_taken.end()) return false;
        m_taken.push_back(name);
        return true;
    }
    std::vector<std::string> m_taken;
};

}  // namespace

bool IsReleaseName(const std::string& name) {
    return !name.empty() && name.size() <= 100 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ';
    });
}

std::string StagedName(unsigned n) { return std::string(kTransactionFolder) + "\\" + std::to_string(n) + ".new"; }
std::string KeptName(unsigned n) { return std::string(kTransactionFolder) + "\\" + std::to_string(n) + ".old"; }

std::string FormatJournal(const Journal& journal) {
    std::string text = std::string(kHeader) + "\n";
    text += std::string("state\t") + kStates[static_cast<int>(journal.state)] + "\n";
    if (!journal.release.empty()) text += "release\t" + journal.release + "\n";
    if (journal.failures > 0) text += "failures\t" + std::to_string(journal.failures) + "\n";
    for (const std::string& made : journal.folders) text += "folder\t" + made + "\n";
    for (const JournalEntry& e : journal.entries) {
        text +=
            std::string("entry\t") + (e.existed ? "1" : "0") + "\t" + e.target + "\t" + e.staged + "\t" + e.kept + "\n";
    }
    for (const Leftover& l : journal.leftovers) text += "leftover\t" + l.target + "\t" + l.kept + "\n";
    return text;
}

bool ParseJournal(const std::string& text, Journal* journal) {
    if (text.size() > kJournalLimit) return false;
    Journal read;
    bool stateSeen = false;
    std::size_t start = 0;
    SideNames sides;
    for (bool first = true; start < text.size(); first = false) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;  // every line ends with its newline
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != kHeader) return false;
            continue;
        }
        const std::vector<std::string> f = Fields(line);
        // The writer's order: the state first, then the release, the
        // failures, folders, entries and leftovers, each of the first three
        // once. Anything else was not written by an installation.
        const bool itemsSeen = !(read.folders.empty() && read.entries.empty() && read.leftovers.empty());
        const bool inOrder = stateSeen != (f[0] == "state") &&
                             !(f[0] == "release" && (itemsSeen || read.failures > 0 || !read.release.empty())) &&
                             !(f[0] == "failures" && (itemsSeen || read.failures > 0)) &&
                             !(f[0] == "folder" && !(read.entries.empty() && read.leftovers.empty())) &&
                             !(f[0] == "entry" && !read.leftovers.empty());
        if (!inOrder) return false;
        if (f[0] == "state" && f.size() == 2) {
            for (int s = 0; s < kStateCount; ++s) {
                if (f[1] == kStates[s]) read.state = static_cast<Journal::State>(s), stateSeen = true;
            }
            if (!stateSeen) return false;
        } else if (f[0] == "release" && f.size() == 2 && IsReleaseName(f[1])) {
            read.release = f[1];
        } else if (f[0] == "failures" && f.size() == 2 && f[1].size() <= 2 && f[1][0] >= '1' && f[1][0] <= '9' &&
                   (f[1].size() == 1 || (f[1][1] >= '0' && f[1][1] <= '9'))) {
            read.failures = std::stoi(f[1]);
        } else if (f[0] == "folder" && f.size() == 2 && IsSafeEntry(f[1]) && read.folders.size() < kJournalItems &&
                   std::none_of(read.folders.begin(), read.folders.end(),
                                [&](const std::string& made) { return SameEntry(made, f[1]); })) {
            read.folders.push_back(f[1]);
        } else if (f[0] == "entry" && f.size() == 5 && (f[1] == "0" || f[1] == "1") && IsSafeEntry(f[2]) &&
                   read.entries.size() < kJournalItems && sides.Staged(f[3]) && sides.Kept(f[4])) {
            read.entries.push_back({f[2], f[3], f[4], f[1] == "1"});
        } else if (f[0] == "leftover" && f.size() == 3 && IsSafeEntry(f[1]) && read.leftovers.size() < kJournalItems &&
                   sides.Kept(f[2])) {
            read.leftovers.push_back({f[1], f[2]});
        } else {
            return false;
        }
    }
    if (!stateSeen) return false;
    // A folder the installation made holds one of its files; any other is
    // somebody else's, and the undo must not remove it.
    for (const std::string& folder : read.folders) {
        if (!HoldsATarget(folder, read.entries)) return false;
    }
    *journal = std::move(read);
    return true;
}

bool ReadsBack(const std::string& text) {
    Journal read;
    return ParseJournal(text, &read) && FormatJournal(read) == text;
}
