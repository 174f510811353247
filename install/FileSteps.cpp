#include "install/FileSteps.h"

#include "base/EventLog.h"
#include "base/Handles.h"

namespace {

constexpr DWORD kRetryPauseMs = 100;

// Puts a kept copy back in one step: the target is never absent, even when
// the move cannot be made.
bool MoveBack(const std::wstring& kept, const std::wstring& target) {
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);  // the new file, ours
    return MoveFileExW(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Errors a scanner or an indexer causes while it reads a file for a moment.
// Access is denied for good on a read-only file or a folder.
bool Transient(DWORD error, const std::wstring& path) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    if (error != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

}  // namespace

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A read-only copy would resist every later try.
bool RemoveFile(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

// Never over an existing file: a name that came into use meanwhile is
// somebody else's. Between the installation's folder and the targets this is
// a rename on one volume, which MOVEFILE_WRITE_THROUGH does not flush (it
// only waits for the copy of a move across volumes). What keeps the journal
// and the renames in order after a power cut is NTFS's own log of metadata
// changes, which replays them in the order they were made; FAT volumes keep
// no such log, and there an installation cut by a power failure is not
// protected.
bool Move(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameAside(const std::wstring& path, const std::wstring& aside) { return !Exists(aside) && Move(path, aside); }

// A program running from the new target (Quillstone, started again from a
// release being rolled back) lets it be renamed, never replaced: it then goes
// to its staged name first, where the journal finds it.
bool PutBack(const std::wstring& kept, const std::wstring& target, const std::wstring& staged) {
    if (MoveBack(kept, target)) return true;
    const DWORD error = GetLastError();
    if (Exists(target) && RenameAside(target, staged)) {
        if (MoveBack(kept, target)) return true;
        Move(staged, target);
    }
    SetLastError(error);
    return false;
}

// A read-only target fails, since a copy over it would.
bool Replaceable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    UniqueHandle probe(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

std::wstring LongPath(const std::wstring& path) {
    std::wstring buffer(GetLongPathNameW(path.c_str(), nullptr, 0), L'\0');
    if (buffer.empty()) return buffer;
    buffer.resize(GetLongPathNameW(path.c_str(), &buffer[0], static_cast<DWORD>(buffer.size())));
    return buffer;
}

bool Patiently(const Patience& patience, const std::wstring& path, const std::function<bool()>& attempt) {
    const ULONGLONG started = GetTickCount64();
    const ULONGLONG deadline = started + patience.ms < patience.deadline ? started + patience.ms : patience.deadline;
    bool waited = false;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        if (attempt()) {
            if (waited) LogEvent(L"%ls is free again after %llu ms", path.c_str(), GetTickCount64() - started);
            return true;
        }
        const DWORD error = GetLastError();
        if (!Transient(error, path) || GetTickCount64() >= deadline ||
            (patience.running && !patience.running->IsRunning())) {
            SetLastError(error);
            return false;
        }
        if (!waited) {
            LogEvent(L"%ls is held by another program, error %lu (%ls): waiting up to %llu ms for it", path.c_str(),
                     error, ErrorText(error).c_str(), deadline - started);
        }
        waited = true;
        Sleep(kRetryPauseMs);
    }
}
