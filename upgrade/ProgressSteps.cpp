#include "upgrade/ProgressSteps.h"

namespace {

constexpr double kHeld = 99.0;

int Truncated(double value) { return static_cast<int>(value); }

}  // namespace

FileProgress::FileProgress(std::uint32_t contentLength) : m_step(contentLength == 0 ? 1.0 : 102400.0 / contentLength) {}

int FileProgress::OnRead() {
    m_value += m_step;
    if (m_value >= 100.0) m_value = kHeld;
    return Truncated(m_value);
}

// An upgrade never runs without entries; the guard only keeps the division
// defined.
OverallProgress::OverallProgress(int entries) : m_step(entries > 0 ? 50.0 / entries : 0.0) {}

int OverallProgress::OnDownloaded() {
    m_value += m_step;
    return Truncated(m_value);
}

int OverallProgress::OnInstalled() {
    m_value += m_step;
    if (m_value >= 100.0) m_value = kHeld;
    return Truncated(m_value);
}
