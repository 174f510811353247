// The supervisor window's side of an upgrade: fetching the list from
// Marlowcast, starting the upgrade job, and reporting its result.
#include <string>
#include <vector>

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
        if (!IsSafeEntry(entry)) return {};
    }
    for (const std::string& entry : listed) entries.push_back(MakeUpgradeEntry(entry));
    return entries;
}

}  // namespace

LRESULT CQuillstoneDlg::FetchUpgradeList(WPARAM, LPARAM) {
    if (!m_running.IsRunning()) return 0;  // see OnUpgradeDone
    // One upgrade at a time. A request during one (even while its result box
    // is open) would otherwise clear the flag, or touch the window and job,
    // of the upgrade that runs.
    if (m_supervisor.IsUpgrading()) {
        AfxMessageBox(kStartFailedText, MB_OK, 0);
        return 0;
    }

    UpgradeListFetch fetch(m_running);
    if (!fetch.HasSocket()) return 0;
    m_supervisor.SetUpgrading(true);
    const bool usable = fetch.Run();  // blocks this thread for the whole exchange

    if (!m_running.IsRunning()) return 0;
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
        ::MoveWindow(hUpgrade, 0, 0, kUpgradeWndWidth, kUpgradeWndHeight, TRUE);
        ::ShowWindow(hUpgrade, SW_SHOW);
        CenterOnWorkArea(hUpgrade);
    }

    std::vector<UpgradeEntry> entries = SafeEntriesOf(list);
    if (!entries.empty() && !m_upgrade) {
        auto job =
            std::make_unique<UpgradeJob>(std::move(entries), m_pUpgradeWnd->TempDir(), *m_pUpgradeWnd, m_running);
        if (job->Start(m_hWnd)) {
            m_upgrade = std::move(job);
            return TRUE;
        }
    }
    DestroyUpgradeWindow();
    AfxMessageBox(kStartFailedText, MB_OK, 0);
    return FALSE;
}

LRESULT CQuillstoneDlg::OnUpgradeDone(WPARAM wParam, LPARAM) {
    // The shutdown joins the job, whose end is posted on its way out; a box of
    // ours open at that moment runs a modal loop that still dispatches it.
    // Once the shutdown has begun, no box may appear: nobody may be there to
    // press OK, and the process could not end.
    if (!m_running.IsRunning()) return 0;
    m_upgrade.reset();  // the thread has posted this and is ending: a short wait
    DestroyUpgradeWindow();
    AfxMessageBox(wParam ? L"Upgrade OK!" : L"Upgrade Failed!", MB_OK, 0);
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
