#pragma once
// Installing an upgrade all or nothing. Every new file is first made beside
// its target (staged); only when all are staged are they put in place, each
// replaced target kept until the last new file is in; then the kept copies
// go. The journal in the installation folder says how far this got, so that a
// failure undoes every step made, and a start after a kill or a power cut
// finishes or undoes the installation: the folder holds the old set of files
// or the new set, never a mix.

#include <functional>
#include <string>
#include <vector>

#include "base/StopFlag.h"
#include "upgrade/InstallJournal.h"

struct InstallItem {
    std::wstring source;  // the downloaded file
    std::wstring target;  // where it goes, relative to the installation folder
    bool package;         // a .uib package, decoded into the target; otherwise copied
};

class Installation {
public:
    enum class Result { kInstalled, kFailed, kInterrupted };

    // `folder` is the installation folder.
    explicit Installation(std::wstring folder);

    // Stages the items in list order, calling `onStaged` after each, then puts
    // them in place. Of two items for one target the later wins, as
    // installing them in order would give. kFailed: the folder is as it was
    // before (or, when even the undo could not finish, the journal stays for
    // the next start to finish it). The stop flag is looked at between items
    // while staging; once the first target is replaced the installation runs
    // to its end.
    Result Install(const std::vector<InstallItem>& items, const StopFlag& running,
                   const std::function<void()>& onStaged);

    // For tests: asked before every step that changes the folder; false stops
    // the installation on the spot, as a power cut would (kInterrupted).
    void SetStepGate(std::function<bool()> gate) { m_gate = std::move(gate); }

    // At start-up, before Marlowcast is launched: finishes or undoes an
    // installation that was cut short. True when no journal remains; false
    // when a step could not be made (a file locked by somebody else), and the
    // journal stays for the next start.
    static bool Recover(const std::wstring& folder);

private:
    Result Run(const std::vector<InstallItem>& items, const StopFlag& running, const std::function<void()>& onStaged);
    bool Plan(const std::vector<InstallItem>& items, Journal* journal) const;
    bool Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
               const std::function<void()>& onStaged);
    Journal Winners(const Journal& staging);
    bool PutInPlace(const Journal& commit);
    void Step();

    const std::wstring m_folder;
    std::function<bool()> m_gate;
};
