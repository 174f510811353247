#include "supervise/Dumps.h"

#include <strsafe.h>

#include <algorithm>

#include "base/EventLog.h"

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000;  // FILETIME units
constexpr wchar_t kPrefix[] = L"Marlowcast-";
constexpr wchar_t kSuffix[] = L".dmp";
// A kill that the rules repeat at every start (a Marlowcast that hangs each
// time) finds the hourly limit each time: the log says so once an hour.
constexpr wchar_t kDumpTopic[] = L"dump";

const wchar_t* KindName(DumpKind kind) { return kind == DumpKind::kHung ? L"hung" : L"silent"; }

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Only files under our own names are counted or removed; whatever else the
// folder holds is somebody's.
bool Ours(const std::wstring& name) { return name.rfind(kPrefix, 0) == 0 && EndsWith(name, kSuffix); }
bool OfKind(const std::wstring& name, DumpKind kind) {
    return Ours(name) && EndsWith(name, std::wstring(L"-") + KindName(kind) + kSuffix);
}

// Marlowcast-<yyyymmdd-hhmmss>-<kind>.dmp, in local time, as the user reads it.
std::wstring NameAt(ULONGLONG now, DumpKind kind) {
    const FILETIME utc = {static_cast<DWORD>(now), static_cast<DWORD>(now >> 32)};
    SYSTEMTIME universal = {}, local = {};
    FileTimeToSystemTime(&utc, &universal);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) local = universal;
    wchar_t name[64];
    StringCchPrintfW(name, 64, L"%ls%04u%02u%02u-%02u%02u%02u-%ls%ls", kPrefix, local.wYear, local.wMonth, local.wDay,
                     local.wHour, local.wMinute, local.wSecond, KindName(kind), kSuffix);
    return name;
}

}  // namespace

void DumpKeeper::Prune(size_t room) {
    if (!m_system.list || !m_system.folder) return;
    const std::wstring folder = m_system.folder();
    if (folder.empty()) return;
    std::vector<DumpFile> files = m_system.list(folder);
    files.erase(std::remove_if(files.begin(), files.end(), [](const DumpFile& f) { return !Ours(f.name); }),
                files.end());
    std::sort(files.begin(), files.end(),
              [](const DumpFile& a, const DumpFile& b) { return a.writtenAt < b.writtenAt; });
    size_t count = files.size();
    ULONGLONG bytes = 0;
    for (const DumpFile& f : files) bytes += f.size;

    const ULONGLONG now = m_system.now();
    for (const DumpFile& f : files) {
        const bool old = now > f.writtenAt && now - f.writtenAt > kDumpAgeSeconds * kTicksPerSecond;
        if (!old && count + room <= kDumpsKept && bytes <= kDumpBytesKept) break;  // the newer ones all stay
        const std::wstring path = folder + L"\\" + f.name;
        if (!m_system.remove(path)) continue;
        LogEvent(L"Dump removed: %ls (%ls)", path.c_str(),
                 old ? L"older than 14 days" : L"the folder keeps at most 3 dumps and 100 MB");
        --count;
        bytes -= f.size;
    }
}

void DumpKeeper::BeforeKill(HANDLE process, DWORD processId, DumpKind kind) {
    if (kind == DumpKind::kNone || !m_system.write) return;
    const wchar_t* what = KindName(kind);
    if (!m_system.enabled()) {
        LogRepeatingEvent(kDumpTopic,
                          L"No dump of the %ls Marlowcast: turned off (Dumps is 0 under "
                          L"HKEY_CURRENT_USER\\Software\\Quillstone\\Quillstone)",
                          what);
        return;
    }
    const std::wstring folder = m_system.folder();
    if (folder.empty()) {
        LogRepeatingEvent(kDumpTopic, L"No dump of the %ls Marlowcast: the user's local application data is unknown",
                          what);
        return;
    }

    // One per kind an hour, whether the last one is in the folder (Quillstone
    // may have started since) or was only tried.
    const ULONGLONG now = m_system.now();
    ULONGLONG last = m_triedAt[static_cast<int>(kind)];
    for (const DumpFile& f : m_system.list(folder)) {
        if (OfKind(f.name, kind)) last = std::max(last, f.writtenAt);
    }
    if (last && now >= last && now - last < kDumpIntervalSeconds * kTicksPerSecond) {
        LogRepeatingEvent(kDumpTopic, L"No dump of the %ls Marlowcast: one was taken or tried less than an hour ago",
                          what);
        return;
    }
    m_triedAt[static_cast<int>(kind)] = now;

    Prune(1);
    const std::wstring path = folder + L"\\" + NameAt(now, kind);
    const DumpResult result = m_system.write(process, processId, path, kDumpLimitMs);
    switch (result.outcome) {
        case DumpResult::kWritten:
            LogEvent(
                L"Dump of the %ls Marlowcast (process id %lu) written before it is ended: %ls, %llu bytes in %.1f s",
                what, processId, path.c_str(), result.size, result.ms / 1000.0);
            Prune();
            break;
        case DumpResult::kFailed:
            LogRepeatingEvent(kDumpTopic, L"No dump of the %ls Marlowcast: writing it failed, error 0x%08lX (%ls)",
                              what, result.error, ErrorText(result.error).c_str());
            break;
        case DumpResult::kTimedOut:
            LogRepeatingEvent(kDumpTopic,
                              L"No dump of the %ls Marlowcast: not done within %lu s, abandoned and its file removed",
                              what, kDumpLimitMs / 1000);
            break;
        case DumpResult::kStopped:
            LogEvent(L"No dump of the %ls Marlowcast: Quillstone is shutting down, the dump is abandoned", what);
            break;
        case DumpResult::kBusy:
            LogRepeatingEvent(kDumpTopic, L"No dump of the %ls Marlowcast: an abandoned dump is still being written",
                              what);
            break;
    }
}
