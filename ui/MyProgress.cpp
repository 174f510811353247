#include "ui/MyProgress.h"

#include <strsafe.h>

#include "ui/ProgressMath.h"

namespace {
constexpr COLORREF kBackColour = 0x826E5A;  // slate: red 90, green 110, blue 130
constexpr COLORREF kBarColour = 0x00FA00;   // green 250
constexpr COLORREF kTextColour = 0x00FAFA;  // yellow: red 250, green 250
constexpr std::size_t kTextSize = 64;
}  // namespace

BEGIN_MESSAGE_MAP(CMyProgress, CStatic)
    ON_WM_CREATE()
    ON_WM_PAINT()
END_MESSAGE_MAP()

void CMyProgress::SetRange(std::uint32_t nRange) {
    m_nRange.store(nRange, std::memory_order_relaxed);
    // Invalidate() does nothing without a window; InvalidateRect(NULL) would
    // repaint every window on the desktop.
    Invalidate(TRUE);
}

std::uint8_t CMyProgress::SetPos(std::uint32_t nPos) {
    const std::uint32_t range = m_nRange.load(std::memory_order_relaxed);
    if (range == 0) return 0;
    if (nPos > range) nPos = range;
    m_nPos.store(nPos, std::memory_order_relaxed);
    const std::uint8_t percent = ProgressPercent(nPos, range);
    m_nPercent.store(percent, std::memory_order_relaxed);
    // Even when the percentage is unchanged: the platform merges the requests
    // into one repaint per paint cycle, so frequent calls stay cheap.
    Invalidate(TRUE);
    return percent;
}

int CMyProgress::OnCreate(LPCREATESTRUCTW lpCreateStruct) {
    if (CStatic::OnCreate(lpCreateStruct) == -1) return -1;
    m_brBack.CreateSolidBrush(kBackColour);
    m_brBar.CreateSolidBrush(kBarColour);
    return 0;
}

void CMyProgress::OnPaint() {
    PAINTSTRUCT ps;
    HDC hDC = BeginPaint(m_hWnd, &ps);
    if (!hDC) return;
    RECT rc;
    GetClientRect(&rc);

    // A brush that could not be made paints nothing rather than some
    // system colour that a null brush handle would stand for.
    if (m_brBack) FillRect(hDC, &rc, m_brBack);

    const std::uint32_t range = m_nRange.load(std::memory_order_relaxed);
    if (range != 0) {
        const std::uint8_t percent = m_nPercent.load(std::memory_order_relaxed);
        RECT bar = rc;
        bar.right = rc.left + ((rc.right - rc.left) * static_cast<LONG>(percent)) / 100;
        if (m_brBar && bar.right > bar.left) FillRect(hDC, &bar, m_brBar);

        SetBkMode(hDC, TRANSPARENT);
        SetTextColor(hDC, kTextColour);
        wchar_t text[kTextSize] = {};
        StringCchPrintfW(text, kTextSize, L"%ld %%", static_cast<long>(percent));
        // Over the whole control, not the fill, so the text stays put as the bar grows.
        DrawTextW(hDC, text, -1, &rc, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    }

    FrameRect(hDC, &rc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EndPaint(m_hWnd, &ps);
}
