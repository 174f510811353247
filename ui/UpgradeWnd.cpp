#include "ui/UpgradeWnd.h"

#include "ui/Dpi.h"

#include "upgrade/TempDir.h"

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

}  // namespace

BEGIN_MESSAGE_MAP(CUpgradeWnd, CDialog)
    ON_MESSAGE(WM_APP_UPGRADE_FILE, OnFileLabel)
END_MESSAGE_MAP()

CUpgradeWnd::CUpgradeWnd(CWnd* pParent) : CDialog(IDD_UPGRADE, pParent), m_szTempDir{} {}

CUpgradeWnd::~CUpgradeWnd() {
    // Normally the owner has destroyed the window already; if not, do it while
    // this object is still whole.
    if (m_hWnd && IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

BOOL CUpgradeWnd::Create(CWnd* pParentWnd) { return CDialog::Create(IDD_UPGRADE, pParentWnd); }

BOOL CUpgradeWnd::OnInitDialog() {
    CDialog::OnInitDialog();

    // Without a folder the window still exists (FALSE here only tells the
    // dialog manager that no focus was set) and has no bars; the upgrade,
    // given no folder, fails before it downloads anything.
    const DWORD length = GetTempPathW(kTempDirSize, m_szTempDir);
    if (TrimTempDir(m_szTempDir, length, kTempDirSize) == 0) return FALSE;

    const struct {
        CMyProgress* bar;
        RECT rect;
    } bars[] = {{&m_fileProgress, kFileBarRect}, {&m_totalProgress, kTotalBarRect}};
    for (const auto& b : bars) {
        // Not tested: a bar without a window still takes SetRange and SetPos.
        b.bar->Create(L"", kBarStyle, ScaledForWindow(m_hWnd, b.rect), this, kBarId);
        b.bar->SetRange(kBarRange);
        b.bar->SetPos(0);
        b.bar->ShowWindow(SW_SHOW);
    }

    ::MoveWindow(GetDlgItem(IDC_UPGRADE_FILE), ScaledForWindow(m_hWnd, kLabelLeft), ScaledForWindow(m_hWnd, kLabelTop),
                 ScaledForWindow(m_hWnd, kLabelWidth), ScaledForWindow(m_hWnd, kLabelHeight), TRUE);
    return TRUE;
}

void CUpgradeWnd::ShowEntry(const std::wstring& entry) { m_label.Post(m_hWnd, PostedText{IDC_UPGRADE_FILE, entry}); }

LRESULT CUpgradeWnd::OnFileLabel(WPARAM, LPARAM) {
    for (const PostedText& posted : m_label.Take()) SetDlgItemText(posted.id, posted.text.c_str());
    return 0;
}
