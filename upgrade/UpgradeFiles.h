#pragma once
// The upgrade's own files: a folder of its own under the temporary folder,
// and the files it downloads into it.

#include <windows.h>

#include <string>

#include "base/Handles.h"

// A file the upgrade writes into its private folder. It is made new and
// opened once, for reading and writing with no sharing, and that handle is
// the file from then on: the download writes through it, the check and the
// installation read through it, and no name is opened again, so no link,
// attribute or stream that another program puts on the name plays a part.
// The system removes it as soon as the last handle goes, also when the
// process is killed.
class TempFile {
public:
    explicit TempFile(std::wstring path);
    // A file opened elsewhere (a kept download, upgrade/DownloadStore.h) that
    // is used the same way; it stays when the handle goes, unless discarded.
    TempFile(std::wstring path, UniqueHandle file) : m_path(std::move(path)), m_file(std::move(file)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_file); }
    const std::wstring& Path() const { return m_path; }
    HANDLE Handle() const { return m_file.Get(); }
    // The handle, at the file's start.
    HANDLE Rewound() const;
    // The file goes when its handle goes (it must have been opened with
    // DELETE access, as the temporary ones are).
    void Discard() const;

private:
    const std::wstring m_path;
    UniqueHandle m_file;
};

// What is read through `file` from where it stands, when it is at most
// `limit` bytes.
bool ReadWhole(HANDLE file, std::size_t limit, std::string* bytes);

// A folder of the upgrade's own under the temporary folder, under a name
// nobody had, removed when the upgrade ends (its files are gone by then).
// Held open meanwhile without delete sharing, so that nobody can rename or
// remove it under the upgrade.
class PrivateFolder {
public:
    explicit PrivateFolder(const std::wstring& temp);
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::wstring& Path() const { return m_path; }

private:
    // A process that was killed leaves its folder behind, empty (the system
    // removed its files). One that runs holds its own, which cannot go.
    static void RemoveEarlierOnes(const std::wstring& temp);

    static constexpr std::size_t kMaxFolderPath = 510;  // paths the upgrade builds hold at most 510 characters
    std::wstring m_path;
    UniqueHandle m_hold;
};
