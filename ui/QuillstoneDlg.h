#pragma once
// The supervisor window: a hidden dialog, the application's main window. It
// owns the supervisor and, while an upgrade runs, the upgrade job and its
// window; it meets the user through the tray icon, and its OK handler is the
// one orderly shutdown of the whole program.

#include <winsock2.h>

#include <atomic>
#include <memory>

#include "base/StopFlag.h"
#include "framework/Framework.h"
#include "resource.h"
#include "supervise/Supervisor.h"
#include "ui/PostedText.h"
#include "ui/TrayIcon.h"
#include "ui/UpgradeWnd.h"
#include "ui/WindowMessages.h"
#include "upgrade/UpgradeJob.h"

class CQuillstoneDlg : public CDialog, private SupervisorReport {
public:
    explicit CQuillstoneDlg(CWnd* pParent = nullptr);
    ~CQuillstoneDlg() override;

    BOOL OnInitDialog() override;
    // The shutdown; safe to run more than once.
    void OnOK() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    // Escape and WM_CLOSE run the same shutdown as OK: ending the dialog
    // without it would leave the workers running past the window.
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnHideToTray(WPARAM wParam, LPARAM lParam);
    LRESULT OnFirstLaunch(WPARAM wParam, LPARAM lParam);
    LRESULT OnQuit(WPARAM wParam, LPARAM lParam);
    LRESULT FetchUpgradeList(WPARAM wParam, LPARAM lParam);
    LRESULT OnUpgradeDone(WPARAM wParam, LPARAM lParam);
    void OnControlAbout();
    void OnControlExit();
    void OnTimer(UINT_PTR nIDEvent);
    // Wake-ups: what they carry is ignored; the queues hold the work.
    LRESULT OnSetItemText(WPARAM wParam, LPARAM lParam);
    LRESULT OnCheckTimerRequest(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    // SupervisorReport: from the UI thread at once, from a worker by a posted
    // message, since the UI thread may be waiting for that worker.
    void ShowText(SupervisorLabel label, const wchar_t* text) override;
    void RunCheckTimer(bool run) override;
    bool IsUiThread() const;
    void StartCheckTimer();
    void StopCheckTimer();

    void ShowTrayMenu();
    void ShowAboutBox();
    // Reads the entries out of the list text, opens the upgrade window and
    // starts the upgrade job; FALSE, after the failure box, when none started.
    BOOL StartUpgrade(const char* list);
    // Closes and destroys the upgrade window, if there is one.
    void DestroyUpgradeWindow();

    HICON m_hIcon;                            // never destroyed
    std::atomic<DWORD> m_launchedProcess{0};  // as the supervisor last reported it
    CTrayIcon m_tray;
    UINT_PTR m_nCheckTimer = 0;
    bool m_firstLaunched = false;
    const wchar_t* m_shutdownCause = nullptr;  // for the log: who asked for the shutdown, when not OK itself
    StopFlag m_running;
    // Filled by the workers, emptied by this thread; declared before the
    // supervisor, whose watch thread fills them until it is joined.
    PostedTexts m_texts{WM_APP_SET_ITEM_TEXT};
    PostedQueue<bool> m_timerRequests{WM_APP_CHECK_TIMER};
    Supervisor m_supervisor;
    // The job reports to the window, so the window is made first and goes last.
    std::unique_ptr<CUpgradeWnd> m_pUpgradeWnd;
    std::unique_ptr<UpgradeJob> m_upgrade;
};

// The About box: no fields, no handlers.
class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};
