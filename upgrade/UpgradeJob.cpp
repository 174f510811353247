#include "upgrade/UpgradeJob.h"

#include <strsafe.h>

#include <algorithm>
#include <memory>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"
#include "upgrade/ArrivalPace.h"
#include "upgrade/Download.h"
#include "upgrade/ProgressSteps.h"
#include "install/EntryPath.h"
#include "install/Installation.h"
#include "trust/Manifest.h"
#include "upgrade/ReleaseCheck.h"
#include "trust/SignedText.h"
#include "trust/TrustCheck.h"
#include "upgrade/DownloadStore.h"
#include "upgrade/SignedDownload.h"
#include "upgrade/UpgradeFiles.h"

namespace {

constexpr std::size_t kPathSize = 511;  // paths hold at most 510 characters
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

// The longest full path the installation may use. The manifest declares the
// program long-path aware, but Windows honours that only where the machine
// enables long paths; elsewhere a path ends at MAX_PATH. ntdll is in every
// process, so asking costs nothing.
std::size_t LongestPath() {
    using Query = BOOLEAN(NTAPI*)();
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlAreLongPathsEnabled")));
    return query && query() ? kPathSize - 1 : MAX_PATH - 1;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    // Windows file names ignore letter case.
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Why the keys document or the manifest was refused, in one line: the
// sentence `uibpack verify` gives for the same refusal.
void LogRefusal(ReleaseVerdict verdict, const KeysDocument& keys, std::uint64_t acceptedKeys, const Manifest& manifest,
                const ReleaseRecord& record) {
    LogEvent(L"Upgrade refused: %hs", RefusalSentence(verdict, keys, acceptedKeys, manifest, record).c_str());
}

// What the manifest's files give: the store keeps downloads of these only.
std::vector<std::string> SignedResults(const Manifest& manifest) {
    std::vector<std::string> results;
    for (const ManifestFile& file : manifest.files) {
        results.push_back(file.sha256);
        if (!file.decodedSha256.empty()) results.push_back(file.decodedSha256);
    }
    return results;
}

void LogRecordError(const wchar_t* what, const std::wstring& key) {
    LogLastError(L"Upgrade refused: %ls under HKEY_CURRENT_USER\\%ls", what, key.c_str());
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
    if (m_entries.empty()) return false;
    // Every download goes into a folder of this upgrade's own.
    PrivateFolder folder(m_tempDir);
    m_folder = folder.Path();
    std::vector<std::wstring> paths;
    if (m_folder.empty() || !PlanTempFiles(&paths)) {
        LogEvent(L"Upgrade failed: no usable temporary folder (\"%ls\"), nothing downloaded", m_tempDir.c_str());
        return false;
    }
    wchar_t installDir[kInstallDirSize] = {};
    if (!InstallFolder(installDir)) return false;
    OverallProgress total(static_cast<int>(m_entries.size()));

    // With a publisher's root key the signed documents come first: nothing
    // is downloaded that the manifest does not name, nor read further than
    // the size it gives, and each file is checked as soon as it is in.
    Manifest manifest;
    std::uint64_t keysVersion = 0;
    // Each root key has records of its own: a build with a new one starts over.
    const std::string root = m_source.rootKey ? RootFingerprint(m_source.rootKey) : "";
    const std::wstring records = RootRecordKey(m_source.releaseKey, root);
    if (m_source.rootKey && root.empty()) {
        LogEvent(L"Upgrade refused: Windows' cryptography cannot be had to check the release");
        return false;
    }
    if (m_source.rootKey && !FetchSignedManifest(records, &manifest, &keysVersion)) return false;

    // Let go of, and so removed, on every way out of here, before the folder.
    Downloads downloads;
    if (!DownloadAll(manifest, installDir, paths, total, &downloads)) return false;
    std::string release = SignedReleaseName(root, keysVersion, manifest.release);
    if (!m_source.rootKey && !RefuseRolledBack(downloads, &release)) return false;
    if (!TargetsFit(installDir) || !WaitForMarlowcast(installDir)) return false;
    const std::vector<InstallItem> items = BuildItems(downloads);
    if (m_source.rootKey && !RecordRelease(records, keysVersion, manifest.release)) return false;
    if (!Install(installDir, release, items, total)) return false;
    // Nothing of a release installed is kept for a later one.
    for (const auto& file : downloads.files) file->Discard();
    return true;
}

// The working folder, which upgrades install into: read once, before the
// downloads, which look there for what a signed release's files hold already.
bool UpgradeJob::InstallFolder(wchar_t (&installDir)[kInstallDirSize]) const {
    const DWORD length = GetCurrentDirectoryW(kInstallDirSize, installDir);
    if (length == 0 || length >= kInstallDirSize) {  // no installation folder is known
        LogEvent(L"Upgrade failed: the working folder, where upgrades install, cannot be told (error %lu)",
                 length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
        return false;
    }
    return true;
}

// Each entry into its own file, checked against the manifest as soon as it is in.
bool UpgradeJob::DownloadAll(const Manifest& manifest, const wchar_t* installDir,
                             const std::vector<std::wstring>& paths, OverallProgress& total, Downloads* downloads) {
    if (m_source.rootKey) download_store::Prune(SignedResults(manifest), m_freeSpace);
    const SignedDownloadContext context{
        m_source.serverUrl, installDir,
        &m_running,         [this](std::uint32_t position) { m_progress.SetFileProgress(position); },
        m_freeSpace,        m_tickClock};
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const UpgradeEntry& entry = m_entries[i];
        if (!m_running.IsRunning()) return false;
        m_progress.ShowEntry(entry.path);
        const ManifestFile* listed = m_source.rootKey ? FindInManifest(manifest, entry.listed) : nullptr;
        bool decoded = false;
        if (!HasUrl(entry)) return false;
        std::unique_ptr<TempFile> file =
            listed ? FetchSignedFile(entry, *listed, paths[i], context, &decoded) : Download(entry, paths[i]);
        if (!file) return false;
        downloads->files.push_back(std::move(file));
        downloads->signedFor.push_back(listed);
        downloads->decoded.push_back(decoded);
        m_progress.SetTotalProgress(static_cast<std::uint32_t>(total.OnDownloaded()));
    }
    return true;
}

// The release, as a rollback would refuse it. One without a publisher's
// signature is known by its files; one rolled back here is refused before
// Marlowcast is asked to wait for it, so Marlowcast keeps running.
bool UpgradeJob::RefuseRolledBack(const Downloads& downloads, std::string* release) const {
    std::vector<std::pair<std::string, HANDLE>> files;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        files.emplace_back(ToUtf8(m_entries[i].target), downloads.files[i]->Handle());
    }
    bool refused = false;
    if (!NameFilesRelease(std::move(files), release) || !ReadRefusedFiles(m_source.releaseKey, *release, &refused)) {
        LogRecordError(L"the downloads could not be checked against the releases rolled back", m_source.releaseKey);
        return false;
    }
    if (refused) {
        LogEvent(L"Upgrade refused: these files are %ls, which was rolled back here",
                 DescribeRelease(*release).c_str());
        return false;
    }
    return true;
}

// Every target must fit before Marlowcast is asked to wait for nothing.
bool UpgradeJob::TargetsFit(const wchar_t* installDir) const {
    const std::size_t longest = LongestPath();
    for (const UpgradeEntry& entry : m_entries) {
        std::wstring target;
        if (!JoinPath(&target, installDir, entry.target) || target.size() > longest) {
            LogEvent(L"Upgrade failed, nothing installed: %ls\\%ls is too long a path (at most %zu characters here)",
                     installDir, entry.target.c_str(), longest);
            return false;
        }
    }
    return true;
}

// Files are replaced only once Marlowcast has exited by itself.
bool UpgradeJob::WaitForMarlowcast(const wchar_t* installDir) const {
    LogEvent(L"Downloads complete; waiting for Marlowcast to exit");
    const ULONGLONG waitStarted = GetTickCount64();
    while (IsMarlowcastRunning() && m_running.IsRunning()) Sleep(kExitPollMs);
    if (!m_running.IsRunning()) {
        LogEvent(L"Upgrade ended while waiting for Marlowcast to exit: Quillstone is shutting down");
        return false;
    }
    LogEvent(L"Marlowcast has exited (waited %.1f s): installing into %ls", (GetTickCount64() - waitStarted) / 1000.0,
             installDir);
    return true;
}

std::vector<InstallItem> UpgradeJob::BuildItems(const Downloads& downloads) const {
    std::vector<InstallItem> items;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        // A package built from the installed file is what it decodes to already.
        InstallItem item(downloads.files[i]->Handle(), m_entries[i].target,
                         m_entries[i].package && !downloads.decoded[i]);
        if (const ManifestFile* listed = downloads.signedFor[i]; listed && item.package) {
            // Decoded no further than its publisher signed, and checked once staged.
            item.decodedLimit = listed->decodedSize;
            item.checkStaged = [listed](HANDLE staged) {
                return MatchesSigned(staged, listed->entry + " (decoded)", listed->decodedSize, listed->decodedSha256);
            };
        }
        items.push_back(std::move(item));
    }
    return items;
}

// The release is recorded, and flushed to disk, before anything is put in
// place. Recorded after, a crash in the finishing (which the next start
// completes) would leave the old number, and the older release would be
// accepted again. The same release is accepted again, so an installation
// that fails and is undone does not block a retry.
bool UpgradeJob::RecordRelease(const std::wstring& records, std::uint64_t keysVersion, std::uint64_t release) const {
    std::uint64_t recorded = 0;
    if (!RecordInstalledRelease(records, keysVersion, release, &recorded)) {
        LogLastError(
            L"Upgrade failed, nothing installed: release %llu could not be recorded under HKEY_CURRENT_USER\\%ls",
            release, records.c_str());
        return false;
    }
    if (recorded > release) {  // another Quillstone of this user was faster
        LogEvent(L"Upgrade refused: release %llu was installed here meanwhile, newer than %llu (keys version %llu)",
                 recorded, release, keysVersion);
        return false;
    }
    return true;
}

bool UpgradeJob::Install(const wchar_t* installDir, const std::string& release, const std::vector<InstallItem>& items,
                         OverallProgress& total) {
    Installation installation(installDir);
    installation.KeepForRollback(release);
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
    JoinPath(&file, m_folder, name, L".tmp");
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
            if (!JoinPath(&path, m_folder, entry.namePart, suffix.c_str())) return false;
            if (std::none_of(paths->begin(), paths->end(), [&](const std::wstring& p) { return SameName(p, path); })) {
                paths->push_back(path);
                break;
            }
        }
    }
    return true;
}

// One signed document and its signature, downloaded within their bounds
// and read back through holds; the temporary files go when it returns.
bool UpgradeJob::FetchSignedDocument(const wchar_t* name, std::size_t limit, const wchar_t* signatureName,
                                     std::string* text, std::string* signature) {
    const std::wstring base = m_source.serverUrl + L"/upgrade/";
    TempFile textFile(TempPath(name)), signatureFile(TempPath(signatureName));
    const auto ignore = [](std::uint32_t) {};
    if (!textFile || !signatureFile) return false;
    // Both within one time limit: each also keeps the downloads' pace, but a
    // document of 64 KiB at that pace would still take minutes.
    const std::uint64_t deadline = m_tickClock() + kManifestTimeMs;
    if (!DownloadFile(base + name, textFile.Path(), textFile.Handle(), m_running, ignore,
                      DownloadBounds{limit, m_freeSpace, deadline, m_tickClock})) {
        LogEvent(L"Upgrade refused: no signed %ls could be downloaded", name);
        return false;
    }
    if (!DownloadFile(base + signatureName, signatureFile.Path(), signatureFile.Handle(), m_running, ignore,
                      DownloadBounds{kSignaturesLimit, m_freeSpace, deadline, m_tickClock})) {
        LogEvent(L"Upgrade refused: no signature of %ls could be downloaded", name);
        return false;
    }
    if (!textFile.Rewound() || !ReadWhole(textFile.Handle(), limit, text) || !signatureFile.Rewound() ||
        !ReadWhole(signatureFile.Handle(), kSignaturesLimit, signature)) {
        LogEvent(L"Upgrade refused: %ls or its signature could not be read back from %ls", name, m_folder.c_str());
        return false;
    }
    return true;
}

// The checks before any listed file, in this order: the keys document
// against the root key, its version and expiry; the manifest against the
// keys document's release keys, its files, its expiry, its release against
// those installed and rolled back under that keys version (these two are
// trust/TrustCheck.h's, which uibpack verify makes too, but with this
// desktop's past); every entry of the list signed for, in the folder the
// list gives it.
bool UpgradeJob::FetchSignedManifest(const std::wstring& records, Manifest* manifest, std::uint64_t* keysVersion) {
    std::string text, signature;
    KeysDocument keys;
    std::uint64_t accepted = 0;
    std::int64_t latest = 0;
    ReleaseRecord record;
    if (!FetchSignedDocument(L"Quillstone.keys", kKeysLimit, L"Quillstone.keys.sig", &text, &signature)) return false;
    if (!ReadAcceptedKeysVersion(records, &accepted) || !ReadLatestSigningTime(records, &latest)) {
        LogRecordError(L"the keys version accepted so far cannot be read", records);
        return false;
    }
    // A clock set back brings no expired document back: expiry is judged by
    // the clock or by the latest signing time accepted here, whichever is
    // later (a clock that runs behind still upgrades).
    const std::int64_t now = std::max(m_clock(), latest);
    ReleaseVerdict verdict = CheckKeys(CngCrypto(), text, signature, m_source.rootKey, accepted, now, &keys);
    if (verdict != ReleaseVerdict::kAccepted) {
        LogRefusal(verdict, keys, accepted, *manifest, record);
        return false;
    }
    // Kept at once, whatever becomes of this upgrade: from now on the release
    // keys that this version no longer lists sign nothing here.
    if (keys.version > accepted) {
        std::uint64_t recorded = 0;
        if (!RecordAcceptedKeysVersion(records, keys.version, &recorded)) {
            LogRecordError(L"the keys version accepted cannot be recorded", records);
            return false;
        }
        if (recorded > keys.version) {  // a higher one accepted meanwhile
            LogRefusal(ReleaseVerdict::kOlderKeys, keys, recorded, *manifest, record);
            return false;
        }
        LogEvent(L"Keys document version %llu accepted (before: %llu): %lu release key%ls, expires %hs", keys.version,
                 accepted, static_cast<unsigned long>(keys.keys.size()), keys.keys.size() == 1 ? L"" : L"s",
                 FormatUtcTime(keys.expires).c_str());
    }

    if (!FetchSignedDocument(L"Quillstone.manifest", kManifestLimit, L"Quillstone.manifest.sig", &text, &signature)) {
        return false;
    }
    if (!ReadReleaseRecord(records, keys.version, &record)) {
        LogRecordError(L"the release record cannot be read", records);
        return false;
    }
    verdict = CheckManifest(CngCrypto(), text, signature, keys, record, now, manifest);
    if (verdict != ReleaseVerdict::kAccepted) {
        LogRefusal(verdict, keys, accepted, *manifest, record);
        return false;
    }
    // An entry the publisher did not sign for, or signed for another folder,
    // fails the upgrade before any download.
    for (const UpgradeEntry& entry : m_entries) {
        if (FindInManifest(*manifest, entry.listed)) continue;
        const auto elsewhere = std::find_if(manifest->files.begin(), manifest->files.end(),
                                            [&](const ManifestFile& f) { return NamePart(f.entry) == entry.nameAnsi; });
        if (elsewhere != manifest->files.end()) {
            LogEvent(L"Upgrade refused: the list puts %ls in another folder than the signed manifest, which gives %ls",
                     entry.path.c_str(), FromAnsi(elsewhere->entry).c_str());
        } else {
            LogEvent(L"Upgrade refused: the list names %ls, which the signed manifest does not", entry.path.c_str());
        }
        return false;
    }
    if (!RecordSigningTime(records, std::max(keys.signedAt, manifest->signedAt))) {
        LogRecordError(L"the latest signing time cannot be recorded", records);
        return false;
    }
    *keysVersion = keys.version;
    LogEvent(
        L"Manifest accepted: release %llu (installed so far: %llu), keys version %llu, signatures good, every listed "
        L"file signed for",
        manifest->release, record.installed, keys.version);
    return true;
}

bool UpgradeJob::HasUrl(const UpgradeEntry& entry) const {
    if (entry.urlName.empty()) {
        LogEvent(L"Upgrade failed: %ls has no name in the ANSI code page to ask the server for", entry.path.c_str());
        return false;
    }
    if (m_source.serverUrl.size() + 9 + entry.urlName.size() >= kUrlSize) {
        LogEvent(L"Upgrade failed: the address of %ls is longer than %lu characters", entry.path.c_str(),
                 static_cast<unsigned long>(kUrlSize - 1));
        return false;
    }
    return true;
}

// A file without a publisher's signature: whole, into the private folder.
std::unique_ptr<TempFile> UpgradeJob::Download(const UpgradeEntry& entry, const std::wstring& path) {
    const std::wstring url =
        m_source.serverUrl + L"/upgrade/" + std::wstring(entry.urlName.begin(), entry.urlName.end());
    auto file = std::make_unique<TempFile>(path);
    if (!*file || !DownloadFile(
                      url, file->Path(), file->Handle(), m_running,
                      [this](std::uint32_t position) { m_progress.SetFileProgress(position); },
                      DownloadBounds{UINT64_MAX, m_freeSpace, 0, m_tickClock})) {
        return nullptr;
    }
    return file;
}
