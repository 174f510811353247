#include <strsafe.h>

#include "app/Messages.h"
#include "channel/LocalChannel.h"
#include "supervise/Supervise.h"
#include "ui/QuillstoneDlg.h"

namespace {
// More failed checks in a row than this ask for a restart.
constexpr int kMaxFailures = 5;
}  // namespace

void CQuillstoneDlg::CheckHealth() {
    // Marlowcast exits on purpose during an upgrade; nothing is judged then.
    if (m_bUpgrading) return;

    if (m_pi.hProcess) {
        DWORD code = 0;
        if (GetExitCodeProcess(m_pi.hProcess, &code) && code != STILL_ACTIVE) {
            CountFailure();
            return;
        }
    }

    if (m_hUser32) {
        if (m_pfnIsHungAppWindow) {
            if (!m_hWatchedWnd) {
                WindowSearch search = {m_pi.dwProcessId, nullptr};
                EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&search));
                m_hWatchedWnd = search.hWnd;
                // Window handles have 32 significant bits.
                wchar_t text[32];
                StringCchPrintfW(text, 32, L"%ld",
                                 static_cast<long>(static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_hWatchedWnd))));
                SetItemTextFromAnyThread(IDC_WINDOW_ID, text);
            }
            if (m_hWatchedWnd && m_pfnIsHungAppWindow(m_hWatchedWnd)) {
                CountFailure();
                return;
            }
        } else if (m_pfnIsHungThread && m_pi.dwThreadId && m_pfnIsHungThread(m_pi.dwThreadId)) {
            CountFailure();
            return;
        }
    }

    if (ProbeStatus()) {
        if (m_pi.hProcess) {
            m_nFailCount = 0;
            return;
        }
        // It answers, but it is not the process we started.
        m_nFailCount = 1;
    } else if (++m_nFailCount > kMaxFailures) {
        PostThreadMessageW(m_dwWatchThreadId, WM_SV_RESTART, 0, 0);
        return;
    }
    // Plainly gone: the next failed check restarts it.
    if (!IsMarlowcastRunning()) m_nFailCount = kMaxFailures;
}

void CQuillstoneDlg::CountFailure() {
    if (++m_nFailCount > kMaxFailures) {
        // The counter keeps its value until the restart resets it, so a lost
        // post is made good by the next failed check.
        PostThreadMessageW(m_dwWatchThreadId, WM_SV_RESTART, 0, 0);
        return;
    }
    if (!IsMarlowcastRunning()) m_nFailCount = kMaxFailures;
}
