#include "upgrade/ArrivalPace.h"

bool ArrivalPace::Keeps(std::uint64_t nowMs, std::uint64_t received) {
    if (m_lost) return false;
    if (received >= m_markBytes + kPaceBytes) {
        m_markBytes = received;
        m_markMs = nowMs;
    }
    // A clock that went back counts as no time passed.
    m_lost = nowMs > m_markMs && nowMs - m_markMs > kPaceWindowMs;
    return !m_lost;
}
