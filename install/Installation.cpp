#include "install/Installation.h"

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "base/MarlowcastMutex.h"
#include "install/EntryPath.h"
#include "package/UibPackage.h"

namespace {

constexpr std::size_t kAnsiPathLimit = 520;  // a path of 510 characters with its staging suffix
constexpr DWORD kRetryPauseMs = 100;
// Side names per target: the suffix alone, then with 1 to 99 after it, so
// that replaced files still held by a program never use up a target's names.
constexpr int kSideNames = 100;

struct PowerCut {};

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

// Puts a kept copy back in one step: the target is never absent, even when
// the move cannot be made.
bool MoveBack(const std::wstring& kept, const std::wstring& target) {
    return MoveFileExW(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// A target an installation may replace: none yet, or a plain file that is
// neither read-only (a copy over it would fail) nor held open by a program
// that forbids others to rename or delete it.
bool Replaceable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    UniqueHandle probe(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

// Errors a scanner or an indexer causes while it reads a file for a moment.
// Access is denied for good on a read-only file or a folder.
bool Transient(DWORD error, const std::wstring& path) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    if (error != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

bool FolderFound(const std::wstring& path) {
    // A file of that name counts as found; making the folder is then not
    // tried, and staging into it fails.
    WIN32_FIND_DATAW found;
    return FindHandle(FindFirstFileW(path.c_str(), &found)).Found();
}

bool SameName(const std::string& a, const std::string& b) {
    // Windows file names ignore letter case.
    return CompareStringOrdinal(FromUtf8(a).c_str(), -1, FromUtf8(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

const wchar_t* StateName(Journal::State state) {
    switch (state) {
        case Journal::State::kStaging: return L"staging";
        case Journal::State::kCommitting: return L"committing";
        case Journal::State::kUndone: return L"undone";
        case Journal::State::kFinishing: return L"finishing";
    }
    return L"unknown";
}

bool ForceToDisk(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.Get());
}

}  // namespace

Installation::Installation(std::wstring folder) : m_folder(std::move(folder)) {}

std::wstring Installation::PathOf(const std::string& relative) const { return m_folder + L"\\" + FromUtf8(relative); }

void Installation::Step() {
    if (m_gate && !m_gate()) throw PowerCut();
}

template <typename Attempt>
bool Installation::Patiently(const std::wstring& path, Attempt attempt) const {
    const ULONGLONG started = GetTickCount64(), deadline = started + m_patienceMs;
    bool waited = false;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        if (attempt()) {
            if (waited) LogEvent(L"%ls is free again after %llu ms", path.c_str(), GetTickCount64() - started);
            return true;
        }
        const DWORD error = GetLastError();
        if (!Transient(error, path) || GetTickCount64() >= deadline) {
            SetLastError(error);
            return false;
        }
        if (!waited) {
            LogEvent(L"%ls is held by another program, error %lu (%ls): waiting up to %lu ms for it", path.c_str(),
                     error, ErrorText(error).c_str(), m_patienceMs);
        }
        waited = true;
        Sleep(kRetryPauseMs);
    }
}

bool Installation::Record(const Journal& journal) const {
    if (Patiently(PathOf(kJournalFile), [&] { return WriteJournal(m_folder, journal); })) return true;
    const DWORD error = GetLastError();
    LogEvent(L"Installation journal in %ls could not be written (state %ls): error %lu (%ls)", m_folder.c_str(),
             StateName(journal.state), error, ErrorText(error).c_str());
    return false;
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
    // The journal of an earlier installation is its only record: it is
    // recovered before a new one is written over it.
    if (items.empty()) return Result::kFailed;
    if (!RecoverSteps()) {
        LogEvent(L"Installation not started: an earlier installation in %ls is not recovered", m_folder.c_str());
        return Result::kFailed;
    }
    Journal staging, standing;
    if (ReadJournal(m_folder, &standing) == JournalFound::kRead) staging.leftovers = standing.leftovers;
    if (!Plan(items, &staging)) return Result::kFailed;
    Step();
    if (!Record(staging)) return Result::kFailed;
    if (!Stage(items, staging, running, onStaged)) {
        Step();
        Undo(staging);
        return Result::kFailed;
    }

    const unsigned long staged = static_cast<unsigned long>(staging.entries.size());
    LogEvent(L"Installation into %ls: %lu file%ls staged", m_folder.c_str(), staged, staged == 1 ? L"" : L"s");
    const Journal commit = Winners(staging);
    Step();
    if (!Record(commit)) {
        Undo(staging);
        return Result::kFailed;
    }
    if (!PutInPlace(commit)) {
        Step();
        Undo(commit);
        return Result::kFailed;
    }

    Journal finishing = commit;
    finishing.state = Journal::State::kFinishing;
    Step();
    if (!Record(finishing)) {
        Undo(commit);
        return Result::kFailed;
    }
    const unsigned long placed = static_cast<unsigned long>(commit.entries.size());
    LogEvent(L"Installation committed: %lu file%ls in place", placed, placed == 1 ? L"" : L"s");
    Finish(finishing);
    return Result::kInstalled;
}

bool Installation::Plan(const std::vector<InstallItem>& items, Journal* journal) {
    // Every name the installation uses, targets included, so that no staged
    // or kept name can fall on another entry's target.
    std::vector<std::string> planned;
    for (const InstallItem& item : items) planned.push_back(ToUtf8(item.target));
    const auto freeName = [&](const std::string& target, const char* suffix) {
        for (int attempt = 0; attempt < kSideNames; ++attempt) {
            const std::string name = target + suffix + (attempt > 0 ? std::to_string(attempt) : "");
            bool taken = Exists(PathOf(name));
            for (const std::string& p : planned) taken = taken || SameName(p, name);
            if (!taken) {
                planned.push_back(name);
                return name;
            }
        }
        return std::string();
    };

    for (const InstallItem& item : items) {
        // The list was checked; this keeps any caller from naming the
        // installation's own files.
        const std::string target = ToUtf8(item.target);
        if (!IsSafeEntry(target)) {
            LogEvent(L"Installation refused: %ls is not a name an upgrade may install", item.target.c_str());
            return false;
        }
        const std::wstring path = PathOf(target);
        if (!Patiently(path, [&] { return Replaceable(path); })) {
            const DWORD error = GetLastError();
            LogEvent(L"Installation failed before any change: %ls cannot be replaced, error %lu (%ls)", path.c_str(),
                     error, ErrorText(error).c_str());
            return false;
        }
        // Only the last folder level is made; a deeper missing level makes
        // the staging fail.
        const std::size_t slash = target.rfind('\\');
        if (slash != std::string::npos) {
            const std::string parent = target.substr(0, slash);
            bool known = FolderFound(PathOf(parent));
            for (const std::string& f : journal->folders) known = known || SameName(f, parent);
            if (!known) journal->folders.push_back(parent);
        }
        JournalEntry entry{target, freeName(target, kStagedSuffix), freeName(target, kKeptSuffix), Exists(path)};
        if (entry.staged.empty() || entry.kept.empty()) {
            LogEvent(L"Installation failed before any change: every side name of %ls is taken", path.c_str());
            return false;
        }
        journal->entries.push_back(entry);
    }
    return true;
}

bool Installation::Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
                         const std::function<void()>& onStaged) {
    for (const std::string& made : journal.folders) {
        Step();
        CreateDirectoryW(PathOf(made).c_str(), nullptr);  // a failure shows when staging into it
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!running.IsRunning()) return false;
        const std::wstring staged = PathOf(journal.entries[i].staged);
        Step();
        if (!UniqueHandle(
                CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr))) {
            const DWORD error = GetLastError();
            LogEvent(L"Installation failed staging %ls: it could not be made, error %lu (%ls)", staged.c_str(), error,
                     ErrorText(error).c_str());
            return false;
        }
        Step();
        const InstallItem& item = items[i];
        const bool made = Patiently(staged, [&] {
            if (!item.package) return CopyFileW(item.source.c_str(), staged.c_str(), FALSE) != FALSE;
            // The decoder takes paths in the ANSI code page.
            std::string source, output;
            return ToAnsi(item.source, &source, kAnsiPathLimit) && ToAnsi(staged, &output, kAnsiPathLimit) &&
                   DecodeUibPackageTo(source.c_str(), output.c_str());
        });
        const DWORD error = GetLastError();
        if (!made && item.package) {
            // The decoder reports no cause, and its file calls leave last errors of their own.
            LogEvent(L"Installation failed staging %ls: the package %ls did not decode (damaged, or unreadable)",
                     staged.c_str(), item.source.c_str());
        } else if (!made) {
            LogEvent(L"Installation failed staging %ls from %ls: error %lu (%ls)", staged.c_str(), item.source.c_str(),
                     error, ErrorText(error).c_str());
        }
        // The journal will count on this file: it must be on disk first.
        Step();
        if (!made) return false;
        if (!Patiently(staged, [&] { return ForceToDisk(staged); })) {
            const DWORD flushError = GetLastError();
            LogEvent(L"Installation failed staging %ls: it could not be forced to disk, error %lu (%ls)",
                     staged.c_str(), flushError, ErrorText(flushError).c_str());
            return false;
        }
        onStaged();
    }
    return true;
}

Journal Installation::Winners(const Journal& staging) {
    Journal commit;
    commit.state = Journal::State::kCommitting;
    commit.folders = staging.folders;
    commit.leftovers = staging.leftovers;
    for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
        bool later = false;
        for (const JournalEntry& w : commit.entries) later = later || SameName(w.target, e->target);
        if (later) {
            Step();
            RemoveFile(PathOf(e->staged));
        } else {
            commit.entries.insert(commit.entries.begin(), *e);
        }
    }
    return commit;
}

bool Installation::PutInPlace(const Journal& commit) {
    for (const JournalEntry& e : commit.entries) {
        const std::wstring target = PathOf(e.target), staged = PathOf(e.staged), kept = PathOf(e.kept);
        if (e.existed) {
            Step();
            if (!Patiently(target, [&] { return Move(target, kept); })) {
                const DWORD error = GetLastError();
                LogEvent(L"Installation failed committing %ls: it could not be moved aside to %ls, error %lu (%ls)",
                         target.c_str(), kept.c_str(), error, ErrorText(error).c_str());
                return false;
            }
        }
        Step();
        if (!Patiently(staged, [&] { return Move(staged, target); })) {
            const DWORD error = GetLastError();
            LogEvent(L"Installation failed committing %ls: the new file could not be moved into place, error %lu (%ls)",
                     target.c_str(), error, ErrorText(error).c_str());
            return false;
        }
    }
    return true;
}

// Undoes what the journal says may have been done, in reverse. Each step is
// one the journal can tell was made, so an undo cut short and run again
// touches only files of this installation.
bool Installation::Undo(const Journal& journal) {
    bool whole = true;
    if (journal.state == Journal::State::kCommitting) {
        for (auto e = journal.entries.rbegin(); e != journal.entries.rend(); ++e) {
            const bool wasWhole = whole;
            const std::wstring target = PathOf(e->target), staged = PathOf(e->staged), kept = PathOf(e->kept);
            if (Exists(kept)) {
                // The old file comes back over the new one, if that is in place.
                Step();
                whole = Patiently(kept, [&] { return MoveBack(kept, target); }) && whole;
            } else if (!e->existed && !Exists(staged) && Exists(target)) {
                // A new file without an old one goes back to its staged name,
                // where the journal finds it again.
                Step();
                whole = Patiently(target, [&] { return Move(target, staged); }) && whole;
            }
            const DWORD error = GetLastError();
            if (wasWhole && !whole) {
                LogEvent(L"Undo left at %ls: error %lu (%ls); the journal stays for the next start", target.c_str(),
                         error, ErrorText(error).c_str());
            }
        }
        if (!whole) return false;
        // Every target is as it was. From here on a missing staged copy no
        // longer means that its target is ours.
        Journal undone = journal;
        undone.state = Journal::State::kUndone;
        Step();
        if (!Record(undone)) return false;
    }
    for (const JournalEntry& e : journal.entries) {
        const std::wstring staged = PathOf(e.staged);
        Step();
        const bool removed = Patiently(staged, [&] { return RemoveFile(staged); });
        const DWORD error = GetLastError();
        if (!removed) {
            LogEvent(L"Undo could not remove %ls: error %lu (%ls); the journal stays for the next start",
                     staged.c_str(), error, ErrorText(error).c_str());
        }
        whole = removed && whole;
    }
    // Folders this installation made go again once they are empty.
    for (auto f = journal.folders.rbegin(); f != journal.folders.rend(); ++f) {
        Step();
        RemoveDirectoryW(PathOf(*f).c_str());
    }
    const bool undone = whole && RemoveLeftovers(journal.leftovers, true);
    if (undone) LogEvent(L"Installation undone: every target in %ls is as it was", m_folder.c_str());
    return undone;
}

// Every new file is in place: the kept copies go.
bool Installation::Finish(const Journal& journal) {
    std::vector<Leftover> kept = journal.leftovers;
    for (const JournalEntry& e : journal.entries) kept.push_back({e.target, e.kept});
    const bool finished = RemoveLeftovers(std::move(kept), false);
    LogEvent(L"Installation finished: the new files are in place in %ls", m_folder.c_str());
    return finished;
}

// Removes replaced files that are no longer needed. Those that resist (a
// program still runs from one) stay recorded, and the journal with them: it
// then records only them, which blocks nothing. Not retried: a file left
// here fails nothing, and the next start or installation tries again.
bool Installation::RemoveLeftovers(std::vector<Leftover> leftovers, bool unfinished) {
    std::vector<Leftover> resisting;
    for (const Leftover& l : leftovers) {
        Step();
        if (!RemoveFile(PathOf(l.kept))) {
            const DWORD error = GetLastError();
            LogEvent(
                L"Replaced file %ls kept: it cannot be removed yet, error %lu (%ls); a later start or upgrade "
                L"removes it",
                PathOf(l.kept).c_str(), error, ErrorText(error).c_str());
            resisting.push_back(l);
        }
    }
    Step();
    if (resisting.empty()) {
        if (Patiently(PathOf(kJournalFile), [&] { return RemoveJournal(m_folder); })) return true;
        const DWORD error = GetLastError();
        LogEvent(L"Installation journal in %ls could not be removed: error %lu (%ls)", m_folder.c_str(), error,
                 ErrorText(error).c_str());
        return !unfinished;
    }
    Journal rest;
    rest.state = Journal::State::kFinishing;
    rest.leftovers = std::move(resisting);
    // Should the record not be rewritten, the one that stands says more than
    // is left to do: harmless once the installation is finished.
    return Record(rest) || !unfinished;
}

bool Installation::Recover() {
    try {
        return RecoverSteps();
    } catch (const PowerCut&) {
        return false;
    }
}

bool Installation::RecoverSteps() {
    Journal journal;
    JournalFound found = JournalFound::kNone;
    Patiently(PathOf(kJournalFile),
              [&] { return (found = ReadJournal(m_folder, &journal)) != JournalFound::kUnreadable; });
    const DWORD error = GetLastError();
    switch (found) {
        case JournalFound::kNone: return RemoveJournal(m_folder);  // at most a half-written first one
        case JournalFound::kSetAside: return true;
        case JournalFound::kUnreadable:
            LogEvent(L"Recovery left: the installation journal in %ls cannot be read, error %lu (%ls)",
                     m_folder.c_str(), error, ErrorText(error).c_str());
            return false;
        case JournalFound::kRead: break;
    }
    const unsigned long entries = static_cast<unsigned long>(journal.entries.size());
    const unsigned long leftovers = static_cast<unsigned long>(journal.leftovers.size());
    LogEvent(L"Recovery: installation journal found in %ls, state %ls (%lu file%ls, %lu replaced file%ls left), %ls",
             m_folder.c_str(), StateName(journal.state), entries, entries == 1 ? L"" : L"s", leftovers,
             leftovers == 1 ? L"" : L"s", journal.Unfinished() ? L"undoing the installation" : L"finishing it");
    return journal.Unfinished() ? Undo(journal) : Finish(journal);
}

bool Installation::RecoverBeforeLaunch(const std::wstring& folder) {
    if (!IsMarlowcastRunning()) return Installation(folder).Recover();
    Journal journal;
    const JournalFound found = ReadJournal(folder, &journal);
    const bool clear = found == JournalFound::kNone || found == JournalFound::kSetAside ||
                       (found == JournalFound::kRead && !journal.Unfinished());
    if (!clear) {
        LogEvent(
            L"Recovery held back: Marlowcast runs from %ls, and its installation journal (%ls) waits for a later "
            L"launch",
            folder.c_str(), found == JournalFound::kRead ? StateName(journal.state) : L"unreadable");
    }
    return clear;
}
