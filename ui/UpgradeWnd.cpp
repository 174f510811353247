#include "ui/UpgradeWnd.h"

#include <cstring>

#include "app/Messages.h"
#include "ui/PostedText.h"
#include "ui/TempDir.h"

namespace {

// Pixel places in the client area; the template's dialog-unit geometry is
// replaced once the owner has sized the window to 320 x 78.
constexpr RECT kFileBarRect = {12, 10, 308, 28};
constexpr RECT kTotalBarRect = {12, 48, 308, 64};
constexpr int kLabelLeft = 12, kLabelTop = 30, kLabelWidth = 296, kLabelHeight = 16;

constexpr DWORD kBarStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOTIFY;
static_assert(kBarStyle == 0x50020100, "bar style");
constexpr UINT kBarId = 0xFFFF;
constexpr std::uint32_t kBarRange = 100;

// Entries are converted into this many wide characters; the last two always
// stay zero, so the text is terminated whatever the conversion does.
constexpr int kEntrySize = 512;
constexpr int kEntryConvertMax = kEntrySize - 2;

}  // namespace

BEGIN_MESSAGE_MAP(CUpgradeWnd, CDialog)
    ON_MESSAGE(WM_APP_UPGRADE_FILE, OnFileLabel)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CUpgradeWnd::CUpgradeWnd(CWnd* pParent) : CDialog(IDD_UPGRADE, pParent), m_nFiles(0), m_szTempDir{} {}

CUpgradeWnd::~CUpgradeWnd() {
    // Normally the owner has destroyed the window already; if not, do it while
    // this object is still whole, so that the posted labels are freed.
    if (m_hWnd && IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

BOOL CUpgradeWnd::Create(CWnd* pParentWnd) { return CDialog::Create(IDD_UPGRADE, pParentWnd); }

BOOL CUpgradeWnd::OnInitDialog() {
    CDialog::OnInitDialog();

    // Without a folder the window still exists (FALSE here only tells the
    // dialog manager that no focus was set), has no bars, and HasTempDir()
    // lets the upgrade fail before it downloads anything.
    const DWORD length = GetTempPathW(kTempDirSize, m_szTempDir);
    if (TrimTempDir(m_szTempDir, length, kTempDirSize) == 0) return FALSE;

    const struct {
        CMyProgress* bar;
        RECT rect;
    } bars[] = {{&m_fileProgress, kFileBarRect}, {&m_totalProgress, kTotalBarRect}};
    for (const auto& b : bars) {
        // Not tested: a bar without a window still takes SetRange and SetPos.
        b.bar->Create(L"", kBarStyle, b.rect, this, kBarId);
        b.bar->SetRange(kBarRange);
        b.bar->SetPos(0);
        b.bar->ShowWindow(SW_SHOW);
    }

    ::MoveWindow(GetDlgItem(IDC_UPGRADE_FILE), kLabelLeft, kLabelTop, kLabelWidth, kLabelHeight, TRUE);
    return TRUE;
}

int CUpgradeWnd::AddFile(const char* lpszFile) {
    if (m_nFiles >= kMaxFiles) return 0;
    wchar_t buffer[kEntrySize] = {};
    // A name too long for the buffer is stored empty, not cut short: a cut
    // name could be another file that exists, and an empty one fails safely.
    if (!lpszFile || MultiByteToWideChar(CP_ACP, 0, lpszFile, -1, buffer, kEntryConvertMax) == 0) {
        std::memset(buffer, 0, sizeof(buffer));
    }
    m_arrFiles[m_nFiles] = buffer;
    ++m_nFiles;
    return 1;
}

BOOL CUpgradeWnd::PostFileLabel(const wchar_t* text) {
    return PostTextCopy(m_hWnd, WM_APP_UPGRADE_FILE, 0, text);
}

LRESULT CUpgradeWnd::OnFileLabel(WPARAM, LPARAM lParam) {
    PostedText text(lParam);
    SetDlgItemText(IDC_UPGRADE_FILE, text.Get());
    return 0;
}

void CUpgradeWnd::OnDestroy() {
    // Destroying the window drops its queued messages; free the texts that
    // were posted but not shown yet.
    DiscardPostedTexts(m_hWnd, WM_APP_UPGRADE_FILE);
    CDialog::OnDestroy();
}
