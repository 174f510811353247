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
// once rotate it once.
SRWLOCK g_rotateLock = SRWLOCK_INIT;

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

bool IsOverLimit(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) && static_cast<ULONGLONG>(size.QuadPart) > kEventLogLimit;
}

// Renames a full log to the older name, replacing that one. Another thread
// rotating at this moment does it for us; the size is read again under the
// lock, so a file another thread has just started is not rotated as well.
void Rotate(const wchar_t* path, const wchar_t* older) {
    if (!TryAcquireSRWLockExclusive(&g_rotateLock)) return;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > kEventLogLimit) MoveFileExW(path, older, MOVEFILE_REPLACE_EXISTING);
    }
    ReleaseSRWLockExclusive(&g_rotateLock);
}

// The whole line, time stamp and line break included, in UTF-8; 0 when it
// cannot be made.
int ComposeLine(const wchar_t* format, va_list args, char (&utf8)[kLineBytes]) {
    wchar_t event[kEventChars] = {};
    // A cut-short result is still a useful line.
    const HRESULT formatted = StringCchVPrintfW(event, kEventChars, format, args);
    if (FAILED(formatted) && formatted != STRSAFE_E_INSUFFICIENT_BUFFER) return 0;
    for (wchar_t* c = event; *c; ++c) {
        if (*c < L' ' || *c == 0x7F) *c = L' ';
    }

    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t line[kLineChars] = {};
    StringCchPrintfW(line, kLineChars, L"%04u-%02u-%02u %02u:%02u:%02u.%03u %ls\r\n", now.wYear, now.wMonth, now.wDay,
                     now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, event);
    return WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, static_cast<int>(kLineBytes), nullptr, nullptr) - 1;
}

void Append(const char* utf8, int bytes) {
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
    if (IsOverLimit(file.Get())) {
        file.Reset();
        Rotate(path, older);
        file = OpenForAppending(path);
        if (!file) return;
    }
    DWORD written = 0;
    AcquireSRWLockExclusive(&g_appendLock);
    WriteFile(file.Get(), utf8, static_cast<DWORD>(bytes), &written, nullptr);
    ReleaseSRWLockExclusive(&g_appendLock);
}

}  // namespace

void LogEvent(const wchar_t* format, ...) {
    // The caller may still look at its last error after logging it.
    const DWORD lastError = GetLastError();
    if (format) {
        char utf8[kLineBytes];
        va_list args;
        va_start(args, format);
        const int bytes = ComposeLine(format, args, utf8);
        va_end(args);
        if (bytes > 0) Append(utf8, bytes);
    }
    SetLastError(lastError);
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
}
