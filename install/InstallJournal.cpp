#include "install/InstallJournal.h"

#include <windows.h>

#include "base/EventLog.h"
#include "base/Handles.h"

namespace {

constexpr wchar_t kUnfinished[] = L".~new";
constexpr wchar_t kRejected[] = L".rejected";

std::wstring PathOf(const std::wstring& folder) { return folder + L"\\" + kJournalName; }

bool RemoveIfPresent(const std::wstring& path) {
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool WriteJournal(const std::wstring& folder, const Journal& journal) {
    const std::string text = FormatJournal(journal);
    const std::wstring path = PathOf(folder), unfinished = path + kUnfinished;
    {
        UniqueHandle file(
            CreateFileW(unfinished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.Get())) {
            file.Reset();
            DeleteFileW(unfinished.c_str());
            return false;
        }
    }
    if (MoveFileExW(unfinished.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();  // the caller may wait out a scanner
    DeleteFileW(unfinished.c_str());
    SetLastError(error);
    return false;
}

JournalFound ReadJournal(const std::wstring& folder, Journal* journal) {
    const std::wstring path = PathOf(folder);
    std::string text;
    {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? JournalFound::kNone
                                                                                  : JournalFound::kUnreadable;
        }
        char buffer[4096];
        DWORD got = 0;
        for (;;) {
            if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return JournalFound::kUnreadable;
            if (got == 0 || text.size() > kJournalLimit) break;
            text.append(buffer, got);
        }
    }
    if (ParseJournal(text, journal)) return JournalFound::kRead;
    // Not a record an installation wrote: acting on it could move or delete
    // files that are not ours. It is kept for a person to look at, once.
    const std::wstring rejected = path + kRejected;
    const bool setAside =
        MoveFileExW(path.c_str(), rejected.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    // A rename that fails is retried by the caller, which logs the outcome once.
    if (setAside) {
        LogEvent(L"Installation journal %ls is not one Quillstone wrote: set aside as %ls, never acted on",
                 path.c_str(), rejected.c_str());
    }
    return setAside ? JournalFound::kSetAside : JournalFound::kUnreadable;
}

bool RemoveJournal(const std::wstring& folder) {
    const std::wstring path = PathOf(folder);
    return RemoveIfPresent(path + kUnfinished) && RemoveIfPresent(path);
}
