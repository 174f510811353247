#include "upgrade/UpgradeFiles.h"

#include <strsafe.h>

#include "base/EventLog.h"

TempFile::TempFile(std::wstring path)
    : m_path(std::move(path)),
      m_file(CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)) {
    if (!m_file) LogLastError(L"Upgrade failed: %ls could not be made", m_path.c_str());
}

HANDLE TempFile::Rewound() const {
    LARGE_INTEGER start = {};
    return SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN) ? m_file.Get() : nullptr;
}

bool ReadWhole(HANDLE file, std::size_t limit, std::string* bytes) {
    bytes->assign(limit + 1, '\0');
    DWORD got = 0;
    if (!ReadFile(file, &(*bytes)[0], static_cast<DWORD>(limit + 1), &got, nullptr) || got > limit) return false;
    bytes->resize(got);
    return true;
}

void TempFile::Discard() const {
    FILE_DISPOSITION_INFO gone = {TRUE};
    SetFileInformationByHandle(m_file.Get(), FileDispositionInfo, &gone, sizeof gone);
}

PrivateFolder::PrivateFolder(const std::wstring& temp) {
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

PrivateFolder::~PrivateFolder() {
    m_hold.Reset();
    // Its files are gone: a download writes only while it is waited for.
    if (!m_path.empty() && !RemoveDirectoryW(m_path.c_str())) {
        LogLastError(L"Temporary folder %ls could not be removed", m_path.c_str());
    }
}

void PrivateFolder::RemoveEarlierOnes(const std::wstring& temp) {
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((temp + L"\\Quillstone-*").c_str(), &found));
    for (bool more = search.Found(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryW((temp + L"\\" + found.cFileName).c_str());
        }
    }
}
