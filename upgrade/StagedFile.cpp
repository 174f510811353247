#include "upgrade/StagedFile.h"

#include <windows.h>

#include "base/Handles.h"

namespace {
constexpr wchar_t kSuffix[] = L".~new";
}  // namespace

StagedFile::~StagedFile() {
    if (!m_path.empty() && !m_placed) DeleteFileW(m_path.c_str());
}

bool StagedFile::Reserve(const std::wstring& target) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::wstring candidate = target + kSuffix;
        if (attempt > 0) candidate += static_cast<wchar_t>(L'0' + attempt);
        // CREATE_NEW fails on a name that exists: nobody's file is truncated.
        UniqueHandle created(
            CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (created) {
            m_target = target;
            m_path = std::move(candidate);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

bool StagedFile::PutInPlace() {
    if (m_path.empty() || m_placed) return false;
    const DWORD attributes = GetFileAttributesW(m_target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    m_placed = MoveFileExW(m_path.c_str(), m_target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    return m_placed;
}
