#include "upgrade/SignedDownload.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "upgrade/BlockFinder.h"
#include "trust/BlockMap.h"
#include "upgrade/Download.h"
#include "upgrade/DownloadStore.h"
#include "upgrade/ReleaseCheck.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;

// Exactly `size` bytes from `offset` through `file`.
bool ReadFrom(HANDLE file, std::uint64_t offset, unsigned char* into, std::size_t size) {
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, kChunk));
        if (!ReadFile(file, into, want, &got, &at) || got == 0) return false;
        offset += got, into += got, size -= got;
    }
    return true;
}

bool WriteAt(HANDLE file, std::uint64_t offset, const unsigned char* data, std::size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, &at) && written == size;
}

bool SetSize(HANDLE file, std::uint64_t size) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

std::uint64_t SizeOf(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

// A size as a person reads it: "1.1 MiB", "12.0 KiB", "7 bytes".
std::wstring Size(std::uint64_t bytes) {
    wchar_t text[32] = {};
    if (bytes >= (1u << 20)) {
        swprintf(text, 32, L"%.1f MiB", bytes / 1048576.0);
    } else if (bytes >= 1024) {
        swprintf(text, 32, L"%.1f KiB", bytes / 1024.0);
    } else {
        swprintf(text, 32, L"%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

// Where each piece lies in a file being built: at its place in the file as
// served, or in what the file decodes to.
std::uint64_t PlaceOf(const MapPiece& piece, bool decoded) { return decoded ? piece.decodedOffset : piece.offset; }
std::uint64_t LengthOf(const MapPiece& piece, bool decoded) { return decoded ? piece.decodedLength : piece.length; }
const Sha256Digest& SumOf(const MapPiece& piece, bool decoded) { return decoded ? piece.decodedSha256 : piece.sha256; }

class FileFetch {
public:
    FileFetch(const UpgradeEntry& entry, const ManifestFile& listed, const std::wstring& path,
              const SignedDownloadContext& context)
        : m_entry(entry),
          m_listed(listed),
          m_path(path),
          m_context(context),
          m_url(context.serverUrl + L"/upgrade/" + std::wstring(entry.urlName.begin(), entry.urlName.end())),
          m_name(FromAnsi(listed.entry)) {}

    std::unique_ptr<TempFile> Run(bool* decoded);

private:
    bool FetchMap(std::wstring* why);
    std::unique_ptr<TempFile> Differential(HANDLE installed, std::wstring* why);
    std::unique_ptr<TempFile> Whole(bool fresh);
    std::unique_ptr<TempFile> Unchecked();
    std::unique_ptr<TempFile> Output(const std::string& sha256, std::uint64_t* kept);
    std::vector<bool> Recheck(HANDLE out, std::uint64_t kept, bool decoded, std::uint64_t* held);
    void Progress(std::uint64_t held, std::uint64_t whole) const {
        m_context.onProgress(static_cast<std::uint32_t>(whole ? std::min<std::uint64_t>(99, held * 100 / whole) : 0));
    }
    DownloadBounds Bounds(std::uint64_t size) const {
        return DownloadBounds{size, m_context.freeSpace, 0, m_context.clock};
    }

    const UpgradeEntry& m_entry;
    const ManifestFile& m_listed;
    const std::wstring& m_path;
    const SignedDownloadContext& m_context;
    const std::wstring m_url;
    const std::wstring m_name;
    BlockMap m_map;
};

// The map, downloaded into the private folder within the size the manifest
// signs for it, checked and read.
bool FileFetch::FetchMap(std::wstring* why) {
    // Beside the file's own, under a name no entry's file takes (theirs end in ".tmp").
    TempFile file(m_path + L".blockmap");
    std::string bytes;
    if (!file || !DownloadFile(
                     m_url + L".blockmap", file.Path(), file.Handle(), *m_context.running, [](std::uint32_t) {},
                     Bounds(m_listed.mapSize))) {
        *why = L"its block map could not be downloaded";
        return false;
    }
    if (!MatchesSigned(file.Rewound(), m_listed.entry + ".blockmap", m_listed.mapSize, m_listed.mapSha256) ||
        !file.Rewound() || !ReadWhole(file.Handle(), static_cast<std::size_t>(m_listed.mapSize), &bytes) ||
        !ParseBlockMap(bytes, m_listed.size, m_entry.package ? m_listed.decodedSize : m_listed.size, &m_map)) {
        *why = L"its block map is not the one signed for it";
        return false;
    }
    return true;
}

// The kept file for `sha256` in the store, or else a new one in the private folder.
std::unique_ptr<TempFile> FileFetch::Output(const std::string& sha256, std::uint64_t* kept) {
    std::unique_ptr<TempFile> out = download_store::Open(sha256, kept);
    if (out) return out;
    *kept = 0;
    out = std::make_unique<TempFile>(m_path);
    return *out ? std::move(out) : nullptr;
}

// The pieces a kept file holds, each checked again: another program may
// have changed it since.
std::vector<bool> FileFetch::Recheck(HANDLE out, std::uint64_t kept, bool decoded, std::uint64_t* held) {
    std::vector<bool> ok(m_map.pieces.size());
    std::vector<unsigned char> buffer(kChunk);
    *held = 0;
    for (std::size_t i = 0; i < m_map.pieces.size(); ++i) {
        const MapPiece& piece = m_map.pieces[i];
        const std::uint64_t at = PlaceOf(piece, decoded), length = LengthOf(piece, decoded);
        if (at + length > kept) break;
        Sha256 sha;
        bool read = true;
        for (std::uint64_t done = 0; read && done < length;) {
            const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length - done));
            read = m_context.running->IsRunning() && ReadFrom(out, at + done, buffer.data(), step);
            sha.Add(buffer.data(), step);
            done += step;
        }
        ok[i] = read && sha.Finish() == SumOf(piece, decoded);
        if (ok[i]) *held += length;
    }
    return ok;
}

// What the file is made of, found in the installed file and the store; the
// rest fetched. For a package, what it decodes to is built directly.
std::unique_ptr<TempFile> FileFetch::Differential(HANDLE installed, std::wstring* why) {
    const bool package = m_entry.package;
    const std::uint64_t size = package ? m_listed.decodedSize : m_listed.size;
    std::uint64_t kept = 0, held = 0;
    std::unique_ptr<TempFile> out = Output(package ? m_listed.decodedSha256 : m_listed.sha256, &kept);
    if (!out) return nullptr;
    std::vector<bool> have = Recheck(out->Handle(), kept, true, &held);
    const std::uint64_t fromStore = held;
    // What is built is written whole before the checks of the free space
    // that a download makes would see it.
    std::uint64_t free = 0;
    const std::wstring folder = out->Path().substr(0, out->Path().rfind(L'\\'));
    if (!m_context.freeSpace || !m_context.freeSpace(folder, &free) || free < kFreeSpaceFloor ||
        free - kFreeSpaceFloor < size - std::min(size, kept)) {
        *why = L"building it would leave less than the free space an upgrade keeps";
        return nullptr;
    }

    std::vector<std::uint64_t> found;
    // The scan of a large file on a slow disk takes a while: the shutdown
    // ends it between two reads.
    const ReadAt readInstalled = [this, installed](std::uint64_t offset, unsigned char* into, std::size_t bytes) {
        return m_context.running->IsRunning() && ReadFrom(installed, offset, into, bytes);
    };
    if (std::find(have.begin(), have.end(), false) != have.end() &&
        !FindPieces(m_map, SizeOf(installed), readInstalled, &found)) {
        *why = L"the installed file cannot be read";
        return nullptr;
    }
    std::vector<unsigned char> buffer(kChunk);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const MapPiece& piece = m_map.pieces[i];
        if (have[i] || found[i] == kNowhere) continue;
        for (std::uint64_t done = 0; done < piece.decodedLength;) {
            const std::size_t step =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, piece.decodedLength - done));
            if (!readInstalled(found[i] + done, buffer.data(), step)) {
                *why = L"the installed file cannot be read";
                return nullptr;
            }
            if (!WriteAt(out->Handle(), piece.decodedOffset + done, buffer.data(), step)) {
                *why = L"the file being built cannot be written";
                return nullptr;
            }
            done += step;
        }
        have[i] = true;
        held += piece.decodedLength;
    }
    Progress(held, size);

    std::uint64_t fetched = 0;
    if (!DownloadPieces(m_url, out->Path(), out->Handle(), *m_context.running, m_context.onProgress, Bounds(m_map.size),
                        m_map, have, package, &fetched)) {
        *why = L"the pieces it lacked could not be fetched";
        return nullptr;
    }
    // What is installed is what the manifest signs for, read through the
    // handle the installation reads.
    if (!SetSize(out->Handle(), size) || !MatchesSigned(out->Rewound(), m_listed.entry + (package ? " (decoded)" : ""),
                                                        size, package ? m_listed.decodedSha256 : m_listed.sha256)) {
        *why = L"what was put together is not the file signed";
        out->Discard();
        return nullptr;
    }
    LogEvent(L"%ls: %ls fetched of %ls, the rest from the installed file%ls", m_name.c_str(), Size(fetched).c_str(),
             Size(m_listed.size).c_str(), fromStore ? L" and an earlier upgrade" : L"");
    return out;
}

// The file as served, its pieces checked; `fresh`: nothing kept is used.
std::unique_ptr<TempFile> FileFetch::Whole(bool fresh) {
    std::uint64_t kept = 0, held = 0;
    std::unique_ptr<TempFile> out = Output(m_listed.sha256, &kept);
    if (!out) return nullptr;
    if (fresh) {
        SetSize(out->Handle(), 0);
        kept = 0;
    }
    const std::vector<bool> have = Recheck(out->Handle(), kept, false, &held);
    if (held > 0) {
        LogEvent(L"Download of %ls: %ls bytes from an earlier upgrade", m_url.c_str(), Grouped(held).c_str());
        Progress(held, m_listed.size);
    }
    std::uint64_t fetched = 0;
    if (!DownloadPieces(m_url, out->Path(), out->Handle(), *m_context.running, m_context.onProgress, Bounds(m_map.size),
                        m_map, have, false, &fetched)) {
        return nullptr;
    }
    if (!SetSize(out->Handle(), m_listed.size) || !MatchesManifest(out->Rewound(), m_listed)) {
        out->Discard();
        return nullptr;
    }
    return out;
}

// Without a map: the whole file, within its signed size, checked when in.
std::unique_ptr<TempFile> FileFetch::Unchecked() {
    auto out = std::make_unique<TempFile>(m_path);
    if (!*out ||
        !DownloadFile(m_url, out->Path(), out->Handle(), *m_context.running, m_context.onProgress,
                      Bounds(m_listed.size)) ||
        !MatchesManifest(out->Rewound(), m_listed)) {
        return nullptr;
    }
    return out;
}

std::unique_ptr<TempFile> FileFetch::Run(bool* decoded) {
    *decoded = false;
    std::wstring why;
    if (!FetchMap(&why)) {
        if (!m_context.running->IsRunning()) return nullptr;
        LogEvent(L"File %ls: fetching it whole, unchecked until it is in: %ls", m_name.c_str(), why.c_str());
        return Unchecked();
    }
    bool fresh = false;
    if (!m_context.installDir.empty()) {
        UniqueHandle installed(CreateFileW((m_context.installDir + L"\\" + m_entry.target).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD error = installed ? ERROR_SUCCESS : GetLastError();
        if (installed) {
            if (std::unique_ptr<TempFile> built = Differential(installed.Get(), &why)) {
                *decoded = m_entry.package;
                return built;
            }
            if (!m_context.running->IsRunning()) return nullptr;
            // Once: the whole file next, never this way again in this upgrade.
            LogEvent(L"File %ls: fetching it whole: %ls", m_name.c_str(), why.c_str());
            fresh = !m_entry.package;
        } else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            SetLastError(error);
            LogLastError(L"File %ls: fetching it whole: the installed file cannot be read", m_name.c_str());
        }
    }
    return Whole(fresh);
}

}  // namespace

std::unique_ptr<TempFile> FetchSignedFile(const UpgradeEntry& entry, const ManifestFile& listed,
                                          const std::wstring& path, const SignedDownloadContext& context,
                                          bool* decoded) {
    return FileFetch(entry, listed, path, context).Run(decoded);
}
