#include "upgrade/Installation.h"

#include <windows.h>

#include "base/AnsiText.h"
#include "base/Handles.h"
#include "package/UibPackage.h"

namespace {

constexpr std::size_t kAnsiPathLimit = 520;  // a path of 510 characters with its staging suffix

struct PowerCut {};

std::wstring Join(const std::wstring& folder, const std::wstring& relative) { return folder + L"\\" + relative; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

bool Move(const std::wstring& from, const std::wstring& to) {
    // Never over an existing file: a name that came into use meanwhile is
    // somebody else's. Written through, so that the journal never gets ahead
    // of the disk.
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

// A target an installation may replace: none yet, or a plain file that is
// neither read-only (a copy over it would fail) nor held open by a program
// that forbids others to rename or delete it.
bool Replaceable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return false;
    UniqueHandle probe(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

bool FolderFound(const std::wstring& path) {
    // A file of that name counts as found; making the folder is then not
    // tried, and staging into it fails.
    WIN32_FIND_DATAW found;
    return FindHandle(FindFirstFileW(path.c_str(), &found)).Found();
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    // Windows file names ignore letter case.
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// "<target><suffix>", or with a digit 1 to 9 after it, that is neither on
// disk nor planned already; empty when all are taken.
std::wstring FreeName(const std::wstring& folder, const std::wstring& target, const wchar_t* suffix,
                      std::vector<std::wstring>* planned) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::wstring name = target + suffix;
        if (attempt > 0) name += static_cast<wchar_t>(L'0' + attempt);
        bool taken = Exists(Join(folder, name));
        for (const std::wstring& p : *planned) taken = taken || SameName(p, name);
        if (!taken) {
            planned->push_back(name);
            return name;
        }
    }
    return std::wstring();
}

bool ForceToDisk(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.Get());
}

// Undoes what the journal says may have been done, in reverse. True when
// everything is back as before and the journal is gone.
bool Undo(const std::wstring& folder, const Journal& journal) {
    bool whole = true;
    if (journal.state == Journal::State::kCommitting) {
        for (auto e = journal.entries.rbegin(); e != journal.entries.rend(); ++e) {
            const std::wstring target = Join(folder, e->target), kept = Join(folder, e->kept);
            if (Exists(kept)) {
                // The new file, if it is in place already, goes; the old one comes back.
                whole = RemoveFile(target) && Move(kept, target) && whole;
            } else if (!e->existed && !Exists(Join(folder, e->staged))) {
                whole = RemoveFile(target) && whole;  // a new file that had no old one
            }
        }
    }
    for (const JournalEntry& e : journal.entries) whole = RemoveFile(Join(folder, e.staged)) && whole;
    // Folders this installation made go again once they are empty.
    for (auto f = journal.folders.rbegin(); f != journal.folders.rend(); ++f)
        RemoveDirectoryW(Join(folder, *f).c_str());
    return whole && RemoveJournal(folder);
}

// Every new file is in place: the kept copies go, then the journal.
bool Finish(const std::wstring& folder, const Journal& journal) {
    bool whole = true;
    for (const JournalEntry& e : journal.entries) whole = RemoveFile(Join(folder, e.kept)) && whole;
    return whole && RemoveJournal(folder);
}

}  // namespace

Installation::Installation(std::wstring folder) : m_folder(std::move(folder)) {}

void Installation::Step() {
    if (m_gate && !m_gate()) throw PowerCut();
}

Installation::Result Installation::Install(const std::vector<InstallItem>& items, const StopFlag& running,
                                           const std::function<void()>& onStaged) {
    try {
        return Run(items, running, onStaged);
    } catch (const PowerCut&) {
        return Result::kInterrupted;  // nothing is undone: that is the next start's work
    }
}

Installation::Result Installation::Run(const std::vector<InstallItem>& items, const StopFlag& running,
                                       const std::function<void()>& onStaged) {
    Journal staging;
    if (items.empty() || !Plan(items, &staging)) return Result::kFailed;
    Step();
    if (!WriteJournal(m_folder, staging)) {
        RemoveJournal(m_folder);
        return Result::kFailed;
    }
    if (!Stage(items, staging, running, onStaged)) {
        Step();
        Undo(m_folder, staging);
        return Result::kFailed;
    }

    const Journal commit = Winners(staging);
    Step();
    if (!WriteJournal(m_folder, commit)) {
        Undo(m_folder, staging);
        return Result::kFailed;
    }
    if (!PutInPlace(commit)) {
        Step();
        Undo(m_folder, commit);
        return Result::kFailed;
    }

    Journal finishing = commit;
    finishing.state = Journal::State::kFinishing;
    Step();
    if (!WriteJournal(m_folder, finishing)) {
        Undo(m_folder, commit);
        return Result::kFailed;
    }
    // Every new file is in place. Kept copies that cannot be removed now are
    // removed by the next start.
    for (const JournalEntry& e : finishing.entries) {
        Step();
        RemoveFile(Join(m_folder, e.kept));
    }
    Step();
    RemoveJournal(m_folder);
    return Result::kInstalled;
}

bool Installation::Plan(const std::vector<InstallItem>& items, Journal* journal) const {
    std::vector<std::wstring> planned;
    for (const InstallItem& item : items) {
        const std::wstring target = Join(m_folder, item.target);
        if (!Replaceable(target)) return false;
        // Only the last folder level is made; a deeper missing level makes
        // the staging fail.
        const std::size_t slash = item.target.rfind(L'\\');
        if (slash != std::wstring::npos) {
            const std::wstring parent = item.target.substr(0, slash);
            bool known = FolderFound(Join(m_folder, parent));
            for (const std::wstring& f : journal->folders) known = known || SameName(f, parent);
            if (!known) journal->folders.push_back(parent);
        }
        JournalEntry entry{item.target, FreeName(m_folder, item.target, L".~new", &planned),
                           FreeName(m_folder, item.target, L".~old", &planned), Exists(target)};
        if (entry.staged.empty() || entry.kept.empty()) return false;
        journal->entries.push_back(entry);
    }
    return true;
}

bool Installation::Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
                         const std::function<void()>& onStaged) {
    for (const std::wstring& made : journal.folders) {
        Step();
        CreateDirectoryW(Join(m_folder, made).c_str(), nullptr);  // a failure shows when staging into it
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!running.IsRunning()) return false;
        const std::wstring staged = Join(m_folder, journal.entries[i].staged);
        Step();
        if (!UniqueHandle(
                CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr))) {
            return false;
        }
        Step();
        if (items[i].package) {
            // The decoder takes paths in the ANSI code page.
            std::string source, output;
            if (!ToAnsi(items[i].source, &source, kAnsiPathLimit) || !ToAnsi(staged, &output, kAnsiPathLimit) ||
                !DecodeUibPackageTo(source.c_str(), output.c_str())) {
                return false;
            }
        } else if (!CopyFileW(items[i].source.c_str(), staged.c_str(), FALSE)) {
            return false;
        }
        // The journal will count on this file: it must be on disk first.
        Step();
        if (!ForceToDisk(staged)) return false;
        onStaged();
    }
    return true;
}

Journal Installation::Winners(const Journal& staging) {
    Journal commit;
    commit.state = Journal::State::kCommitting;
    commit.folders = staging.folders;
    for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
        bool later = false;
        for (const JournalEntry& w : commit.entries) later = later || SameName(w.target, e->target);
        if (later) {
            Step();
            RemoveFile(Join(m_folder, e->staged));
        } else {
            commit.entries.insert(commit.entries.begin(), *e);
        }
    }
    return commit;
}

bool Installation::PutInPlace(const Journal& commit) {
    for (const JournalEntry& e : commit.entries) {
        const std::wstring target = Join(m_folder, e.target);
        if (e.existed) {
            Step();
            if (!Move(target, Join(m_folder, e.kept))) return false;
        }
        Step();
        if (!Move(Join(m_folder, e.staged), target)) return false;
    }
    return true;
}

bool Installation::Recover(const std::wstring& folder) {
    Journal journal;
    if (!ReadJournal(folder, &journal)) {
        // No journal: at most a half-written first one, written before
        // anything else was touched. A journal that exists but cannot be
        // read is left alone.
        return !Exists(Join(folder, kJournalName)) && RemoveJournal(folder);
    }
    return journal.state == Journal::State::kFinishing ? Finish(folder, journal) : Undo(folder, journal);
}
