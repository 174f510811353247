#include "install/Installation.h"

#include <algorithm>

#include "base/EventLog.h"
#include "base/MarlowcastMutex.h"
#include "install/FileSteps.h"
#include "install/ReleaseRecord.h"

// The installation after the release on probation did not commit: the held
// record is the journal again, with what the undo left to remove.
bool Installation::ResumeHeld() {
    const std::wstring path = HeldProbationPath(m_folder);
    Journal held, current;
    const JournalFound found = ReadJournalAt(path, &held);
    if (found == JournalFound::kUnreadable) return false;
    if (found != JournalFound::kRead) return true;
    if (held.state != Journal::State::kProbation) {
        Step();
        return RemoveJournalAt(path);  // never written so: nothing to resume
    }
    if (ReadJournal(m_folder, &current) == JournalFound::kRead) {
        for (const Leftover& l : current.leftovers) {
            const bool known = std::any_of(held.leftovers.begin(), held.leftovers.end(),
                                           [&](const Leftover& h) { return h.kept == l.kept; });
            if (!known && held.leftovers.size() < kJournalItems) held.leftovers.push_back(l);
        }
    }
    Step();
    if (!Record(held)) return false;
    Step();
    RemoveJournalAt(path);  // should it stay, it equals the journal: the next recovery removes it
    LogEvent(L"Release on probation again: %ls (the installation after it did not commit); %d failed launch%ls so far",
             DescribeRelease(held.release).c_str(), held.failures, held.failures == 1 ? L"" : L"es");
    return true;
}

// The installation after the release on probation has committed: that
// release is accepted, its kept copies go. Those that resist are carried in
// `current`, the committed installation's record.
void Installation::AcceptHeld(Journal* current) {
    const std::wstring path = HeldProbationPath(m_folder);
    Journal held;
    if (ReadJournalAt(path, &held) != JournalFound::kRead) return;
    if (FormatJournal(held) == FormatJournal(*current)) return;  // cut before the next one wrote anything
    std::vector<Leftover> kept = held.leftovers;
    for (const JournalEntry& e : held.entries) {
        if (e.existed) kept.push_back({e.target, e.kept});
    }
    const std::size_t before = current->leftovers.size();
    for (const Leftover& l : kept) {
        Step();
        if (!RemoveFile(PathOf(l.kept)) && current->leftovers.size() < kJournalItems) current->leftovers.push_back(l);
    }
    Step();
    if (current->leftovers.size() != before && !Record(*current)) return;
    Step();
    RemoveJournalAt(path);
    LogEvent(L"Release accepted: %ls (the installation after it has committed); its replaced files go",
             DescribeRelease(held.release).c_str());
}

bool Installation::ReadProbation(Journal* journal) {
    return ReadJournal(m_folder, journal) == JournalFound::kRead && journal->state == Journal::State::kProbation;
}

bool Installation::OnProbation() {
    const std::lock_guard<std::mutex> owner(JournalOwner());
    Journal journal;
    return ReadProbation(&journal);
}

int Installation::CountFailedLaunch(int limit) {
    const std::lock_guard<std::mutex> owner(JournalOwner());
    Journal journal;
    if (!ReadProbation(&journal)) return 0;
    if (journal.failures < limit && journal.failures < kJournalFailures) ++journal.failures;
    Record(journal);  // should it fail, the count goes on from the one recorded
    return journal.failures;
}

bool Installation::AcceptRelease() {
    const std::lock_guard<std::mutex> owner(JournalOwner());
    Journal journal;
    if (!ReadProbation(&journal)) return false;
    try {
        return Finish(journal, L"Marlowcast has run healthy through its probation");
    } catch (const PowerCut&) {
        return false;
    }
}

bool Installation::RollBack(const std::wstring& why, const std::function<bool(const std::string& release)>& refuse,
                            const StopFlag& running, DWORD boundMs) {
    const std::lock_guard<std::mutex> owner(JournalOwner());
    Journal journal;
    if (!ReadProbation(&journal)) return false;
    const std::wstring release = DescribeRelease(journal.release);
    if (IsMarlowcastRunning()) {
        LogEvent(L"Rollback of %ls held back: Marlowcast runs from %ls", release.c_str(), m_folder.c_str());
        return false;
    }
    m_running = &running;
    m_deadline = GetTickCount64() + boundMs;
    try {
        // Without its old copy a replaced file could not come back: the
        // folder would hold a mix. The release stays.
        for (const JournalEntry& e : journal.entries) {
            if (e.existed && !Exists(PathOf(e.kept))) {
                LogEvent(L"Rollback of %ls impossible: the replaced %ls is no longer kept", release.c_str(),
                         PathOf(e.target).c_str());
                Finish(journal, L"it cannot be rolled back whole");
                return false;
            }
        }
        // A file held by another program (a viewer) would stop the rollback
        // half-way: a mix. Each must be movable before the first moves.
        for (const JournalEntry& e : journal.entries) {
            const std::wstring target = PathOf(e.target), kept = PathOf(e.kept);
            const bool targetFree = Patiently(target, [&] { return Replaceable(target); });
            if (targetFree && (!e.existed || Patiently(kept, [&] { return Replaceable(kept); }))) continue;
            const DWORD error = GetLastError();
            LogEvent(
                L"Rollback of %ls held back, nothing moved: %ls cannot be moved, error %lu (%ls); the release "
                L"is launched again and the rollback tried at its next failed launch",
                release.c_str(), (targetFree ? kept : target).c_str(), error, ErrorText(error).c_str());
            return false;
        }
        // Rolled back unrecorded, the crashing release would be accepted
        // again as a repair: it stays on probation, and the next failed
        // launch tries again.
        if (!refuse(journal.release)) {
            LogLastError(L"Rollback of %ls held back: it could not be recorded as rolled back", release.c_str());
            return false;
        }
        Journal back = journal;
        back.state = Journal::State::kCommitting;
        Step();
        if (Record(back) && Undo(back)) {
            LogEvent(L"Rolled back %ls: %ls", release.c_str(), why.c_str());
            return true;
        }
    } catch (const PowerCut&) {}
    LogEvent(L"Rollback of %ls left unfinished: the recovery before the next launch completes it", release.c_str());
    return false;
}
