#pragma once
// The supervisor window: a hidden dialog that owns all supervision state.
// Its members are defined by subsystem: window handling and shutdown in ui/,
// the watch thread, health check and launcher in supervise/, the upgrade
// handlers in upgrade/.

#include <winsock2.h>
#include <shellapi.h>

#include <atomic>

#include "framework/Framework.h"
#include "resource.h"

class CUpgradeWnd;

class CQuillstoneDlg : public CDialog {
public:
    explicit CQuillstoneDlg(CWnd* pParent = nullptr);
    ~CQuillstoneDlg() override;

    // Fields, with the thread that writes them. There are no locks: each field
    // has one writer at a time; the flags read across threads are atomics.
    CUpgradeWnd* m_pUpgradeWnd;          // UI thread
    HICON m_hIcon;                       // constructor only; never destroyed
    NOTIFYICONDATAW m_nid;               // UI thread
    BOOL m_bTrayIcon;                    // UI thread
    UINT_PTR m_nCheckTimer;              // UI thread (workers ask for changes by message)
    std::atomic<int> m_nFailCount;       // watch thread after initialisation
    HANDLE m_hWatchThread;               // UI thread
    HANDLE m_hUpgradeThread;             // UI thread
    DWORD m_dwWatchThreadId;             // UI thread, before the first check
    std::atomic<int> m_bUpgrading;       // UI thread; read by the watch thread
    STARTUPINFOW m_si;                   // the launching thread
    PROCESS_INFORMATION m_pi;            // the launching thread; read by the watch thread
    HWND m_hWatchedWnd;                  // watch thread (and each successful launch)
    HMODULE m_hUser32;                   // UI thread, before the watch thread starts
    BOOL(WINAPI* m_pfnIsHungAppWindow)(HWND);
    BOOL(WINAPI* m_pfnIsHungThread)(DWORD);

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Supervision (supervise/).
    static DWORD WINAPI WatchThreadProc(LPVOID pParam);
    void CheckHealth();
    void CountFailure();
    BOOL LaunchMarlowcast();
    void RestartMarlowcast();

    // Upgrade (upgrade/).
    LRESULT FetchUpgradeList(WPARAM wParam, LPARAM lParam);
    BOOL StartUpgrade();
    static DWORD WINAPI UpgradeThreadProc(LPVOID pParam);
    LRESULT OnUpgradeDone(WPARAM wParam, LPARAM lParam);
    // Closes, destroys and deletes the upgrade window, if there is one.
    void DestroyUpgradeWindow();

    // Sets a control's text from any thread. On the UI thread it is set at
    // once; a worker posts a heap copy instead, because SetWindowText on a
    // window of another thread waits for that thread, and the shutdown waits
    // for the workers.
    void SetItemTextFromAnyThread(int nID, LPCWSTR text);
    // Starts or stops the check timer from any thread: Windows lets only the
    // window's own thread set or kill its timers.
    void SetCheckTimerFromAnyThread(bool bRun);
    bool IsUiThread() const;

protected:
    // Window handling (ui/).
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnHideToTray(WPARAM wParam, LPARAM lParam);
    LRESULT OnQuit(WPARAM wParam, LPARAM lParam);
    void OnControlAbout();
    void OnControlExit();
    void OnTimer(UINT_PTR nIDEvent);
    LRESULT OnSetItemText(WPARAM wParam, LPARAM lParam);
    LRESULT OnCheckTimerRequest(WPARAM wParam, LPARAM lParam);

    void StartCheckTimer();
    void StopCheckTimer();

    DECLARE_MESSAGE_MAP()
};

// The About box: no fields, no handlers.
class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};
