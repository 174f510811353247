#include <strsafe.h>

#include "app/Globals.h"
#include "app/Messages.h"
#include "supervise/Supervise.h"
#include "ui/QuillstoneDlg.h"

namespace {

constexpr int kTerminateAttempts = 20;
constexpr DWORD kTerminatePauseMs = 1000;

void FormatId(wchar_t (&text)[32], DWORD id) { StringCchPrintfW(text, 32, L"%ld", static_cast<long>(id)); }

}  // namespace

BOOL MarlowcastPath(wchar_t* path, DWORD cch) {
    wchar_t module[MAX_PATH] = {};
    DWORD len = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) return FALSE;
    wchar_t* slash = wcsrchr(module, L'\\');
    if (slash) *slash = 0;
    return SUCCEEDED(StringCchPrintfW(path, cch, L"%s\\%s", module, kMarlowcastExeName));
}

// The launch step shared by the first launch and every restart.
static BOOL LaunchStep(CQuillstoneDlg* dlg) {
    wchar_t path[MAX_PATH] = {};
    MarlowcastPath(path, MAX_PATH);

    dlg->m_si = {};
    dlg->m_si.cb = sizeof(dlg->m_si);

    // The timer runs whether or not the start succeeds: a failed start is
    // retried by the restart that the following failed checks ask for.
    dlg->SetCheckTimerFromAnyThread(true);

    PROCESS_INFORMATION pi = {};
    BOOL created = CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                  nullptr, &dlg->m_si, &pi);

    // The handles of the process being replaced are not used again.
    if (dlg->m_pi.hProcess) CloseHandle(dlg->m_pi.hProcess);
    if (dlg->m_pi.hThread) CloseHandle(dlg->m_pi.hThread);
    dlg->m_pi.hProcess = nullptr;
    dlg->m_pi.hThread = nullptr;

    if (!created) {
        dlg->SetItemTextFromAnyThread(IDC_START_STATUS, L"Start Marlowcast Failed!");
        return FALSE;
    }

    dlg->m_pi = pi;
    // A new process has new windows: the next check searches again.
    dlg->m_hWatchedWnd = nullptr;
    wchar_t text[32];
    dlg->SetItemTextFromAnyThread(IDC_START_STATUS, L"Start Marlowcast OK!");
    FormatId(text, pi.dwProcessId);
    dlg->SetItemTextFromAnyThread(IDC_PROCESS_ID, text);
    FormatId(text, pi.dwThreadId);
    dlg->SetItemTextFromAnyThread(IDC_THREAD_ID, text);
    dlg->SetItemTextFromAnyThread(IDC_WINDOW_ID, L"0");
    return TRUE;
}

BOOL CQuillstoneDlg::LaunchMarlowcast() {
    if (m_bUpgrading) return TRUE;
    return LaunchStep(this);
}

void CQuillstoneDlg::RestartMarlowcast() {
    if (m_bUpgrading) return;

    SetCheckTimerFromAnyThread(false);

    if (m_pi.hProcess) {
        for (int attempt = 0; attempt < kTerminateAttempts; ++attempt) {
            DWORD code = 0;
            if (GetExitCodeProcess(m_pi.hProcess, &code)) {
                if (code != STILL_ACTIVE) break;
                if (TerminateProcess(m_pi.hProcess, 0)) {
                    Sleep(kTerminatePauseMs);
                    break;
                }
            }
            Sleep(kTerminatePauseMs);
        }
    }

    if (m_bUpgrading) {
        m_nFailCount = 0;
        // Supervision resumes once the upgrade is over, so the timer must run.
        SetCheckTimerFromAnyThread(true);
        return;
    }

    if (LaunchStep(this)) m_nFailCount = 0;
}
