#pragma once
// The small borderless window shown while an upgrade runs: the entry being
// downloaded between two bars, the upper one for the download, the lower one
// for the whole upgrade. It holds the temporary folder the downloads go to.
// The supervisor window creates it, hands it to the upgrade job as the job's
// progress display, and destroys it once the job has ended.

#include <string>

#include "framework/Framework.h"
#include "resource.h"
#include "ui/MyProgress.h"
#include "ui/PostedText.h"
#include "ui/WindowMessages.h"
#include "upgrade/UpgradeProgress.h"

class CUpgradeWnd : public CDialog, public UpgradeProgress {
public:
    static constexpr int kTempDirSize = 512;

    explicit CUpgradeWnd(CWnd* pParent = nullptr);
    ~CUpgradeWnd() override;

    BOOL OnInitDialog() override;
    // Creates the window, hidden, from IDD_UPGRADE; nonzero on success.
    using CDialog::Create;
    virtual BOOL Create(CWnd* pParentWnd);

    // The temporary folder without a trailing backslash; empty when it could
    // not be determined, and the window then has no bars.
    std::wstring TempDir() const { return m_szTempDir; }

    // UpgradeProgress, from any thread and without waiting for the UI thread:
    // the label's text is queued and shown by the window's own thread (or
    // dropped, if the window goes first); the bars only store their
    // values and invalidate. The owner destroys the window only after the
    // upgrade thread has ended, so the window outlives every call.
    void ShowEntry(const std::wstring& entry) override;
    void SetFileProgress(std::uint32_t position) override { m_fileProgress.SetPos(position); }
    void SetTotalProgress(std::uint32_t position) override { m_totalProgress.SetPos(position); }

    const CMyProgress& FileBar() const { return m_fileProgress; }
    const CMyProgress& TotalBar() const { return m_totalProgress; }

protected:
    // The window exists only while an upgrade runs, and the upgrade thread
    // reports to it until it ends: Enter, Escape and a close request must
    // neither end nor hide it. The owner tears it down with DestroyWindow.
    void OnOK() override {}
    void OnCancel() override {}

    // A wake-up: what it carries is ignored; the queue holds the text.
    LRESULT OnFileLabel(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    wchar_t m_szTempDir[kTempDirSize];
    PostedTexts m_label{WM_APP_UPGRADE_FILE};
    CMyProgress m_fileProgress;   // upper bar: the file being downloaded
    CMyProgress m_totalProgress;  // lower bar: the whole upgrade
};
