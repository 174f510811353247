// The supervisor window's side of an upgrade: fetching the list from
// Marlowcast, starting the upgrade thread, and reporting the result.
#include <cstring>
#include <string>
#include <vector>

#include "app/Globals.h"
#include "app/Messages.h"
#include "channel/LocalChannel.h"
#include "channel/RequestText.h"
#include "ui/QuillstoneDlg.h"
#include "ui/UpgradeWnd.h"
#include "upgrade/EntryPath.h"
#include "upgrade/UpgradeList.h"

namespace {

constexpr int kUpgradeWndWidth = 320;
constexpr int kUpgradeWndHeight = 78;
constexpr wchar_t kStartFailedText[] = L"Upgrade Marlowcast Proc Failed!";

// Gathers the pieces of the answer into the list buffer, kept zero-terminated.
// An answer that does not fit is unusable: a cut list could name fewer files
// than Marlowcast meant, so nothing of it is used.
class ListGatherer : public IReplyConsumer {
public:
    ListGatherer(char* list, std::size_t size) : m_list(list), m_size(size) {}

    bool OnReplyChunk(const char* chunk, int length) override {
        if (m_used + static_cast<std::size_t>(length) > m_size - 1) {
            m_overflow = true;
            return true;  // no point reading further
        }
        std::memcpy(m_list + m_used, chunk, static_cast<std::size_t>(length));
        m_used += static_cast<std::size_t>(length);
        m_list[m_used] = 0;
        return false;  // the list ends when Marlowcast closes the connection
    }
    bool Overflowed() const { return m_overflow; }

private:
    char* m_list;
    std::size_t m_size;
    std::size_t m_used = 0;
    bool m_overflow = false;
};

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

}  // namespace

LRESULT CQuillstoneDlg::FetchUpgradeList(WPARAM, LPARAM) {
    // One upgrade at a time. A request during one (even while its result box
    // is open) would otherwise clear the flag, or touch the window and entry
    // list, of the upgrade that runs.
    if (m_bUpgrading) {
        AfxMessageBox(kStartFailedText, MB_OK, 0);
        return 0;
    }

    std::memset(g_szUpgradeList, 0, sizeof(g_szUpgradeList));
    bool fits = false;
    {
        CLocalSocket socket;
        if (!socket.IsValid()) return 0;
        m_bUpgrading = 1;
        if (OpenLocalConnection(socket.Get())) {
            char body[kRequestFieldSize] = {};
            FormatRequestTime(body);
            if (SendLocalRequest(socket.Get(), kUpgradeListRequestLine, kRequestHostLine, body) && g_bRunning) {
                ListGatherer gatherer(g_szUpgradeList, sizeof(g_szUpgradeList));
                std::vector<char> piece(kUpgradeListSize);
                ReceiveLocalReply(socket.Get(), piece.data(), static_cast<int>(piece.size()), gatherer);
                fits = !gatherer.Overflowed();
            }
        }
    }  // the connection is closed here, on every path

    if (!g_bRunning) return 0;
    // Without a usable answer nothing starts, and supervision must not stay
    // suspended: the flag goes back to 0.
    if (!fits || !IsUsableUpgradeAnswer(g_szUpgradeList, sizeof(g_szUpgradeList))) {
        m_bUpgrading = 0;
        return 0;
    }
    if (!StartUpgrade()) m_bUpgrading = 0;
    return 0;
}

BOOL CQuillstoneDlg::StartUpgrade() {
    if (!m_pUpgradeWnd) {
        m_pUpgradeWnd = new CUpgradeWnd();
        m_pUpgradeWnd->Create(this);
    }
    HWND hUpgrade = m_pUpgradeWnd->m_hWnd;
    if (hUpgrade) {
        MoveWindow(hUpgrade, 0, 0, kUpgradeWndWidth, kUpgradeWndHeight, TRUE);
        ::ShowWindow(hUpgrade, SW_SHOW);
        CenterOnWorkArea(hUpgrade);
    }

    // A list with one unsafe entry is refused whole: its files could land
    // outside the installation folder or on a device.
    std::vector<std::string> entries = ParseUpgradeList(g_szUpgradeList);
    int counted = 0;
    bool safe = true;
    for (const std::string& entry : entries) safe = safe && IsSafeEntry(entry);
    if (safe) {
        for (const std::string& entry : entries) {
            m_pUpgradeWnd->AddFile(entry.c_str());
            ++counted;
        }
    }

    if (counted > 0 && !m_hUpgradeThread) {
        m_hUpgradeThread = CreateThread(nullptr, 0, UpgradeThreadProc, this, 0, nullptr);
        if (m_hUpgradeThread) return TRUE;
    }
    DestroyUpgradeWindow();
    AfxMessageBox(kStartFailedText, MB_OK, 0);
    return FALSE;
}

DWORD WINAPI CQuillstoneDlg::UpgradeThreadProc(LPVOID pParam) {
    CQuillstoneDlg* pDlg = static_cast<CQuillstoneDlg*>(pParam);
    WPARAM result = 0;
    try {
        if (pDlg && pDlg->m_pUpgradeWnd) result = pDlg->m_pUpgradeWnd->RunUpgrade() ? 1 : 0;
    } catch (...) {
        result = 0;  // nothing may unwind out of a thread
    }
    // Posted, never sent: the UI thread may be waiting for this thread.
    if (pDlg) ::PostMessageW(pDlg->m_hWnd, WM_SV_UPGRADE_DONE, result, 0);
    return 0;
}

LRESULT CQuillstoneDlg::OnUpgradeDone(WPARAM wParam, LPARAM) {
    if (m_hUpgradeThread) {
        WaitForSingleObject(m_hUpgradeThread, INFINITE);
        CloseHandle(m_hUpgradeThread);
        m_hUpgradeThread = nullptr;
    }
    DestroyUpgradeWindow();
    AfxMessageBox(wParam ? L"Upgrade OK!" : L"Upgrade Failed!", MB_OK, 0);
    // Supervision resumes only now; the failed checks that find Marlowcast
    // gone then bring about its relaunch.
    m_bUpgrading = 0;
    return 0;
}

void CQuillstoneDlg::DestroyUpgradeWindow() {
    if (!m_pUpgradeWnd) return;
    if (m_pUpgradeWnd->m_hWnd) {
        m_pUpgradeWnd->SendMessage(WM_CLOSE);
        m_pUpgradeWnd->DestroyWindow();
    }
    delete m_pUpgradeWnd;
    m_pUpgradeWnd = nullptr;
}
