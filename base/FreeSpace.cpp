#include "base/FreeSpace.h"

#include <windows.h>

bool VolumeFreeSpace(const std::wstring& folder, std::uint64_t* bytes) {
    // A trailing backslash, which a share's name needs.
    const std::wstring directory = folder.empty() || folder.back() == L'\\' ? folder : folder + L"\\";
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) return false;
    *bytes = available.QuadPart;
    return true;
}
