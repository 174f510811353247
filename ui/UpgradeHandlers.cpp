// The supervisor window's side of an upgrade: fetching the list from
// Marlowcast, starting the upgrade job, and reporting its result.
#include <cstring>
#include <string>
#include <vector>

#include "base/AnsiText.h"
#include "base/EventLog.h"
#include "ui/Dpi.h"
#include "ui/QuillstoneDlg.h"
#include "install/EntryPath.h"
#include "upgrade/UpgradeFetch.h"
#include "upgrade/UpgradeList.h"

namespace {

constexpr int kUpgradeWndWidth = 320;
constexpr int kUpgradeWndHeight = 78;
constexpr wchar_t kStartFailedText[] = L"Upgrade Marlowcast Proc Failed!";

// The supervisor window is hidden, so the upgrade window is centred on the
// screen's work area rather than on its owner.
void CenterOnWorkArea(HWND hWnd) {
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    int x = work.left + ((work.right - work.left) - (rc.right - rc.left)) / 2;
    int y = work.top + ((work.bottom - work.top) - (rc.bottom - rc.top)) / 2;
    SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// The entries of the list, or none when one of them is unsafe: a list with
// one unsafe entry is refused whole, since its files could land outside the
// installation folder or on a device.
std::vector<UpgradeEntry> SafeEntriesOf(const char* list) {
    std::vector<std::string> listed = ParseUpgradeList(list);
    std::vector<UpgradeEntry> entries;
    for (const std::string& entry : listed) {
        if (!IsSafeEntry(entry)) {
            LogEvent(L"Upgrade list refused: the entry \"%ls\" is unsafe", FromAnsi(entry).c_str());
            return {};
        }
    }
    for (const std::string& entry : listed) entries.push_back(MakeUpgradeEntry(entry));
    if (entries.empty()) LogEvent(L"Upgrade list refused: it names no file");
    return entries;
}

}  // namespace

LRESULT CQuillstoneDlg::FetchUpgradeList(WPARAM, LPARAM) {
    if (!m_running.IsRunning()) return 0;  // see OnUpgradeDone
    // One upgrade at a time. A request during one (even while its result box
    // is open) would otherwise clear the flag, or touch the window and job,
    // of the upgrade that runs.
    if (m_supervisor.IsUpgrading()) {
        LogEvent(L"Upgrade request refused: an upgrade is already running");
        AfxMessageBox(kStartFailedText, MB_OK, 0);
        return 0;
    }

    UpgradeListFetch fetch(m_running, m_launchedProcess);
    if (!fetch.HasSocket()) {
        LogEvent(L"Upgrade request dropped: no socket for the list request (error %d)", WSAGetLastError());
        return 0;
    }
    LogEvent(L"Upgrade requested by Marlowcast: asking for the upgrade list");
    m_supervisor.SetUpgrading(true);
    const bool usable = fetch.Run();  // blocks this thread for the whole exchange

    if (!m_running.IsRunning()) return 0;
    if (!usable) {
        LogEvent(L"Upgrade list unusable: no complete answer from Marlowcast (%lu bytes of text gathered)",
                 static_cast<unsigned long>(std::strlen(fetch.Text())));
    }
    // Without a usable answer nothing starts, and supervision must not stay
    // suspended.
    if (!usable || !StartUpgrade(fetch.Text())) m_supervisor.SetUpgrading(false);
    return 0;
}

BOOL CQuillstoneDlg::StartUpgrade(const char* list) {
    if (!m_pUpgradeWnd) {
        m_pUpgradeWnd = std::make_unique<CUpgradeWnd>();
        m_pUpgradeWnd->Create(this);
    }
    if (HWND hUpgrade = m_pUpgradeWnd->m_hWnd) {
        ::MoveWindow(hUpgrade, 0, 0, ScaledForWindow(hUpgrade, kUpgradeWndWidth),
                     ScaledForWindow(hUpgrade, kUpgradeWndHeight), TRUE);
        ::ShowWindow(hUpgrade, SW_SHOW);
        CenterOnWorkArea(hUpgrade);
    }

    std::vector<UpgradeEntry> entries = SafeEntriesOf(list);
    if (!entries.empty() && !m_upgrade) {
        const unsigned long count = static_cast<unsigned long>(entries.size());
        auto job =
            std::make_unique<UpgradeJob>(std::move(entries), m_pUpgradeWnd->TempDir(), *m_pUpgradeWnd, m_running);
        if (job->Start(m_hWnd)) {
            LogEvent(L"Upgrade started: the list names %lu file%ls", count, count == 1 ? L"" : L"s");
            m_upgrade = std::move(job);
            return TRUE;
        }
        LogEvent(L"Upgrade not started: the upgrade thread could not be created (error %lu)", GetLastError());
    }
    DestroyUpgradeWindow();
    LogEvent(L"Shown: %ls", kStartFailedText);
    AfxMessageBox(kStartFailedText, MB_OK, 0);
    return FALSE;
}

LRESULT CQuillstoneDlg::OnUpgradeDone(WPARAM, LPARAM) {
    // Any program can post this message, with any wParam: it counts only when
    // our upgrade thread has posted its end and has ended, which is asked
    // without waiting (a wait here would hold the window for as long as the
    // upgrade runs), and the result is the job's. The thread posts on its way
    // out, so its handle may be signalled a moment after the message comes:
    // then a short timer looks again.
    if (!m_upgrade || !m_upgrade->Reported()) return 0;
    if (!m_upgrade->Ended()) {
        SetTimer(m_hWnd, ID_TIMER_UPGRADE_END, kUpgradeEndPollMs, nullptr);
        return 0;
    }
    KillTimer(m_hWnd, ID_TIMER_UPGRADE_END);
    const bool succeeded = m_upgrade->Succeeded();
    // The shutdown joins the job; a box of ours open at that moment runs a
    // modal loop that still dispatches this. Once the shutdown has begun, no
    // box may appear: nobody may be there to press OK, and the process could
    // not end.
    if (!m_running.IsRunning()) {
        LogEvent(L"Upgrade ended (%ls) during the shutdown: no result shown", succeeded ? L"OK" : L"failed");
        return 0;
    }
    m_upgrade.reset();  // the thread has ended: no wait
    DestroyUpgradeWindow();
    const wchar_t* result = succeeded ? L"Upgrade OK!" : L"Upgrade Failed!";
    LogEvent(L"Upgrade result shown: %ls", result);
    // The process runs in the background behind a hidden tool window: without
    // these the box may open behind other windows, unseen, while supervision
    // stays suspended until it is closed.
    AfxMessageBox(result, MB_OK | MB_SETFOREGROUND | MB_TOPMOST, 0);
    // Supervision resumes only now; the failed checks that find Marlowcast
    // gone then bring about its relaunch.
    m_supervisor.SetUpgrading(false);
    return 0;
}

void CQuillstoneDlg::DestroyUpgradeWindow() {
    if (!m_pUpgradeWnd) return;
    if (m_pUpgradeWnd->m_hWnd) {
        m_pUpgradeWnd->SendMessage(WM_CLOSE);
        m_pUpgradeWnd->DestroyWindow();
    }
    m_pUpgradeWnd.reset();
}
