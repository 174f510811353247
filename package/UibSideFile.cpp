#include "UibSideFile.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace uib {
namespace {

bool Exists(const std::string& path) {
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
        return true;
    }
    return false;
}

}  // namespace

SideFile::~SideFile() {
    if (file_) std::fclose(file_);
    if (!path_.empty() && !moved_) std::remove(path_.c_str());
}

bool SideFile::Create(const char* target) {
    // stdio has no exclusive create, so a name is tested before it is taken.
    // Only the upgrade thread decodes, so nobody races us for the name.
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string candidate = std::string(target) + ".~uib";
        if (attempt > 0) candidate += static_cast<char>('0' + attempt);
        if (Exists(candidate)) continue;
        file_ = std::fopen(candidate.c_str(), "wb");
        if (!file_) return false;
        path_ = std::move(candidate);
        return true;
    }
    return false;
}

bool SideFile::Close(int (*close)(std::FILE*)) {
    std::FILE* file = file_;
    file_ = nullptr;
    return file && close(file) == 0;
}

bool SideFile::MoveOver(const char* target) {
    if (file_ || path_.empty()) return false;
#ifdef _WIN32
    // rename() on Windows refuses to replace an existing file.
    moved_ = MoveFileExA(path_.c_str(), target, MOVEFILE_REPLACE_EXISTING) != 0;
#else
    moved_ = std::rename(path_.c_str(), target) == 0;
#endif
    return moved_;
}

}  // namespace uib
