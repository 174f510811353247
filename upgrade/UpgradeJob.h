#pragma once
// The upgrade job: on a thread of its own, download every entry from the
// upgrade server into a folder of its own under the temporary folder (with a
// publisher's root key: the keys document it signed and the manifest one of
// its release keys signed first, then each file within the size and hash it
// gives), wait until Marlowcast has exited, and install every entry under the
// installation folder (the current folder) from the handles the downloads
// were checked through. Whatever it wrote into the temporary folder is gone
// when it ends.
// It reports progress through UpgradeProgress and its end by posting
// WM_SV_UPGRADE_DONE; it knows no window class and waits for no window.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <memory>

#include "base/AwakeClock.h"
#include "base/Handles.h"
#include "install/Installation.h"
#include "base/StopFlag.h"
#include "upgrade/Download.h"
#include "trust/Manifest.h"
#include "upgrade/ProgressSteps.h"
#include "upgrade/ReleaseCheck.h"
#include "upgrade/UpgradeEntry.h"
#include "upgrade/UpgradeProgress.h"

// Where upgrades come from and who must have signed them.
struct UpgradeSource {
    // The server's base URL, without a port; files lie under "<URL>/upgrade/".
    std::wstring serverUrl;
    // The publisher's root key, ECDSA P-256 (X and Y, 32 bytes each), which
    // signs the keys document; or null: then nothing is checked and neither
    // the keys document nor a manifest is asked for.
    const unsigned char* rootKey = nullptr;
    // The user's registry key (under HKEY_CURRENT_USER) that keeps, per root
    // key, the highest keys version accepted and the releases installed and
    // rolled back under it, so that older ones are refused.
    std::wstring releaseKey;
};

// What this build was made for (upgrade/Publisher.cpp, compiled per build:
// every program that runs upgrades links the one it is made for).
UpgradeSource DefaultUpgradeSource();

class TempFile;

class UpgradeJob {
public:
    // `tempDir` is the temporary folder without a trailing backslash (empty
    // when unknown: the upgrade then fails before it downloads anything).
    UpgradeJob(std::vector<UpgradeEntry> entries, std::wstring tempDir, UpgradeProgress& progress,
               const StopFlag& running, UpgradeSource source = DefaultUpgradeSource());
    // Waits for the thread, if one runs.
    ~UpgradeJob();
    UpgradeJob(const UpgradeJob&) = delete;
    UpgradeJob& operator=(const UpgradeJob&) = delete;

    // Starts the upgrade thread, which posts WM_SV_UPGRADE_DONE to `notify`
    // when it has finished (wParam 1 on success, 0 on failure). False when
    // the thread cannot be created.
    bool Start(HWND notify);
    // Whether the thread has posted its end, and whether it has ended (its
    // handle is signalled), asked without waiting. Any program can post
    // WM_SV_UPGRADE_DONE: the message counts only once both hold, and the
    // result is Succeeded(), never the message's wParam.
    bool Reported() const { return m_reported.load(); }
    bool Ended() const;
    bool Succeeded() const { return m_succeeded.load(); }
    // Waits, without a time limit, for the thread to end. The thread ends
    // soon after the stop flag is cleared, and never waits for the UI thread.
    void Join();

    // The whole upgrade on the calling thread: true when every entry was
    // downloaded (and, with a publisher's key, found signed for) and
    // installed.
    bool Run();

    // For tests: how the free space of the temporary folder's volume is
    // measured (the platform's call unless replaced).
    void SetFreeSpaceQuery(FreeSpaceQuery query) { m_freeSpace = std::move(query); }
    // For tests: the clock that signed documents' expiry is judged by, in
    // seconds since 1970 (UTC; the system's clock unless replaced).
    void SetClock(std::function<std::int64_t()> clock) { m_clock = std::move(clock); }
    // For tests: the milliseconds the downloads' pace and the signed
    // documents' time limit are measured on (AwakeMilliseconds unless replaced).
    void SetTickClock(std::function<std::uint64_t()> clock) { m_tickClock = std::move(clock); }

private:
    // The downloaded files, in list order, and what the manifest signed for each.
    struct Downloads {
        std::vector<std::unique_ptr<TempFile>> files;
        std::vector<const ManifestFile*> signedFor;
        std::vector<bool> decoded;  // a package's decoded content, built from the installed file
    };
    static constexpr DWORD kInstallDirSize = 320;  // capacity the installation folder is read with

    static DWORD WINAPI ThreadProc(LPVOID param);
    bool InstallFolder(wchar_t (&installDir)[kInstallDirSize]) const;
    bool DownloadAll(const Manifest& manifest, const wchar_t* installDir, const std::vector<std::wstring>& paths,
                     OverallProgress& total, Downloads* downloads);
    bool TargetsFit(const wchar_t* installDir) const;
    bool RefuseRolledBack(const Downloads& downloads, std::string* release) const;
    bool WaitForMarlowcast(const wchar_t* installDir) const;
    std::vector<InstallItem> BuildItems(const Downloads& downloads) const;
    bool RecordRelease(const std::wstring& records, std::uint64_t keysVersion, std::uint64_t release) const;
    bool Install(const wchar_t* installDir, const std::string& release, const std::vector<InstallItem>& items,
                 OverallProgress& total);
    bool FetchSignedDocument(const wchar_t* name, std::size_t limit, const wchar_t* signatureName, std::string* text,
                             std::string* signature);
    bool FetchSignedManifest(const std::wstring& records, Manifest* manifest, std::uint64_t* keysVersion);
    bool HasUrl(const UpgradeEntry& entry) const;
    std::unique_ptr<TempFile> Download(const UpgradeEntry& entry, const std::wstring& path);
    bool PlanTempFiles(std::vector<std::wstring>* paths) const;
    std::wstring TempPath(const std::wstring& name) const;

    const std::vector<UpgradeEntry> m_entries;
    const std::wstring m_tempDir;
    std::wstring m_folder;  // the upgrade's own, under m_tempDir, while it runs
    const UpgradeSource m_source;
    UpgradeProgress& m_progress;
    const StopFlag& m_running;
    FreeSpaceQuery m_freeSpace = VolumeFreeSpace;
    std::function<std::int64_t()> m_clock = SystemUtcNow;
    std::function<std::uint64_t()> m_tickClock = AwakeMilliseconds;
    UniqueHandle m_thread;
    HWND m_notify = nullptr;
    std::atomic<bool> m_reported{false};
    std::atomic<bool> m_succeeded{false};
};
