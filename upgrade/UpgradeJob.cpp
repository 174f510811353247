#include "upgrade/UpgradeJob.h"

#include <strsafe.h>

#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
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

// A file of at most `limit` bytes, read whole.
bool ReadSmallFile(const std::wstring& path, std::size_t limit, std::string* bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    bytes->assign(limit + 1, '\0');
    DWORD got = 0;
    if (!ReadFile(file.Get(), &(*bytes)[0], static_cast<DWORD>(limit + 1), &got, nullptr) || got > limit) return false;
    bytes->resize(got);
    return true;
}

}  // namespace

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
    // Posted, never sent: the UI thread may be waiting for this thread.
    PostMessageW(job->m_notify, WM_SV_UPGRADE_DONE, result, 0);
    return 0;
}

bool UpgradeJob::Run() {
    // Every download path is built from the temporary folder.
    if (m_entries.empty() || m_tempDir.empty()) return false;
    OverallProgress total(static_cast<int>(m_entries.size()));

    for (const UpgradeEntry& entry : m_entries) {
        if (!m_running.IsRunning()) return false;
        m_progress.ShowEntry(entry.path);
        if (!Download(entry)) return false;
        m_progress.SetTotalProgress(static_cast<std::uint32_t>(total.OnDownloaded()));
    }

    // With a publisher's key, nothing is installed that the publisher did not
    // sign for; the bars stay where the downloads left them meanwhile.
    std::uint64_t release = 0;
    if (m_source.publicKey && !SignedForByThePublisher(&release)) {
        for (const UpgradeEntry& entry : m_entries) DeleteFileW(TempFile(entry.namePart).c_str());
        return false;
    }

    wchar_t installDir[kInstallDirSize] = {};
    const DWORD length = GetCurrentDirectoryW(kInstallDirSize, installDir);
    if (length == 0 || length >= kInstallDirSize) return false;  // no installation folder is known

    // Files are replaced only once Marlowcast has exited by itself.
    while (IsMarlowcastRunning() && m_running.IsRunning()) Sleep(kExitPollMs);

    if (!m_running.IsRunning()) return false;
    std::vector<InstallItem> items;
    for (const UpgradeEntry& entry : m_entries) {
        InstallItem item{std::wstring(), entry.target, entry.package};
        std::wstring target;  // only to know that the full path fits
        if (!JoinPath(&item.source, m_tempDir, entry.namePart, L".tmp") ||
            !JoinPath(&target, installDir, entry.target)) {
            return false;
        }
        items.push_back(std::move(item));
    }
    Installation installation(installDir);
    const Installation::Result installed = installation.Install(
        items, m_running, [&] { m_progress.SetTotalProgress(static_cast<std::uint32_t>(total.OnInstalled())); });
    if (installed != Installation::Result::kInstalled) return false;
    if (m_source.publicKey) RecordInstalledRelease(m_source.releaseKey, release);
    m_progress.SetTotalProgress(OverallProgress::Done());
    return true;
}

std::wstring UpgradeJob::TempFile(const std::wstring& name) const {
    std::wstring file;
    JoinPath(&file, m_tempDir, name, L".tmp");
    return file;
}

bool UpgradeJob::SignedForByThePublisher(std::uint64_t* release) {
    const std::wstring base = m_source.serverUrl + L"/upgrade/";
    const std::wstring manifestFile = TempFile(L"Quillstone.manifest"),
                       signatureFile = TempFile(L"Quillstone.manifest.sig");
    const auto ignore = [](std::uint32_t) {};
    std::string manifest, signature;
    const bool fetched =
        DownloadFile(base + L"Quillstone.manifest", manifestFile, m_running, ignore, kManifestLimit) &&
        DownloadFile(base + L"Quillstone.manifest.sig", signatureFile, m_running, ignore, kSignatureSize) &&
        ReadSmallFile(manifestFile, kManifestLimit, &manifest) &&
        ReadSmallFile(signatureFile, kSignatureSize, &signature);
    DeleteFileW(manifestFile.c_str());
    DeleteFileW(signatureFile.c_str());
    if (!fetched) return false;

    std::vector<DownloadedFile> files;
    for (const UpgradeEntry& entry : m_entries) files.push_back({entry.nameAnsi, TempFile(entry.namePart)});
    return CheckRelease(manifest, signature, m_source.publicKey, files, InstalledRelease(m_source.releaseKey),
                        release) == ReleaseVerdict::kAccepted;
}

bool UpgradeJob::Download(const UpgradeEntry& entry) {
    if (entry.urlName.empty()) return false;
    const std::wstring url =
        m_source.serverUrl + L"/upgrade/" + std::wstring(entry.urlName.begin(), entry.urlName.end());
    if (url.size() >= kUrlSize) return false;
    std::wstring file;
    if (!JoinPath(&file, m_tempDir, entry.namePart, L".tmp")) return false;
    return DownloadFile(url, file, m_running, [this](std::uint32_t position) { m_progress.SetFileProgress(position); });
}
