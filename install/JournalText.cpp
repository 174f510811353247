#include "install/JournalText.h"

#include "install/EntryPath.h"

namespace {

constexpr char kHeader[] = "Quillstone-Upgrade-Journal 1";
const char* const kStates[] = {"staging", "committing", "undone", "finishing"};
constexpr int kStateCount = sizeof kStates / sizeof kStates[0];

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
    for (const JournalEntry& e : entries) {
        if (e.target.size() > folder.size() && e.target.compare(0, folder.size(), folder) == 0 &&
            e.target[folder.size()] == '\\') {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string FormatJournal(const Journal& journal) {
    std::string text = std::string(kHeader) + "\n";
    text += std::string("state\t") + kStates[static_cast<int>(journal.state)] + "\n";
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
        // The writer's order: the state first, then folders, entries and
        // leftovers. Anything else was not written by an installation.
        const bool inOrder = stateSeen != (f[0] == "state") &&
                             !(f[0] == "folder" && !(read.entries.empty() && read.leftovers.empty())) &&
                             !(f[0] == "entry" && !read.leftovers.empty());
        if (!inOrder) return false;
        if (f[0] == "state" && f.size() == 2) {
            for (int s = 0; s < kStateCount; ++s) {
                if (f[1] == kStates[s]) read.state = static_cast<Journal::State>(s), stateSeen = true;
            }
            if (!stateSeen) return false;
        } else if (f[0] == "folder" && f.size() == 2 && IsSafeEntry(f[1])) {
            read.folders.push_back(f[1]);
        } else if (f[0] == "entry" && f.size() == 5 && (f[1] == "0" || f[1] == "1") && IsSafeEntry(f[2]) &&
                   IsSideName(f[3], f[2], kStagedSuffix) && IsSideName(f[4], f[2], kKeptSuffix)) {
            read.entries.push_back({f[2], f[3], f[4], f[1] == "1"});
        } else if (f[0] == "leftover" && f.size() == 3 && IsSafeEntry(f[1]) && IsSideName(f[2], f[1], kKeptSuffix)) {
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
