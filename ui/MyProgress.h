#pragma once
// A self-painted percentage bar: slate background, green fill, the percentage
// as yellow text centred over the whole control, and a black one-pixel frame.

#include <atomic>
#include <cstdint>

#include "framework/Framework.h"

class CMyProgress : public CStatic {
public:
    CMyProgress() = default;
    ~CMyProgress() override = default;

    // Both may be called from any thread, and on a control without a window.
    // They only store the numbers and invalidate the control (when it has a
    // window), never anything that waits for the window's thread: the upgrade
    // thread moves the bars while the UI thread may be waiting for it.
    //
    // A new range does not change the percentage shown until the next SetPos;
    // a range of 0 shows neither fill nor text.
    void SetRange(std::uint32_t nRange);
    // Returns the percentage now shown, 0 to 100; 0 without changing anything
    // when no range is set. A position above the range counts as the range.
    std::uint8_t SetPos(std::uint32_t nPos);

    // Background 0x826E5A, fill 0x00FA00; made by OnCreate, deleted with the object.
    CBrush m_brBack;
    CBrush m_brBar;
    // Written by whichever thread moves the bar, read by painting. Each is a
    // single value and a stale one is put right by the next repaint, so
    // relaxed order is enough.
    std::atomic<std::uint32_t> m_nRange{0};
    std::atomic<std::uint32_t> m_nPos{0};  // limited to the range; painting does not read it
    std::atomic<std::uint8_t> m_nPercent{0};

protected:
    int OnCreate(LPCREATESTRUCTW lpCreateStruct);
    void OnPaint();

    DECLARE_MESSAGE_MAP()
};
