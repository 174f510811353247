#include "upgrade/InstallJournal.h"

#include <windows.h>

#include <sstream>

#include "base/AnsiText.h"
#include "base/Handles.h"

namespace {

constexpr char kHeader[] = "Quillstone-Upgrade-Journal 1";
constexpr wchar_t kUnfinished[] = L".~new";
const char* const kStates[] = {"staging", "committing", "finishing"};

std::wstring PathOf(const std::wstring& folder) { return folder + L"\\" + kJournalName; }

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool RemoveIfPresent(const std::wstring& path) {
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool WriteJournal(const std::wstring& folder, const Journal& journal) {
    std::string text = std::string(kHeader) + "\n";
    text += std::string("state\t") + kStates[static_cast<int>(journal.state)] + "\n";
    for (const std::wstring& made : journal.folders) text += "folder\t" + ToUtf8(made) + "\n";
    for (const JournalEntry& e : journal.entries) {
        text += std::string("entry\t") + (e.existed ? "1" : "0") + "\t" + ToUtf8(e.target) + "\t" + ToUtf8(e.staged) +
                "\t" + ToUtf8(e.kept) + "\n";
    }

    const std::wstring path = PathOf(folder), unfinished = path + kUnfinished;
    {
        UniqueHandle file(
            CreateFileW(unfinished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.Get())) {
            file.Reset();
            DeleteFileW(unfinished.c_str());
            return false;
        }
    }
    return MoveFileExW(unfinished.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool ReadJournal(const std::wstring& folder, Journal* journal) {
    UniqueHandle file(CreateFileW(PathOf(folder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);

    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader) return false;
    Journal read;
    bool stateSeen = false;
    while (std::getline(lines, line)) {
        const std::vector<std::string> f = Fields(line);
        if (f.size() == 2 && f[0] == "state") {
            for (int s = 0; s < 3; ++s) {
                if (f[1] == kStates[s]) read.state = static_cast<Journal::State>(s), stateSeen = true;
            }
        } else if (f.size() == 2 && f[0] == "folder") {
            read.folders.push_back(FromUtf8(f[1]));
        } else if (f.size() == 5 && f[0] == "entry") {
            read.entries.push_back({FromUtf8(f[2]), FromUtf8(f[3]), FromUtf8(f[4]), f[1] == "1"});
        } else {
            return false;
        }
    }
    if (!stateSeen) return false;
    *journal = std::move(read);
    return true;
}

bool RemoveJournal(const std::wstring& folder) {
    const std::wstring path = PathOf(folder);
    return RemoveIfPresent(path + kUnfinished) && RemoveIfPresent(path);
}
