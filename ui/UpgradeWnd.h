#pragma once
// The small borderless window shown while an upgrade runs, and the holder of
// the upgrade's entries and temporary folder. The supervisor window creates
// it, fills it with AddFile, runs the upgrade on its own thread and then
// closes, destroys and deletes it.

#include <string>

#include "framework/Framework.h"
#include "resource.h"
#include "ui/MyProgress.h"

class CUpgradeWnd : public CDialog {
public:
    static constexpr int kMaxFiles = 99;
    static constexpr int kTempDirSize = 512;

    explicit CUpgradeWnd(CWnd* pParent = nullptr);
    ~CUpgradeWnd() override;

    BOOL OnInitDialog() override;
    // Creates the window, hidden, from IDD_UPGRADE; nonzero on success.
    using CDialog::Create;
    virtual BOOL Create(CWnd* pParentWnd);

    // Stores an ANSI (system code page) name as the next entry: 1, or 0 when
    // the list is full. UI thread, before the upgrade thread starts.
    int AddFile(const char* lpszFile);

    // False when the temporary folder could not be determined; the upgrade
    // must then fail before anything is downloaded, since every download path
    // is built from this folder.
    bool HasTempDir() const { return m_szTempDir[0] != L'\0'; }

    // Sets the file label from any thread without waiting for the UI thread:
    // a copy of the text is posted and the window's own thread shows it (or
    // frees it, if the window is destroyed first). FALSE when it could not be
    // posted (no window). The owner destroys the window only after the
    // upgrade thread has ended, so the window outlives every call.
    BOOL PostFileLabel(const wchar_t* text);

    // The upgrade itself, on the upgrade thread: download every entry, wait
    // for Marlowcast to exit, install every entry. 1 when all went well.
    BOOL RunUpgrade();
    // Fetches one file from the upgrade server into the temporary folder.
    BOOL DownloadFile(const std::wstring& namePart);
    // The part after the last backslash; the whole entry when it has none.
    static std::wstring GetFileNamePart(const std::wstring& entry);

    int m_nFiles;
    std::wstring m_arrFiles[kMaxFiles];
    wchar_t m_szTempDir[kTempDirSize];  // without a trailing backslash; empty when unknown
    CMyProgress m_fileProgress;         // upper bar: the file being downloaded
    CMyProgress m_totalProgress;        // lower bar: the whole upgrade

protected:
    // The window exists only while an upgrade runs, and the upgrade thread
    // uses this object until it ends: Enter, Escape and a close request must
    // neither end nor hide it. The owner tears it down with DestroyWindow.
    void OnOK() override {}
    void OnCancel() override {}

    LRESULT OnFileLabel(WPARAM wParam, LPARAM lParam);
    void OnDestroy();

    DECLARE_MESSAGE_MAP()
};
