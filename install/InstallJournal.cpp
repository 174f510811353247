#include "install/InstallJournal.h"

#include <windows.h>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "install/EntryPath.h"

namespace {

// Where a record is written before it is moved into place.
std::wstring Unfinished(const std::wstring& path) { return path + L".new"; }
constexpr wchar_t kRejected[] = L".rejected";

// Our own file, whatever another program did to its attributes meanwhile
// (read-only would make every later replace or delete fail).
bool RemoveOwnFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;  // not ours
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

// Moves what stands at `path` out of the way, never acting on it. A folder
// or a link is renamed itself, not what it leads to.
JournalFound SetAside(const std::wstring& path, const wchar_t* why) {
    const std::wstring rejected = path + kRejected;
    SetFileAttributesW(rejected.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(rejected.c_str());  // an empty one from an earlier set-aside
    if (MoveFileExW(path.c_str(), rejected.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        LogEvent(L"Installation journal %ls is %ls: set aside as %ls, never acted on", path.c_str(), why,
                 rejected.c_str());
        return JournalFound::kSetAside;
    }
    const DWORD error = GetLastError();
    LogEvent(L"Installation journal %ls is %ls and could not be set aside, error %lu (%ls): ignored, never acted on",
             path.c_str(), why, error, ErrorText(error).c_str());
    return JournalFound::kSetAside;
}

// The text of the record at `path`, at most one byte beyond what a record may
// hold (that much tells that it is none of ours).
JournalFound ReadText(const std::wstring& path, std::string* text) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? JournalFound::kNone
                                                                              : JournalFound::kUnreadable;
    }
    char buffer[4096];
    DWORD got = 0;
    for (;;) {
        if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return JournalFound::kUnreadable;
        if (got == 0 || text->size() > kJournalLimit) return JournalFound::kRead;
        text->append(buffer, got);
    }
}

JournalFound ReadAt(const std::wstring& path, Journal* journal);

}  // namespace

std::wstring JournalPath(const std::wstring& folder) {
    return folder + L"\\" + FromUtf8(kTransactionFolder) + L"\\journal";
}

std::wstring HeldProbationPath(const std::wstring& folder) {
    return folder + L"\\" + FromUtf8(kTransactionFolder) + L"\\probation";
}

bool WriteJournal(const std::wstring& folder, const Journal& journal) {
    return WriteJournalAt(JournalPath(folder), journal);
}

bool WriteJournalAt(const std::wstring& path, const Journal& journal) {
    const std::string text = FormatJournal(journal);
    const std::wstring unfinished = Unfinished(path);
    {
        RemoveOwnFile(unfinished);
        UniqueHandle file(
            CreateFileW(unfinished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.Get())) {
            const DWORD error = GetLastError();
            file.Reset();
            RemoveOwnFile(unfinished);
            SetLastError(error);
            return false;
        }
    }
    // What the next start will read is what the reader takes back as written;
    // anything else must never replace the record that stands.
    std::string back;
    if (ReadText(unfinished, &back) != JournalFound::kRead || back != text || !ReadsBack(back)) {
        RemoveOwnFile(unfinished);
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExW(unfinished.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();  // the caller may wait out a scanner
    RemoveOwnFile(unfinished);
    SetLastError(error);
    return false;
}

JournalFound ReadJournal(const std::wstring& folder, Journal* journal) { return ReadAt(JournalPath(folder), journal); }

JournalFound ReadJournalAt(const std::wstring& path, Journal* journal) { return ReadAt(path, journal); }

namespace {

JournalFound ReadAt(const std::wstring& path, Journal* journal) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        // A file where the installation's folder should be hides the journal
        // as well as a missing one does.
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY
                   ? JournalFound::kNone
                   : JournalFound::kUnreadable;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return SetAside(path, attributes & FILE_ATTRIBUTE_REPARSE_POINT ? L"a link" : L"a folder");
    }
    std::string text;
    const JournalFound found = ReadText(path, &text);
    if (found != JournalFound::kRead) return found;
    Journal read;
    // Not a record an installation wrote: acting on it could move or delete
    // files that are not ours. It is kept for a person to look at, once.
    if (!ParseJournal(text, &read)) return SetAside(path, L"not one Quillstone wrote");
    *journal = std::move(read);
    return JournalFound::kRead;
}

}  // namespace

bool RemoveJournal(const std::wstring& folder) { return RemoveJournalAt(JournalPath(folder)); }

bool RemoveJournalAt(const std::wstring& path) { return RemoveOwnFile(Unfinished(path)) && RemoveOwnFile(path); }
