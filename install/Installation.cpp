#include "install/Installation.h"

#include <atomic>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "base/MarlowcastMutex.h"
#include "install/EntryPath.h"
#include "install/FileSteps.h"
#include "install/ReleaseRecord.h"

namespace {

// More numbered side names than a folder of leftovers and a list can use.
constexpr unsigned kSideNumbers = 2 * kJournalItems + 2;

std::atomic<unsigned> g_committed{0};

bool SameName(const std::wstring& a, const std::wstring& b) {
    // Windows file names ignore letter case.
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Whether the entry's first folder is the installation's own, in the letter
// case rules of the platform (the list check knows only ASCII letters).
bool InTransactionFolder(const std::wstring& target) {
    return SameName(target.substr(0, target.find(L'\\')), FromUtf8(kTransactionFolder));
}

bool FolderFound(const std::wstring& path) {
    // A file of that name counts as found; making the folder is then not
    // tried, and staging into it fails.
    WIN32_FIND_DATAW found;
    return FindHandle(FindFirstFileW(path.c_str(), &found)).Found();
}

const wchar_t* StateName(Journal::State state) {
    switch (state) {
        case Journal::State::kStaging: return L"staging";
        case Journal::State::kCommitting: return L"committing";
        case Journal::State::kUndone: return L"undone";
        case Journal::State::kFinishing: return L"finishing";
        case Journal::State::kProbation: return L"probation";
    }
    return L"unknown";
}

// The commit's record: of two entries for one file the later wins.
Journal CommitOf(const Journal& staging) {
    Journal commit;
    commit.state = Journal::State::kCommitting;
    commit.release = staging.release;
    commit.folders = staging.folders;
    commit.leftovers = staging.leftovers;
    for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
        bool later = false;
        for (const JournalEntry& w : commit.entries) later = later || SameEntry(w.target, e->target);
        if (!later) commit.entries.insert(commit.entries.begin(), *e);
    }
    return commit;
}

}  // namespace

Installation::Installation(std::wstring folder) : m_folder(std::move(folder)) {}

std::mutex& Installation::JournalOwner() {
    static std::mutex owner;
    return owner;
}

unsigned Installation::Committed() { return g_committed.load(); }

std::wstring Installation::PathOf(const std::string& relative) const { return m_folder + L"\\" + FromUtf8(relative); }

void Installation::Step() {
    if (m_gate && !m_gate()) throw PowerCut();
    // The shutdown ends a recovery before a launch between two steps, never
    // inside one: the journal still says what was done.
    if (m_running && !m_running->IsRunning()) throw PowerCut();
}

bool Installation::Patiently(const std::wstring& path, const std::function<bool()>& attempt) const {
    return ::Patiently({m_patienceMs, m_deadline, m_running}, path, attempt);
}

bool Installation::Record(const Journal& journal) const { return RecordAt(JournalPath(m_folder), journal); }

bool Installation::RecordAt(const std::wstring& path, const Journal& journal) const {
    if (Patiently(path, [&] { return WriteJournalAt(path, journal); })) return true;
    LogLastError(L"Installation journal %ls could not be written (state %ls)", path.c_str(), StateName(journal.state));
    return false;
}

// The installation's own folder, made if need be. Anything else under its
// name (a file, a link to somewhere else) is refused: moves through it could
// leave the volume or land in somebody else's folder.
bool Installation::OwnFolder() {
    const std::wstring side = PathOf(kTransactionFolder);
    if (CreateDirectoryW(side.c_str(), nullptr)) return true;
    const DWORD attributes = GetFileAttributesW(side.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return true;
    }
    LogEvent(L"Installation refused: %ls is not a folder of Quillstone's own (a file or a link), nothing changed",
             side.c_str());
    return false;
}

Installation::Result Installation::Install(const std::vector<InstallItem>& items, const StopFlag& running,
                                           const std::function<void()>& onStaged) {
    const std::lock_guard<std::mutex> owner(JournalOwner());
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
    if (items.empty() || items.size() > kJournalItems) return Result::kFailed;
    if (!RecoverSteps()) {
        LogEvent(L"Installation not started: an earlier installation in %ls is not recovered", m_folder.c_str());
        return Result::kFailed;
    }
    // A release on probation stays so, with its kept copies and its count,
    // until this installation has committed: its record is held aside meanwhile.
    Journal staging, standing;
    const bool read = ReadJournal(m_folder, &standing) == JournalFound::kRead;
    const bool held = read && standing.state == Journal::State::kProbation;
    if (read && !held) staging.leftovers = standing.leftovers;
    if (held) {
        for (const JournalEntry& e : standing.entries) m_takenSides.push_back(e.staged), m_takenSides.push_back(e.kept);
        for (const Leftover& l : standing.leftovers) m_takenSides.push_back(l.kept);
    }
    staging.release = m_release;
    if (!Plan(items, &staging)) return Result::kFailed;
    // Each record the installation will rely on is one a later start reads
    // back; should one not be, nothing may change.
    if (!ReadsBack(FormatJournal(staging)) || !ReadsBack(FormatJournal(CommitOf(staging)))) {
        LogEvent(L"Installation refused before any change: its journal would not read back as written");
        return Result::kFailed;
    }
    if (!OwnFolder()) return Result::kFailed;
    if (held) {
        Step();
        if (!RecordAt(HeldProbationPath(m_folder), standing)) return Result::kFailed;
    }
    Step();
    if (!Record(staging)) {
        ResumeHeld();
        return Result::kFailed;
    }
    if (!Stage(items, staging, running, onStaged)) {
        Step();
        Undo(staging);
        return Result::kFailed;
    }

    const unsigned long staged = static_cast<unsigned long>(staging.entries.size());
    LogEvent(L"Installation into %ls: %lu file%ls staged", m_folder.c_str(), staged, staged == 1 ? L"" : L"s");
    // From here the shutdown cuts the installation between two steps, never
    // inside one: the journal says what was done, and the next start
    // finishes or undoes it.
    m_running = &running;
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
    finishing.state = m_keep ? Journal::State::kProbation : Journal::State::kFinishing;
    Step();
    if (!Record(finishing)) {
        Undo(commit);
        return Result::kFailed;
    }
    const unsigned long placed = static_cast<unsigned long>(commit.entries.size());
    LogEvent(
        L"Installation committed: %lu file%ls in place%ls", placed, placed == 1 ? L"" : L"s",
        m_keep ? L"; the release is on probation until Marlowcast has run healthy, the replaced files are kept" : L"");
    ++g_committed;
    AcceptHeld(&finishing);
    if (!m_keep) Finish(finishing);
    return Result::kInstalled;
}

bool Installation::Plan(const std::vector<InstallItem>& items, Journal* journal) {
    // Side names are numbered; a number that an earlier installation's
    // leftover or any file in the folder uses is skipped.
    unsigned next = 1;
    const auto freeNumber = [&]() -> unsigned {
        for (; next <= kSideNumbers; ++next) {
            bool taken = Exists(PathOf(StagedName(next))) || Exists(PathOf(KeptName(next)));
            for (const Leftover& l : journal->leftovers) taken = taken || l.kept == KeptName(next);
            for (const std::string& side : m_takenSides) {
                taken = taken || side == StagedName(next) || side == KeptName(next);
            }
            if (!taken) return next++;
        }
        return 0;
    };
    const std::wstring folder = LongPath(m_folder);
    for (const InstallItem& item : items) {
        // The list was checked; this keeps any caller from naming the
        // installation's own files.
        const std::string target = ToUtf8(item.target);
        if (!IsSafeEntry(target) || InTransactionFolder(item.target)) {
            LogEvent(L"Installation refused: %ls is not a name an upgrade may install", item.target.c_str());
            return false;
        }
        const std::wstring path = PathOf(target);
        // Another spelling of an existing file (its short name, say) would
        // move that file aside and install one of the literal name.
        if (Exists(path) && !SameName(LongPath(path), folder + L"\\" + item.target)) {
            LogEvent(L"Installation refused: %ls names the existing %ls by another spelling", item.target.c_str(),
                     LongPath(path).c_str());
            return false;
        }
        // A folder on the way that is a junction or a symbolic link would
        // take the moves, and the later removals, out of the installation
        // folder.
        for (std::size_t slash = target.rfind('\\'); slash != std::string::npos && slash > 0;
             slash = target.rfind('\\', slash - 1)) {
            const std::wstring above = PathOf(target.substr(0, slash));
            const DWORD attributes = m_attributes(above);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                LogEvent(L"Installation refused before any change: %ls leads through %ls, a junction or a link",
                         item.target.c_str(), above.c_str());
                return false;
            }
        }
        if (!Patiently(path, [&] { return Replaceable(path); })) {
            LogLastError(L"Installation failed before any change: %ls cannot be replaced", path.c_str());
            return false;
        }
        // Only the last folder level is made; a deeper missing level makes
        // the staging fail.
        const std::size_t slash = target.rfind('\\');
        if (slash != std::string::npos) {
            const std::string parent = target.substr(0, slash);
            bool known = FolderFound(PathOf(parent));
            for (const std::string& f : journal->folders) known = known || SameEntry(f, parent);
            if (!known) journal->folders.push_back(parent);
        }
        const unsigned n = freeNumber();
        if (n == 0) {
            LogEvent(L"Installation failed before any change: every side name in %ls is taken",
                     PathOf(kTransactionFolder).c_str());
            return false;
        }
        journal->entries.push_back({target, StagedName(n), KeptName(n), Exists(path)});
    }
    return true;
}

Journal Installation::Winners(const Journal& staging) {
    const Journal commit = CommitOf(staging);
    for (const JournalEntry& e : staging.entries) {
        bool won = false;
        for (const JournalEntry& w : commit.entries) won = won || w.staged == e.staged;
        if (!won) {
            Step();
            RemoveFile(PathOf(e.staged));
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
                LogLastError(L"Installation failed committing %ls: it could not be moved aside to %ls", target.c_str(),
                             kept.c_str());
                return false;
            }
        }
        Step();
        if (!Patiently(staged, [&] { return Move(staged, target); })) {
            LogLastError(L"Installation failed committing %ls: the new file could not be moved into place",
                         target.c_str());
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
                whole = Patiently(kept, [&] { return PutBack(kept, target, staged); }) && whole;
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
    std::vector<Leftover> leftovers = journal.leftovers;
    for (const JournalEntry& e : journal.entries) {
        const std::wstring staged = PathOf(e.staged), kept = PathOf(e.kept);
        Step();
        bool removed = RemoveFile(staged);
        DWORD error = GetLastError();
        // One a program runs from cannot go for as long as it runs (access
        // denied, no brief hold to wait out), but it can be renamed: it waits
        // as a replaced file does, under the kept name, free again now.
        if (!removed && RenameAside(staged, kept)) {
            leftovers.push_back({e.target, e.kept});
            continue;
        }
        if (!removed) {
            removed = Patiently(staged, [&] { return RemoveFile(staged); });
            error = GetLastError();
        }
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
    const bool undone = whole && RemoveLeftovers(std::move(leftovers), true);
    if (undone) LogEvent(L"Installation undone: every target in %ls is as it was", m_folder.c_str());
    return undone && ResumeHeld();
}

// Every new file is in place: the kept copies go.
bool Installation::Finish(const Journal& journal, const wchar_t* accepted) {
    std::vector<Leftover> kept = journal.leftovers;
    for (const JournalEntry& e : journal.entries) {
        if (e.existed) kept.push_back({e.target, e.kept});
    }
    const bool finished = RemoveLeftovers(std::move(kept), false);
    if (journal.state == Journal::State::kProbation) {
        LogEvent(L"Release accepted: %ls (%ls); its replaced files go", DescribeRelease(journal.release).c_str(),
                 accepted);
    } else {
        LogEvent(L"Installation finished: the new files are in place in %ls", m_folder.c_str());
    }
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
            if (resisting.size() < kJournalItems) resisting.push_back(l);
        }
    }
    Step();
    if (resisting.empty()) {
        const std::wstring path = JournalPath(m_folder);
        if (Patiently(path, [&] { return RemoveJournal(m_folder); })) {
            RemoveDirectoryW(PathOf(kTransactionFolder).c_str());  // when nothing else is left in it
            return true;
        }
        LogLastError(L"Installation journal %ls could not be removed", path.c_str());
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
    const std::lock_guard<std::mutex> owner(JournalOwner());
    try {
        return RecoverSteps();
    } catch (const PowerCut&) {
        return false;
    }
}

bool Installation::RecoverSteps() {
    Journal journal;
    JournalFound found = JournalFound::kNone;
    const std::wstring path = JournalPath(m_folder);
    Patiently(path, [&] { return (found = ReadJournal(m_folder, &journal)) != JournalFound::kUnreadable; });
    switch (found) {
        case JournalFound::kNone:
            // At most a half-written first one, in a folder made for it.
            if (!RemoveJournal(m_folder) || !ResumeHeld()) return false;
            RemoveDirectoryW(PathOf(kTransactionFolder).c_str());
            return true;
        case JournalFound::kSetAside: return ResumeHeld();
        case JournalFound::kUnreadable:
            LogLastError(L"Recovery left: the installation journal %ls cannot be read", path.c_str());
            return false;
        case JournalFound::kRead: break;
    }
    // An installation that committed while a release was on probation ends
    // that probation, whatever the cut left of its own work.
    if (!journal.Unfinished() && !journal.entries.empty()) AcceptHeld(&journal);
    // A release on probation is whole: it stays so until it is accepted or
    // rolled back, or the next installation commits.
    if (journal.state == Journal::State::kProbation) return ResumeHeld();
    const unsigned long entries = static_cast<unsigned long>(journal.entries.size());
    const unsigned long leftovers = static_cast<unsigned long>(journal.leftovers.size());
    LogEvent(L"Recovery: installation journal %ls found, state %ls (%lu file%ls, %lu replaced file%ls left), %ls",
             path.c_str(), StateName(journal.state), entries, entries == 1 ? L"" : L"s", leftovers,
             leftovers == 1 ? L"" : L"s", journal.Unfinished() ? L"undoing the installation" : L"finishing it");
    return journal.Unfinished() ? Undo(journal) : Finish(journal) && ResumeHeld();
}

bool Installation::RecoverBeforeLaunch(const std::wstring& folder, const StopFlag& running, DWORD boundMs) {
    if (!IsMarlowcastRunning()) {
        Installation recovery(folder);
        recovery.m_running = &running;
        recovery.m_deadline = GetTickCount64() + boundMs;
        const bool recovered = recovery.Recover();
        if (!recovered && !running.IsRunning()) {
            LogEvent(L"Recovery in %ls cut short by the shutdown: the next start goes on with it", folder.c_str());
        }
        return recovered;
    }
    const std::lock_guard<std::mutex> owner(JournalOwner());
    bool clear = true;
    if (Exists(HeldProbationPath(folder))) {
        LogEvent(
            L"Recovery held back: Marlowcast runs from %ls, and an installation after the release on probation "
            L"waits for a later launch",
            folder.c_str());
        clear = false;
    }
    Journal journal;
    const JournalFound found = ReadJournal(folder, &journal);
    if (found == JournalFound::kUnreadable || (found == JournalFound::kRead && journal.Unfinished())) {
        LogEvent(
            L"Recovery held back: Marlowcast runs from %ls, and its installation journal (%ls) waits for a "
            L"later launch",
            folder.c_str(), found == JournalFound::kRead ? StateName(journal.state) : L"unreadable");
        clear = false;
    }
    return clear;
}
