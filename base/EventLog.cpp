#include "base/EventLog.h"

#include <shlobj.h>
#include <strsafe.h>

#include <cstdarg>

#include "base/Handles.h"

namespace {

constexpr wchar_t kFolderName[] = L"Quillstone";
constexpr wchar_t kFileName[] = L"Quillstone.log";
constexpr wchar_t kOlderFileName[] = L"Quillstone.log.1";

// Fixed buffers throughout: a line must not need the heap, and nothing here
// may throw. A folder longer than this is not used.
constexpr size_t kPathChars = 1024;
constexpr size_t kEventChars = 1024;
constexpr size_t kLineChars = kEventChars + 32;
constexpr size_t kLineBytes = kLineChars * 3;  // UTF-8 takes at most 3 bytes per UTF-16 unit

// The folder, found once on first use (or set by a test). Plain storage with
// constant initialisation, so that a line logged while static objects are
// being destroyed still finds it.
SRWLOCK g_folderLock = SRWLOCK_INIT;
wchar_t g_folder[kPathChars];
bool g_folderKnown = false;

// Held for each WriteFile. An append-only handle puts every write at the
// end of the file, but Windows does not promise that two writers appending
// at the same moment both land whole on every file system (Wine, for one,
// loses one of two equal lines), so the threads of this process take turns;
// each waits at most for one other line.
SRWLOCK g_appendLock = SRWLOCK_INIT;

// Held while a full file is renamed, so that two threads finding it full at
// once rotate it once; it also guards the two values below.
SRWLOCK g_rotateLock = SRWLOCK_INIT;
// When the last rename failed (0: it did not), so that a file that cannot be
// renamed costs one failed rename a minute, not one per line.
ULONGLONG g_renameFailedAt = 0;
constexpr ULONGLONG kRenameRetrySeconds = 60;
// Whether this process has said that the file is full and lines are lost.
bool g_fullSaid = false;

// The clock lines are stamped with; a test may replace it.
EventLogClock g_clock = nullptr;

// The last line of each of the last few topics of repeating lines: when it
// was last written and how often it came since. Fixed storage, like
// everything here.
constexpr size_t kTopicChars = 64;
struct Repeat {
    wchar_t topic[kTopicChars];
    wchar_t event[kEventChars];
    ULONGLONG writtenAt;  // seconds, on the clock's scale
    SYSTEMTIME writtenTime;
    unsigned long since;  // times it came since it was written
    bool used;
};
constexpr int kRepeats = 8;
SRWLOCK g_repeatLock = SRWLOCK_INIT;
Repeat g_repeats[kRepeats];
int g_nextRepeat = 0;

void Now(SYSTEMTIME* now) {
    EventLogClock clock = g_clock;
    if (clock) {
        clock(now);
    } else {
        GetLocalTime(now);
    }
}

// Whole seconds of a local time, for differences only.
ULONGLONG SecondsOf(const SYSTEMTIME& time) {
    FILETIME file = {};
    if (!SystemTimeToFileTime(&time, &file)) return 0;
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000ull;
}

// %LOCALAPPDATA%\Quillstone. The shell is the documented way to find it
// (the variable may be missing or changed in a process's environment); the
// variable stands in when the shell cannot tell. SHGetFolderPathW answers in
// our own buffer, so nothing of COM is loaded for it.
bool UserFolder(wchar_t (&folder)[kPathChars]) {
    wchar_t local[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local)) &&
        SUCCEEDED(StringCchPrintfW(folder, kPathChars, L"%ls\\%ls", local, kFolderName))) {
        return true;
    }
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    return length > 0 && length < MAX_PATH &&
           SUCCEEDED(StringCchPrintfW(folder, kPathChars, L"%ls\\%ls", local, kFolderName));
}

// Copies the folder in use; false when there is none.
bool CurrentFolder(wchar_t (&folder)[kPathChars]) {
    AcquireSRWLockShared(&g_folderLock);
    const bool known = g_folderKnown;
    if (known) StringCchCopyW(folder, kPathChars, g_folder);
    ReleaseSRWLockShared(&g_folderLock);
    if (known) return folder[0] != L'\0';

    wchar_t found[kPathChars] = {};
    if (!UserFolder(found)) found[0] = L'\0';
    AcquireSRWLockExclusive(&g_folderLock);
    if (!g_folderKnown) {  // a test may have set one meanwhile
        StringCchCopyW(g_folder, kPathChars, found);
        g_folderKnown = true;
    }
    StringCchCopyW(folder, kPathChars, g_folder);
    ReleaseSRWLockExclusive(&g_folderLock);
    return folder[0] != L'\0';
}

// Append-only access: every WriteFile goes to the end of the file as one
// piece, whoever else appends. Reading the size needs FILE_READ_ATTRIBUTES.
// Full sharing: readers, other writers and the rename that rotates the file
// are never turned away by us.
UniqueHandle OpenForAppending(const wchar_t* path) {
    return UniqueHandle(CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

LONGLONG SizeOf(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// Renames a full log to the older name, replacing that one. Another thread
// rotating at this moment does it for us; the size is read again under the
// lock, so a file another thread has just started is not rotated as well.
// After a failed rename the next try waits kRenameRetrySeconds.
void Rotate(const wchar_t* path, const wchar_t* older, ULONGLONG now) {
    if (!TryAcquireSRWLockExclusive(&g_rotateLock)) return;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if ((g_renameFailedAt == 0 || now - g_renameFailedAt >= kRenameRetrySeconds || now < g_renameFailedAt) &&
        GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > kEventLogLimit) {
            if (MoveFileExW(path, older, MOVEFILE_REPLACE_EXISTING)) {
                g_renameFailedAt = 0;
                g_fullSaid = false;
            } else {
                g_renameFailedAt = now ? now : 1;
            }
        }
    }
    ReleaseSRWLockExclusive(&g_rotateLock);
}

// Whether this process is the one to say, once, that the file is full.
bool FirstToSayFull() {
    AcquireSRWLockExclusive(&g_rotateLock);
    const bool first = !g_fullSaid;
    g_fullSaid = true;
    ReleaseSRWLockExclusive(&g_rotateLock);
    return first;
}

// The event as swprintf formats it, control characters made spaces; false
// when it cannot be made.
bool FormatEvent(const wchar_t* format, va_list args, wchar_t (&event)[kEventChars]) {
    event[0] = L'\0';
    // A cut-short result is still a useful line.
    const HRESULT formatted = StringCchVPrintfW(event, kEventChars, format, args);
    if (FAILED(formatted) && formatted != STRSAFE_E_INSUFFICIENT_BUFFER) return false;
    for (wchar_t* c = event; *c; ++c) {
        if (*c < L' ' || *c == 0x7F) *c = L' ';
    }
    return true;
}

// The whole line, time stamp and line break included, in UTF-8; 0 when it
// cannot be made.
int ComposeLine(const SYSTEMTIME& now, const wchar_t* event, char (&utf8)[kLineBytes]) {
    wchar_t line[kLineChars] = {};
    StringCchPrintfW(line, kLineChars, L"%04u-%02u-%02u %02u:%02u:%02u.%03u %ls\r\n", now.wYear, now.wMonth, now.wDay,
                     now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, event);
    return WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, static_cast<int>(kLineBytes), nullptr, nullptr) - 1;
}

void Append(const SYSTEMTIME& now, const char* utf8, int bytes) {
    wchar_t folder[kPathChars] = {};
    wchar_t path[kPathChars] = {};
    wchar_t older[kPathChars] = {};
    if (!CurrentFolder(folder) || FAILED(StringCchPrintfW(path, kPathChars, L"%ls\\%ls", folder, kFileName)) ||
        FAILED(StringCchPrintfW(older, kPathChars, L"%ls\\%ls", folder, kOlderFileName))) {
        return;
    }

    UniqueHandle file = OpenForAppending(path);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
        CreateDirectoryW(folder, nullptr);
        file = OpenForAppending(path);
    }
    if (!file) return;
    if (SizeOf(file.Get()) > static_cast<LONGLONG>(kEventLogLimit)) {
        file.Reset();
        Rotate(path, older, SecondsOf(now));
        file = OpenForAppending(path);
        if (!file) return;
    }
    // Not rotated (the rename failed): the file still may not grow without
    // end. Past twice the limit one line says so, and the rest are lost.
    char full[kLineBytes];
    if (SizeOf(file.Get()) > static_cast<LONGLONG>(2 * kEventLogLimit)) {
        if (!FirstToSayFull()) return;
        wchar_t event[kEventChars] = {};
        StringCchPrintfW(event, kEventChars,
                         L"The log is full: %ls cannot be renamed to %ls (another program holds it without delete "
                         L"sharing); the lines that follow are lost until it can be",
                         kFileName, kOlderFileName);
        bytes = ComposeLine(now, event, full);
        utf8 = full;
        if (bytes <= 0) return;
    }
    DWORD written = 0;
    AcquireSRWLockExclusive(&g_appendLock);
    WriteFile(file.Get(), utf8, static_cast<DWORD>(bytes), &written, nullptr);
    ReleaseSRWLockExclusive(&g_appendLock);
}

void Write(const SYSTEMTIME& now, const wchar_t* event) {
    char utf8[kLineBytes];
    const int bytes = ComposeLine(now, event, utf8);
    if (bytes > 0) Append(now, utf8, bytes);
}

Repeat* FindTopic(const wchar_t* topic) {
    for (Repeat& repeat : g_repeats) {
        if (repeat.used && wcscmp(repeat.topic, topic) == 0) return &repeat;
    }
    return nullptr;
}

// Whether a topic's line is written now; when it is after repeats, its text
// gets their count.
bool TakeRepeat(const wchar_t* topic, const SYSTEMTIME& now, wchar_t (&event)[kEventChars]) {
    const ULONGLONG seconds = SecondsOf(now);
    AcquireSRWLockExclusive(&g_repeatLock);
    Repeat* found = FindTopic(topic);
    bool write = true;
    if (!found || wcscmp(found->event, event) != 0) {
        if (!found) {
            // A free place first; else the one taken longest ago.
            for (Repeat& repeat : g_repeats) {
                if (!found && !repeat.used) found = &repeat;
            }
            if (!found) found = &g_repeats[g_nextRepeat], g_nextRepeat = (g_nextRepeat + 1) % kRepeats;
            StringCchCopyW(found->topic, kTopicChars, topic);
            found->used = true;
        }
        StringCchCopyW(found->event, kEventChars, event);
        found->since = 0;
    } else if (seconds >= found->writtenAt && seconds - found->writtenAt < kRepeatIntervalSeconds) {
        ++found->since;
        write = false;
    } else if (found->since > 0) {
        wchar_t counted[kEventChars] = {};
        StringCchPrintfW(counted, kEventChars, L"%ls; again, %lu times since %02u:%02u", event, found->since + 1,
                         found->writtenTime.wHour, found->writtenTime.wMinute);
        StringCchCopyW(event, kEventChars, counted);
        found->since = 0;
    }
    if (write) {
        found->writtenAt = seconds;
        found->writtenTime = now;
    }
    ReleaseSRWLockExclusive(&g_repeatLock);
    return write;
}

void ForgetRepeats() {
    AcquireSRWLockExclusive(&g_repeatLock);
    for (Repeat& repeat : g_repeats) repeat.used = false;
    g_nextRepeat = 0;
    ReleaseSRWLockExclusive(&g_repeatLock);
    AcquireSRWLockExclusive(&g_rotateLock);
    g_renameFailedAt = 0;
    g_fullSaid = false;
    ReleaseSRWLockExclusive(&g_rotateLock);
}

}  // namespace

namespace {

void LogWith(const wchar_t* topic, const wchar_t* format, va_list args) {
    // The caller may still look at its last error after logging it.
    const DWORD lastError = GetLastError();
    wchar_t event[kEventChars];
    if (format && FormatEvent(format, args, event)) {
        SYSTEMTIME now = {};
        Now(&now);
        if (!topic || TakeRepeat(topic, now, event)) Write(now, event);
    }
    SetLastError(lastError);
}

}  // namespace

void LogEvent(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogWith(nullptr, format, args);
    va_end(args);
}

void LogRepeatingEvent(const wchar_t* topic, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogWith(topic, format, args);
    va_end(args);
}

void LogLastError(const wchar_t* format, ...) {
    const DWORD error = GetLastError();
    wchar_t event[kEventChars];
    va_list args;
    va_start(args, format);
    const bool formatted = format && FormatEvent(format, args, event);
    va_end(args);
    if (formatted) LogEvent(L"%ls, error %lu (%ls)", event, error, ErrorText(error).c_str());
    SetLastError(error);
}

void EndRepeatingEvent(const wchar_t* topic) {
    AcquireSRWLockExclusive(&g_repeatLock);
    if (Repeat* found = topic ? FindTopic(topic) : nullptr) found->used = false;
    ReleaseSRWLockExclusive(&g_repeatLock);
}

std::wstring ErrorText(DWORD error, HMODULE module) {
    // Called for a log line's arguments, before LogEvent keeps the last error.
    const DWORD lastError = GetLastError();
    wchar_t text[512] = {};
    const DWORD source = module ? FORMAT_MESSAGE_FROM_HMODULE : 0;
    const DWORD length = FormatMessageW(source | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                                        error, 0, text, 512, nullptr);
    std::wstring result(text, length);
    for (wchar_t& c : result) {
        if (c < L' ') c = L' ';
    }
    while (!result.empty() && (result.back() == L' ' || result.back() == L'.')) result.pop_back();
    SetLastError(lastError);
    return result;
}

std::wstring EventLogPath() {
    wchar_t folder[kPathChars] = {};
    if (!CurrentFolder(folder)) return std::wstring();
    return std::wstring(folder) + L"\\" + kFileName;
}

void SetEventLogFolder(const wchar_t* folder) {
    wchar_t chosen[kPathChars] = {};
    const bool found = folder && *folder ? SUCCEEDED(StringCchCopyW(chosen, kPathChars, folder)) : UserFolder(chosen);
    if (!found) chosen[0] = L'\0';
    AcquireSRWLockExclusive(&g_folderLock);
    StringCchCopyW(g_folder, kPathChars, chosen);
    g_folderKnown = true;
    ReleaseSRWLockExclusive(&g_folderLock);
    ForgetRepeats();
}

void SetEventLogClock(EventLogClock clock) { g_clock = clock; }
