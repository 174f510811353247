#include "install/Installation.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "package/UibPackage.h"

namespace {

constexpr DWORD kCopyBlock = 256 * 1024;

bool Rewind(HANDLE file) {
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

// Copies what is read through `from` to its end into `to`.
bool CopyThrough(HANDLE from, HANDLE to) {
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    for (;;) {
        DWORD got = 0, written = 0;
        if (!ReadFile(from, block.get(), kCopyBlock, &got, nullptr)) return false;
        if (got == 0) return true;
        if (!WriteFile(to, block.get(), got, &written, nullptr) || written != got) return false;
    }
}

// A C stream over a second handle to the file of `handle` (sharing its
// position); closing the stream closes only that second handle.
struct CloseStream {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, CloseStream>;
Stream StreamOf(HANDLE handle, bool write) {
    HANDLE second = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &second, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(second), write ? _O_WRONLY | _O_BINARY : _O_RDONLY | _O_BINARY);
    if (fd == -1) {
        UniqueHandle owner(second);
        return nullptr;
    }
    Stream stream(_fdopen(fd, write ? "wb" : "rb"));
    if (!stream) _close(fd);
    return stream;
}

// Keeps kFreeSpaceFloor free on the installation volume while a package
// decodes, measured again every few MiB (others write to the volume too).
struct DecodeRoom {
    const FreeSpaceQuery& query;
    std::wstring folder;
    std::uint64_t free = 0;
    bool told = false;

    static bool Ask(void* context, std::uint64_t more) {
        DecodeRoom& room = *static_cast<DecodeRoom*>(context);
        room.told = room.query && room.query(room.folder, &room.free);
        return room.told && room.free >= kFreeSpaceFloor && room.free - kFreeSpaceFloor >= more;
    }
};

}  // namespace

// Writes one staged file from the download's handle: copied, or decoded
// within what the publisher signed and what the volume can spare.
bool Installation::StageOne(const InstallItem& item, const std::wstring& staged, const std::wstring& target) {
    // The folder the new file goes into must be there before anything is
    // replaced (a file of its name, or a missing level above it, fails it).
    const DWORD folder = GetFileAttributesW(target.substr(0, target.rfind(L'\\')).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
        if (folder != INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_DIRECTORY);  // a file of that name
        LogLastError(L"Installation failed staging %ls: its folder cannot be made", target.c_str());
        return false;
    }
    UniqueHandle out(CreateFileW(staged.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        LogLastError(L"Installation failed staging %ls: %ls could not be made", target.c_str(), staged.c_str());
        return false;
    }
    if (!Rewind(item.source)) return false;
    if (item.package) {
        DecodeRoom room{m_freeSpace, m_folder};
        const uib::OutputBound bound{item.decodedLimit, DecodeRoom::Ask, &room};
        Stream in = StreamOf(item.source, false), to = StreamOf(out.Get(), true);
        const bool decoded = in && to && uib::DecodeUibStream(in.get(), to.get(), bound);
        const bool closed = to && std::fclose(to.release()) == 0;
        if (!decoded || !closed) {
            // The decoder reports no cause, and its file calls leave last errors of their own.
            LogEvent(
                L"Installation failed staging %ls: the package did not decode (damaged, larger than its publisher "
                L"signed, or larger than the volume of %ls can hold with %llu MiB left free: %ls)",
                target.c_str(), m_folder.c_str(), kFreeSpaceFloor >> 20,
                room.told ? (std::to_wstring(room.free) + L" bytes free").c_str() : L"free space unknown");
            return false;
        }
    } else if (!CopyThrough(item.source, out.Get())) {
        LogLastError(L"Installation failed staging %ls", target.c_str());
        return false;
    }
    // The journal will count on this file: it must be on disk first.
    if (!FlushFileBuffers(out.Get())) {
        LogLastError(L"Installation failed staging %ls: it could not be forced to disk", target.c_str());
        return false;
    }
    return !item.checkStaged || (Rewind(out.Get()) && item.checkStaged(out.Get()));
}

bool Installation::Stage(const std::vector<InstallItem>& items, const Journal& journal, const StopFlag& running,
                         const std::function<void()>& onStaged) {
    for (const std::string& made : journal.folders) {
        Step();
        CreateDirectoryW(PathOf(made).c_str(), nullptr);  // a failure shows when staging into it
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!running.IsRunning()) return false;
        Step();
        const bool made = StageOne(items[i], PathOf(journal.entries[i].staged), PathOf(journal.entries[i].target));
        Step();
        if (!made) return false;
        onStaged();
    }
    return true;
}
