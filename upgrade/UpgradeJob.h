#pragma once
// The upgrade job: on a thread of its own, download every entry from the
// upgrade server into the temporary folder, wait until Marlowcast has exited,
// and install every entry under the installation folder (the current folder).
// It reports progress through UpgradeProgress and its end by posting
// WM_SV_UPGRADE_DONE; it knows no window class and waits for no window.

#include <windows.h>

#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/StopFlag.h"
#include "upgrade/UpgradeEntry.h"
#include "upgrade/UpgradeProgress.h"

// The server's base URL, without a port; files lie under "<URL>/upgrade/".
// Compiled in (upgrade/ServerUrl.cpp): every program that runs upgrades links
// the one address it is built for.
const wchar_t* DefaultUpgradeServerUrl();

class UpgradeJob {
public:
    // `tempDir` is the temporary folder without a trailing backslash (empty
    // when unknown: the upgrade then fails before it downloads anything).
    UpgradeJob(std::vector<UpgradeEntry> entries, std::wstring tempDir, UpgradeProgress& progress,
               const StopFlag& running, std::wstring serverUrl = DefaultUpgradeServerUrl());
    // Waits for the thread, if one runs.
    ~UpgradeJob();
    UpgradeJob(const UpgradeJob&) = delete;
    UpgradeJob& operator=(const UpgradeJob&) = delete;

    // Starts the upgrade thread, which posts WM_SV_UPGRADE_DONE to `notify`
    // when it has finished (wParam 1 on success, 0 on failure). False when
    // the thread cannot be created.
    bool Start(HWND notify);
    // Waits, without a time limit, for the thread to end. The thread ends
    // soon after the stop flag is cleared, and never waits for the UI thread.
    void Join();

    // The whole upgrade on the calling thread: true when every entry was
    // downloaded and installed.
    bool Run();

private:
    static DWORD WINAPI ThreadProc(LPVOID param);
    bool Download(const UpgradeEntry& entry);

    const std::vector<UpgradeEntry> m_entries;
    const std::wstring m_tempDir;
    const std::wstring m_serverUrl;
    UpgradeProgress& m_progress;
    const StopFlag& m_running;
    UniqueHandle m_thread;
    HWND m_notify = nullptr;
};
