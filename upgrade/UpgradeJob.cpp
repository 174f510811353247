#include "upgrade/UpgradeJob.h"

#include <strsafe.h>

#include <algorithm>
#include <memory>

#include "base/EventLog.h"
#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
#include "upgrade/ArrivalPace.h"
#include "upgrade/Download.h"
#include "upgrade/ProgressSteps.h"
#include "install/Installation.h"
#include "upgrade/Manifest.h"
#include "upgrade/ReleaseCheck.h"

namespace {

constexpr std::size_t kPathSize = 511;  // paths hold at most 510 characters
constexpr DWORD kInstallDirSize = 320;  // capacity the installation folder is read with
constexpr std::size_t kUrlSize = 1021;  // URLs hold at most 1020 characters
constexpr DWORD kExitPollMs = 50;

// Two parts joined by a backslash, or false when the path would not fit.
bool JoinPath(std::wstring* out, const std::wstring& folder, const std::wstring& name, const wchar_t* suffix = L"") {
    wchar_t buffer[kPathSize + 1] = {};
    if (FAILED(StringCchPrintfW(buffer, kPathSize, L"%s\\%s%s", folder.c_str(), name.c_str(), suffix))) {
        return false;
    }
    *out = buffer;
    return true;
}

// What is read through `file` from its start, when it is at most `limit` bytes.
bool ReadWhole(HANDLE file, std::size_t limit, std::string* bytes) {
    bytes->assign(limit + 1, '\0');
    DWORD got = 0;
    if (!ReadFile(file, &(*bytes)[0], static_cast<DWORD>(limit + 1), &got, nullptr) || got > limit) return false;
    bytes->resize(got);
    return true;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    // Windows file names ignore letter case.
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Why a signed manifest was refused, in one line.
void LogRefusal(ReleaseVerdict verdict, std::uint64_t release, std::uint64_t installed) {
    switch (verdict) {
        case ReleaseVerdict::kBadSignature:
            LogEvent(
                L"Upgrade refused: bad signature, the manifest is not signed with the publisher's key or was "
                L"changed after signing");
            break;
        case ReleaseVerdict::kBadManifest: LogEvent(L"Upgrade refused: the signed manifest is malformed"); break;
        case ReleaseVerdict::kOlderRelease:
            LogEvent(L"Upgrade refused: the manifest's release is older than the one installed (%llu < %llu)", release,
                     installed);
            break;
        case ReleaseVerdict::kAccepted: break;
    }
}

}  // namespace

// A file the upgrade writes into the temporary folder, removed when the
// upgrade ends, however it ends. Once held, it is open for reading with read
// sharing only: until the hold ends nobody can write, replace, rename or
// delete it (its name is easy to guess), so the bytes checked through the
// hold are the bytes installed. The installation still reads it: its copy
// and the package decoder open for reading and share reading.
class UpgradeJob::TempFile {
public:
    explicit TempFile(std::wstring path) : m_path(std::move(path)) {}
    ~TempFile() {
        m_hold.Reset();
        // A failed download has removed its file already.
        if (!m_path.empty() && !DeleteFileW(m_path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            const DWORD error = GetLastError();
            LogEvent(L"Temporary file %ls could not be removed: error %lu (%ls)", m_path.c_str(), error,
                     ErrorText(error).c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::wstring& Path() const { return m_path; }
    bool Hold() {
        m_hold.Reset(CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return static_cast<bool>(m_hold);
    }
    HANDLE Held() const { return m_hold.Get(); }

private:
    const std::wstring m_path;
    UniqueHandle m_hold;
};

UpgradeJob::UpgradeJob(std::vector<UpgradeEntry> entries, std::wstring tempDir, UpgradeProgress& progress,
                       const StopFlag& running, UpgradeSource source)
    : m_entries(std::move(entries)),
      m_tempDir(std::move(tempDir)),
      m_source(std::move(source)),
      m_progress(progress),
      m_running(running) {}

UpgradeJob::~UpgradeJob() { Join(); }

bool UpgradeJob::Start(HWND notify) {
    if (m_thread) return false;
    m_notify = notify;
    m_thread.Reset(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    return static_cast<bool>(m_thread);
}

bool UpgradeJob::Ended() const { return m_thread && WaitForSingleObject(m_thread.Get(), 0) == WAIT_OBJECT_0; }

void UpgradeJob::Join() {
    if (!m_thread) return;
    WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Reset();
}

DWORD WINAPI UpgradeJob::ThreadProc(LPVOID param) {
    UpgradeJob* job = static_cast<UpgradeJob*>(param);
    WPARAM result = 0;
    try {
        result = job->Run() ? 1 : 0;
    } catch (...) {
        result = 0;  // nothing may unwind out of a thread
    }
    job->m_succeeded = result != 0;
    job->m_reported = true;
    // Posted, never sent: the UI thread may be waiting for this thread.
    PostMessageW(job->m_notify, WM_SV_UPGRADE_DONE, result, 0);
    return 0;
}

bool UpgradeJob::Run() {
    // Every download path is built from the temporary folder.
    std::vector<std::wstring> paths;
    if (m_entries.empty()) return false;
    if (m_tempDir.empty() || !PlanTempFiles(&paths)) {
        LogEvent(L"Upgrade failed: no usable temporary folder (\"%ls\"), nothing downloaded", m_tempDir.c_str());
        return false;
    }
    OverallProgress total(static_cast<int>(m_entries.size()));

    // With a publisher's key the signed manifest comes first: nothing is
    // downloaded that it does not name, nor read further than the size it
    // gives, and each file is checked as soon as it is in.
    Manifest manifest;
    if (m_source.publicKey && !FetchSignedManifest(&manifest)) return false;

    // Let go of and removed on every way out of here.
    std::vector<std::unique_ptr<TempFile>> downloads;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const UpgradeEntry& entry = m_entries[i];
        if (!m_running.IsRunning()) return false;
        m_progress.ShowEntry(entry.path);
        downloads.push_back(std::make_unique<TempFile>(paths[i]));
        const ManifestFile* listed = m_source.publicKey ? FindInManifest(manifest, entry.nameAnsi) : nullptr;
        if (!Download(entry, listed, *downloads.back())) return false;
        m_progress.SetTotalProgress(static_cast<std::uint32_t>(total.OnDownloaded()));
    }

    wchar_t installDir[kInstallDirSize] = {};
    const DWORD length = GetCurrentDirectoryW(kInstallDirSize, installDir);
    if (length == 0 || length >= kInstallDirSize) {  // no installation folder is known
        LogEvent(L"Upgrade failed: the working folder, where upgrades install, cannot be told (error %lu)",
                 length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
        return false;
    }

    // Files are replaced only once Marlowcast has exited by itself.
    LogEvent(L"Downloads complete; waiting for Marlowcast to exit");
    const ULONGLONG waitStarted = GetTickCount64();
    while (IsMarlowcastRunning() && m_running.IsRunning()) Sleep(kExitPollMs);

    if (!m_running.IsRunning()) {
        LogEvent(L"Upgrade ended while waiting for Marlowcast to exit: Quillstone is shutting down");
        return false;
    }
    LogEvent(L"Marlowcast has exited (waited %.1f s): installing into %ls", (GetTickCount64() - waitStarted) / 1000.0,
             installDir);
    std::vector<InstallItem> items;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        InstallItem item{paths[i], m_entries[i].target, m_entries[i].package};
        std::wstring target;  // only to know that the full path fits
        if (!JoinPath(&target, installDir, m_entries[i].target)) {
            LogEvent(L"Upgrade failed: %ls\\%ls is too long a path", installDir, m_entries[i].target.c_str());
            return false;
        }
        items.push_back(std::move(item));
    }
    // The release is recorded before anything is put in place. Recorded
    // after, a crash in the finishing (which the next start completes) would
    // leave the old number, and the older release would be accepted again.
    // The same release is accepted again, so an installation that fails and
    // is undone does not block a retry.
    if (m_source.publicKey && !RecordInstalledRelease(m_source.releaseKey, manifest.release)) {
        const DWORD error = GetLastError();
        LogEvent(
            L"Upgrade failed, nothing installed: release %llu could not be recorded under HKEY_CURRENT_USER\\%ls, "
            L"error %lu (%ls)",
            manifest.release, m_source.releaseKey.c_str(), error, ErrorText(error).c_str());
        return false;
    }
    Installation installation(installDir);
    const Installation::Result installed = installation.Install(
        items, m_running, [&] { m_progress.SetTotalProgress(static_cast<std::uint32_t>(total.OnInstalled())); });
    const unsigned long count = static_cast<unsigned long>(items.size());
    switch (installed) {
        case Installation::Result::kInstalled:
            LogEvent(L"Upgrade installed: %lu file%ls", count, count == 1 ? L"" : L"s");
            break;
        case Installation::Result::kFailed: LogEvent(L"Upgrade not installed: the installation failed"); break;
        case Installation::Result::kInterrupted:
            LogEvent(L"Upgrade installation interrupted: the next start finishes or undoes it");
            break;
    }
    if (installed != Installation::Result::kInstalled) return false;
    m_progress.SetTotalProgress(OverallProgress::Done());
    return true;
}

std::wstring UpgradeJob::TempPath(const std::wstring& name) const {
    std::wstring file;
    JoinPath(&file, m_tempDir, name, L".tmp");
    return file;
}

// Each entry's download is "<name part>.tmp" in the temporary folder, or,
// when an earlier entry has that name already (one name part listed in two
// folders, or names that differ in letter case only), "<name part>.<n>.tmp":
// a held file cannot be written again, and one entry's file must not become
// another's.
bool UpgradeJob::PlanTempFiles(std::vector<std::wstring>* paths) const {
    for (const UpgradeEntry& entry : m_entries) {
        for (std::size_t n = 1;; ++n) {
            const std::wstring suffix = n == 1 ? L".tmp" : L"." + std::to_wstring(n) + L".tmp";
            std::wstring path;
            if (!JoinPath(&path, m_tempDir, entry.namePart, suffix.c_str())) return false;
            if (std::none_of(paths->begin(), paths->end(), [&](const std::wstring& p) { return SameName(p, path); })) {
                paths->push_back(path);
                break;
            }
        }
    }
    return true;
}

bool UpgradeJob::FetchSignedManifest(Manifest* manifest) {
    const std::wstring base = m_source.serverUrl + L"/upgrade/";
    TempFile manifestFile(TempPath(L"Quillstone.manifest")), signatureFile(TempPath(L"Quillstone.manifest.sig"));
    const auto ignore = [](std::uint32_t) {};
    std::string text, signature;
    // Both within one time limit: each also keeps the downloads' pace, but a
    // manifest of 64 KiB at that pace would still take minutes.
    const std::uint64_t deadline = m_clock() + kManifestTimeMs;
    if (!DownloadFile(base + L"Quillstone.manifest", manifestFile.Path(), m_running, ignore,
                      DownloadBounds{kManifestLimit, m_freeSpace, deadline, m_clock})) {
        LogEvent(L"Upgrade refused: no signed manifest could be downloaded");
        return false;
    }
    if (!DownloadFile(base + L"Quillstone.manifest.sig", signatureFile.Path(), m_running, ignore,
                      DownloadBounds{kSignatureSize, m_freeSpace, deadline, m_clock})) {
        LogEvent(L"Upgrade refused: no signature of the manifest could be downloaded");
        return false;
    }
    if (!manifestFile.Hold() || !ReadWhole(manifestFile.Held(), kManifestLimit, &text) || !signatureFile.Hold() ||
        !ReadWhole(signatureFile.Held(), kSignatureSize, &signature)) {
        LogEvent(L"Upgrade refused: the manifest or its signature could not be read back from %ls", m_tempDir.c_str());
        return false;
    }
    const std::uint64_t installed = InstalledRelease(m_source.releaseKey);
    const ReleaseVerdict verdict = CheckManifest(text, signature, m_source.publicKey, installed, manifest);
    if (verdict != ReleaseVerdict::kAccepted) {
        LogRefusal(verdict, manifest->release, installed);
        return false;
    }
    // An entry the publisher did not sign for fails the upgrade before any
    // download.
    for (const UpgradeEntry& entry : m_entries) {
        if (!FindInManifest(*manifest, entry.nameAnsi)) {
            LogEvent(L"Upgrade refused: the list names %ls, which the signed manifest does not", entry.path.c_str());
            return false;
        }
    }
    LogEvent(L"Manifest accepted: release %llu (installed so far: %llu), signature good, every listed file signed for",
             manifest->release, installed);
    return true;
}

bool UpgradeJob::Download(const UpgradeEntry& entry, const ManifestFile* listed, TempFile& file) {
    if (entry.urlName.empty()) {
        LogEvent(L"Upgrade failed: %ls has no name in the ANSI code page to ask the server for", entry.path.c_str());
        return false;
    }
    const std::wstring url =
        m_source.serverUrl + L"/upgrade/" + std::wstring(entry.urlName.begin(), entry.urlName.end());
    if (url.size() >= kUrlSize) {
        LogEvent(L"Upgrade failed: the address of %ls is longer than %lu characters", entry.path.c_str(),
                 static_cast<unsigned long>(kUrlSize - 1));
        return false;
    }
    DownloadBounds bounds{UINT64_MAX, m_freeSpace, 0, m_clock};
    if (listed) bounds.size = listed->size;
    if (!DownloadFile(
            url, file.Path(), m_running, [this](std::uint32_t position) { m_progress.SetFileProgress(position); },
            bounds)) {
        return false;
    }
    // Held from here until the installation has read it, and checked
    // through the hold: before the wait for Marlowcast, and on the bytes
    // that will be installed. A package is checked as downloaded.
    if (!file.Hold()) {
        const DWORD error = GetLastError();
        LogEvent(L"Upgrade failed: the download %ls could not be held for its check, error %lu (%ls)",
                 file.Path().c_str(), error, ErrorText(error).c_str());
        return false;
    }
    return !listed || MatchesManifest(file.Held(), *listed);
}
