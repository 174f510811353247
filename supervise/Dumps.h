#pragma once
// Evidence before a kill: when the health rules end a Marlowcast whose window
// hangs or that stopped answering, a minidump of it is written from outside
// first (every thread with its stack, the module list, unloaded modules and
// handle data; not its whole memory), so that its publisher learns where it
// hung. Dumps go to %LOCALAPPDATA%\Quillstone\Dumps as
// Marlowcast-<yyyymmdd-hhmmss>-<hung|silent>.dmp, and the folder is kept
// small: dump folders that fill a disk are what users of dump collectors
// complain of most.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/StopFlag.h"

// Why Marlowcast is ended; a crash (nothing left to dump) is kNone.
enum class DumpKind { kNone, kHung, kSilent };

// The bounds: at most this many dumps and bytes in the folder (the oldest go
// first), none older than this, one per kind in this time, and this long for
// one dump before it is abandoned and the kill goes on.
constexpr size_t kDumpsKept = 3;
constexpr ULONGLONG kDumpBytesKept = 100ull * 1024 * 1024;
constexpr ULONGLONG kDumpAgeSeconds = 14ull * 24 * 60 * 60;
constexpr ULONGLONG kDumpIntervalSeconds = 60 * 60;
constexpr DWORD kDumpLimitMs = 10000;

// One file of the dump folder.
struct DumpFile {
    std::wstring name;
    ULONGLONG size = 0;
    ULONGLONG writtenAt = 0;  // a FILETIME in 100 ns units, UTC
};

struct DumpResult {
    enum Outcome { kWritten, kFailed, kTimedOut, kStopped, kBusy } outcome = kFailed;
    DWORD error = 0;  // kFailed: an HRESULT or a Win32 error
    ULONGLONG size = 0;
    ULONGLONG ms = 0;  // how long it took
};

// The system calls dumps rest on, replaceable so that a test can play the
// folder, the clock and the dump writer.
struct DumpSystem {
    // False when the user turned dumps off: the value Dumps, DWORD 0, under
    // HKEY_CURRENT_USER\Software\Quillstone\Quillstone.
    std::function<bool()> enabled;
    // The folder's path (it may not exist yet); empty when unknown.
    std::function<std::wstring()> folder;
    std::function<std::vector<DumpFile>(const std::wstring& folder)> list;
    std::function<bool(const std::wstring& path)> remove;
    // Now, as a FILETIME in 100 ns units, UTC.
    std::function<ULONGLONG()> now;
    // Writes a minidump of the process into the new file `path` (its folder
    // made when missing). One not done within limitMs, or when the stop flag
    // clears, is abandoned and its file removed.
    std::function<DumpResult(HANDLE process, DWORD processId, const std::wstring& path, DWORD limitMs)> write;
};

// The real calls; the dump writer gives up once `running` is cleared.
DumpSystem RealDumpSystem(const StopFlag& running);

// The keeping rules. Used by the watch thread only.
class DumpKeeper {
public:
    explicit DumpKeeper(DumpSystem system) : m_system(std::move(system)) {}

    // Before a hung or silent Marlowcast is ended: a dump when the rules allow
    // one, and one log line either way, with the file, its size and the time
    // it took, or why there is none.
    void BeforeKill(HANDLE process, DWORD processId, DumpKind kind);
    // Removes the dumps the bounds no longer allow, leaving `room` for more.
    void Prune(size_t room = 0);

private:
    DumpSystem m_system;
    // When a dump of each kind was last tried (one that failed counts too, so
    // that a failing dump is not retried at every restart).
    ULONGLONG m_triedAt[3] = {};
};
