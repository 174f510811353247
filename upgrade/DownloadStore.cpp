#include "upgrade/DownloadStore.h"

#include <algorithm>

#include "base/EventLog.h"
#include "base/Handles.h"

namespace download_store {

namespace {

constexpr wchar_t kSuffix[] = L".part";
constexpr std::uint64_t kTicksPerDay = 24ull * 60 * 60 * 10000000;

std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

std::wstring Folder() {
    const std::wstring log = EventLogPath();
    return log.empty() ? log : log.substr(0, log.rfind(L'\\')) + L"\\Downloads";
}

void Prune(const std::vector<std::string>& wanted, const FreeSpaceQuery& freeSpace) {
    const std::wstring folder = Folder();
    if (folder.empty()) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    struct Kept {
        std::wstring path;
        std::uint64_t written;
    };
    std::vector<Kept> kept;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((folder + L"\\*" + kSuffix).c_str(), &found));
    for (bool more = search.Found(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring name = found.cFileName;
        const std::string stem(name.begin(), name.end() - (sizeof kSuffix / sizeof(wchar_t) - 1));
        const std::wstring path = folder + L"\\" + name;
        const bool old = Ticks(now) > Ticks(found.ftLastWriteTime) + kKeepDays * kTicksPerDay;
        if (old || std::find(wanted.begin(), wanted.end(), stem) == wanted.end()) {
            DeleteFileW(path.c_str());
        } else {
            kept.push_back({path, Ticks(found.ftLastWriteTime)});
        }
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.written < b.written; });
    for (const Kept& file : kept) {
        std::uint64_t free = 0;
        if (freeSpace && freeSpace(folder, &free) && free >= kFreeSpaceFloor) break;
        DeleteFileW(file.path.c_str());
    }
}

std::unique_ptr<TempFile> Open(const std::string& sha256, std::uint64_t* kept) {
    *kept = 0;
    const std::wstring folder = Folder();
    if (folder.empty()) return nullptr;
    CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\" + std::wstring(sha256.begin(), sha256.end()) + kSuffix;
    // The name itself, not what a link there points to.
    const auto open = [&](DWORD disposition) {
        return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    UniqueHandle file = open(OPEN_ALWAYS);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (file && GetLastError() == ERROR_ALREADY_EXISTS) {
        if (GetFileInformationByHandle(file.Get(), &info) && info.nNumberOfLinks == 1 &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
            *kept = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        } else {
            FILE_DISPOSITION_INFO gone = {TRUE};
            SetFileInformationByHandle(file.Get(), FileDispositionInfo, &gone, sizeof gone);
            file.Reset();
            file = open(CREATE_NEW);
        }
    }
    if (!file) {
        LogLastError(L"Download of the kept %ls not possible, so into the temporary folder", path.c_str());
        return nullptr;
    }
    return std::make_unique<TempFile>(path, std::move(file));
}

}  // namespace download_store
