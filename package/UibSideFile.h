// A file written beside its final path and moved over it only when complete,
// so that a failed decode or pack never leaves a half-written file and never
// touches the one that was there before.
#pragma once

#include <cstdio>
#include <string>

namespace uib {

class SideFile {
public:
    SideFile() = default;
    SideFile(const SideFile&) = delete;
    SideFile& operator=(const SideFile&) = delete;
    // Closes and removes the side file unless it was moved into place.
    ~SideFile();

    // Creates "<target>.~uib" (or ".~uib1" to ".~uib9" when that name is
    // taken, so that no existing file is ever truncated) with mode "wb".
    bool Create(const char* target);

    std::FILE* file() const { return file_; }
    const std::string& path() const { return path_; }

    // Closes the stream; false when buffered bytes could not be written.
    bool Close(int (*close)(std::FILE*) = std::fclose);

    // Moves the closed side file over |target|, replacing an existing file.
    bool MoveOver(const char* target);

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    bool moved_ = false;
};

}  // namespace uib
