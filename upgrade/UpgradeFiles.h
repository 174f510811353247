#pragma once
// The upgrade's own files: a folder of its own under the temporary folder,
// and the files it downloads into it.

#include <windows.h>
#include <strsafe.h>

#include <string>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "upgrade/Download.h"

// A file the upgrade writes into its private folder. It is made new and
// opened once, for reading and writing with no sharing, and that handle is
// the file from then on: the download writes through it, the check and the
// installation read through it, and no name is opened again, so no link,
// attribute or stream that another program puts on the name plays a part.
// The system removes it as soon as the last handle goes, also when the
// process is killed.
class TempFile {
public:
    explicit TempFile(std::wstring path)
        : m_path(std::move(path)),
          m_file(CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)) {
        if (!m_file) {
            const DWORD error = GetLastError();
            LogEvent(L"Upgrade failed: %ls could not be made, error %lu (%ls)", m_path.c_str(), error,
                     ErrorText(error).c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_file); }
    const std::wstring& Path() const { return m_path; }
    HANDLE Handle() const { return m_file.Get(); }
    // The handle, at the file's start.
    HANDLE Rewound() const {
        LARGE_INTEGER start = {};
        return SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN) ? m_file.Get() : nullptr;
    }

private:
    const std::wstring m_path;
    UniqueHandle m_file;
};

// A folder of the upgrade's own under the temporary folder, under a name
// nobody had, removed when the upgrade ends (its files are gone by then).
// Held open meanwhile without delete sharing, so that nobody can rename or
// remove it under the upgrade.
class PrivateFolder {
public:
    explicit PrivateFolder(const std::wstring& temp) {
        RemoveEarlierOnes(temp);
        for (int attempt = 0; attempt < 100 && !temp.empty(); ++attempt) {
            wchar_t name[64] = {};
            StringCchPrintfW(name, 64, L"Quillstone-%lu-%llx", GetCurrentProcessId(),
                             GetTickCount64() * 131 + static_cast<ULONGLONG>(attempt));
            const std::wstring path = temp + L"\\" + name;
            if (path.size() > kMaxFolderPath) return;
            if (CreateDirectoryW(path.c_str(), nullptr)) {
                m_hold.Reset(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
                if (m_hold) m_path = path;
                return;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS) return;
        }
    }
    ~PrivateFolder() {
        m_hold.Reset();
        // A download abandoned by the shutdown may still hold its file: it
        // removes the folder when it lets go.
        if (!m_path.empty() && !RemoveDirectoryW(m_path.c_str()) && !AbandonedDownloadRunning()) {
            const DWORD error = GetLastError();
            LogEvent(L"Temporary folder %ls could not be removed: error %lu (%ls)", m_path.c_str(), error,
                     ErrorText(error).c_str());
        }
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::wstring& Path() const { return m_path; }

private:
    // A process that was killed leaves its folder behind, empty (the system
    // removed its files). One that runs holds its own, which cannot go.
    static void RemoveEarlierOnes(const std::wstring& temp) {
        WIN32_FIND_DATAW found;
        FindHandle search(FindFirstFileW((temp + L"\\Quillstone-*").c_str(), &found));
        for (bool more = search.Found(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW((temp + L"\\" + found.cFileName).c_str());
            }
        }
    }

    static constexpr std::size_t kMaxFolderPath = 510;  // paths the upgrade builds hold at most 510 characters
    std::wstring m_path;
    UniqueHandle m_hold;
};
