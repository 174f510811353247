#pragma once
// Installing an upgrade all or nothing. Every new file is first made beside
// its target (staged); only when all are staged are they put in place, each
// replaced target kept until the last new file is in; then the kept copies
// go. The journal in the installation folder says how far this got, so that a
// failure undoes every step made, and a start after a kill or a power cut
// finishes or undoes the installation: the folder holds the old set of files
// or the new set, never a mix.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/StopFlag.h"
#include "install/InstallJournal.h"

struct InstallItem {
    std::wstring source;  // the downloaded file
    std::wstring target;  // where it goes, relative to the installation folder
    bool package;         // a .uib package, decoded into the target; otherwise copied
};

class Installation {
public:
    enum class Result { kInstalled, kFailed, kInterrupted };

    // How long a file that another program holds for a moment (a virus
    // scanner, a search indexer) is waited for before the step fails.
    static constexpr DWORD kPatienceMs = 10000;

    // `folder` is the installation folder.
    explicit Installation(std::wstring folder);

    // Recovers what a journal left standing records, then stages the items in
    // list order, calling `onStaged` after each, then puts them in place. Of
    // two items for one target the later wins, as installing them in order
    // would give. kFailed: the folder is as it was before (or, when even the
    // undo could not finish, the journal stays for the next start to finish
    // it); when the recovery cannot complete, nothing is started. The stop
    // flag is looked at between items while staging; once the first target is
    // replaced the installation runs to its end.
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
    static bool RecoverBeforeLaunch(const std::wstring& folder);

    // For tests: asked before every step that changes the folder; false stops
    // the installation or recovery on the spot, as a power cut would
    // (kInterrupted, or false from Recover).
    void SetStepGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    void SetPatience(DWORD ms) { m_patienceMs = ms; }

private:
    Result Run(const std::vector<InstallItem>& items, const StopFlag& running, const std::function<void()>& onStaged);
    bool Plan(const std::vector<InstallItem>& items, Journal* journal);
    bool Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
               const std::function<void()>& onStaged);
    Journal Winners(const Journal& staging);
    bool PutInPlace(const Journal& commit);
    bool RecoverSteps();
    bool Undo(const Journal& journal);
    bool Finish(const Journal& journal);
    bool RemoveLeftovers(std::vector<Leftover> leftovers, bool unfinished);
    std::wstring PathOf(const std::string& relative) const;
    bool Record(const Journal& journal) const;
    template <typename Attempt>
    bool Patiently(const std::wstring& path, Attempt attempt) const;
    void Step();

    const std::wstring m_folder;
    std::function<bool()> m_gate;
    DWORD m_patienceMs = kPatienceMs;
};
