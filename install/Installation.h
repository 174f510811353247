#pragma once
// Installing an upgrade all or nothing. Every new file is first staged in
// the installation's own folder (kTransactionFolder, inside the
// installation folder, on the same volume, so that every move is a rename);
// only when all are staged are they put in place, each replaced target kept
// there until the last new file is in; then the kept copies go. The journal
// in that folder says how far this got, so that a failure undoes every step
// made, and a start after a kill or a power cut finishes or undoes the
// installation: the folder holds the old set of files or the new set, never
// a mix. Every public call below reads and changes the journal under one
// lock of the process, so that the watch thread and the upgrade thread never
// act on it at once.
//
// One class, its members in one file per job: Installation.cpp the
// transaction (install, undo, finish, recover), Staging.cpp the staging of
// each new file, Probation.cpp the release on probation; the steps on single
// files they all make are in FileSteps.

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/FreeSpace.h"
#include "base/StopFlag.h"
#include "install/InstallJournal.h"
#include "install/Staging.h"

class Installation {
public:
    enum class Result { kInstalled, kFailed, kInterrupted };

    // How long a file that another program holds for a moment (a virus
    // scanner, a search indexer) is waited for before the step fails.
    static constexpr DWORD kPatienceMs = 10000;
    // What the recovery before a launch may take in all, however many files
    // are held: as long as a restart may take to end the old process.
    static constexpr DWORD kRecoveryBoundMs = 20000;

    // `folder` is the installation folder.
    explicit Installation(std::wstring folder);

    // Recovers what a journal left standing records, then stages the items in
    // list order, calling `onStaged` after each, then puts them in place. Of
    // two items for one target the later wins, as installing them in order
    // would give. kFailed: the folder is as it was before (or, when even the
    // undo could not finish, the journal stays for the next start to finish
    // it); when the recovery cannot complete, nothing is started. A cleared
    // stop flag (the shutdown) ends it: while staging, between items, undone
    // (kFailed); from the commit on, between two steps (kInterrupted), and the
    // next start's recovery completes it.
    Result Install(const std::vector<InstallItem>& items, const StopFlag& running,
                   const std::function<void()>& onStaged);

    // Finishes or undoes an installation that was cut short. True when the
    // folder holds one release whole: no journal is left, or one that only
    // records replaced files that could not be removed yet. False when a step
    // could not be made (a file held by somebody else), and the journal stays.
    // A journal that is not one of ours is set aside, never acted on.
    bool Recover();

    // Before Marlowcast is launched: recovers unless Marlowcast runs already
    // (started by hand), which holds its files; then a journal that needs
    // the folder makes this false, and the recovery waits for a later launch.
    // The recovery waits for held files at most `boundMs` in all, and ends
    // between two steps once `running` is cleared (the shutdown): the next
    // launch goes on.
    static bool RecoverBeforeLaunch(const std::wstring& folder, const StopFlag& running,
                                    DWORD boundMs = kRecoveryBoundMs);

    // Keeps the installation undoable after its commit: the journal goes to
    // probation, naming `release` (IsReleaseName), and the replaced files
    // stay until AcceptRelease() or RollBack(). Without it the replaced files
    // go as soon as the new ones are in place.
    void KeepForRollback(std::string release) { m_release = std::move(release), m_keep = true; }

    // The release installed last is on probation: it has not yet run healthy.
    bool OnProbation();
    // Counts one more failed launch of the release on probation in its
    // journal (kept across restarts of Quillstone), up to `limit`; the count
    // so far, or 0 when no release is on probation.
    int CountFailedLaunch(int limit = kJournalFailures);
    // Ends the probation: the replaced files go. A release on probation is
    // also accepted once the next installation has committed; should that one
    // fail or be cut, the probation goes on with its kept copies and count.
    bool AcceptRelease();
    // Puts the release on probation back, all or nothing, as a failed
    // installation is undone: every replaced file back, every added one
    // removed. `refuse` records the release as rolled back first, so that a
    // kill during the rollback cannot let it in again; when it cannot, nothing
    // moves and the release stays on probation. `why` ends the log
    // line. Not while Marlowcast runs (it holds its files), and bounded as the
    // recovery before a launch is; a rollback cut short is completed by that
    // recovery. Every file it must move is checked first: should one not
    // move (held by another program), nothing moves and the release stays on
    // probation. True once the old release is whole again.
    bool RollBack(const std::wstring& why, const std::function<bool(const std::string& release)>& refuse,
                  const StopFlag& running, DWORD boundMs = kRecoveryBoundMs);

    // How many installations this process has committed so far.
    static unsigned Committed();

    // For tests: asked before every step that changes the folder; false stops
    // the installation or recovery on the spot, as a power cut would
    // (kInterrupted, or false from Recover).
    void SetStepGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    void SetPatience(DWORD ms) { m_patienceMs = ms; }
    void SetFreeSpaceQuery(FreeSpaceQuery query) { m_freeSpace = std::move(query); }
    // How the folders above a target are asked whether they are junctions or
    // links (Wine's links show no attributes at all).
    void SetAttributesQuery(std::function<DWORD(const std::wstring& path)> query) { m_attributes = std::move(query); }

private:
    // Thrown by Step() when the step gate or the shutdown stops the work
    // between two steps; the journal says what was done.
    struct PowerCut {};
    // The journal has one owner at a time: the watch thread (counting,
    // accepting, rolling back, recovering) and the upgrade thread
    // (installing) each read it and change it under this lock, never one in
    // the middle of the other's work.
    static std::mutex& JournalOwner();

    // The transaction (Installation.cpp).
    Result Run(const std::vector<InstallItem>& items, const StopFlag& running, const std::function<void()>& onStaged);
    bool Plan(const std::vector<InstallItem>& items, Journal* journal);
    Journal Winners(const Journal& staging);
    bool PutInPlace(const Journal& commit);
    bool RecoverSteps();
    bool Undo(const Journal& journal);
    // `accepted`: why a release on probation is kept, for the log.
    bool Finish(const Journal& journal, const wchar_t* accepted = L"");
    bool RemoveLeftovers(std::vector<Leftover> leftovers, bool unfinished);
    bool OwnFolder();
    std::wstring PathOf(const std::string& relative) const;
    bool Record(const Journal& journal) const;
    bool RecordAt(const std::wstring& path, const Journal& journal) const;
    // Patiently (FileSteps.h), within this installation's patience and deadline.
    bool Patiently(const std::wstring& path, const std::function<bool()>& attempt) const;
    void Step();

    // Staging (Staging.cpp).
    bool Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
               const std::function<void()>& onStaged);
    bool StageOne(const InstallItem& item, const std::wstring& staged, const std::wstring& target);

    // The release on probation (Probation.cpp).
    bool ReadProbation(Journal* journal);
    bool ResumeHeld();
    void AcceptHeld(Journal* current);

    const std::wstring m_folder;
    std::function<bool()> m_gate;
    DWORD m_patienceMs = kPatienceMs;
    FreeSpaceQuery m_freeSpace = VolumeFreeSpace;
    std::function<DWORD(const std::wstring& path)> m_attributes = [](const std::wstring& path) {
        return GetFileAttributesW(path.c_str());
    };
    // The recovery before a launch: its end, and the shutdown's flag.
    ULONGLONG m_deadline = UINT64_MAX;
    const StopFlag* m_running = nullptr;
    std::string m_release;
    bool m_keep = false;  // the commit begins a probation
    // Side names the held record of a release on probation uses.
    std::vector<std::string> m_takenSides;
};
