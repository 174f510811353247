#include "ui/ProgressMath.h"

std::uint8_t ProgressPercent(std::uint32_t pos, std::uint32_t range) {
    if (range == 0) return 0;
    if (pos > range) pos = range;
    // Single precision throughout: large ranges round differently in double,
    // and the bar must show the same numbers as it always did.
    const float scaled = static_cast<float>(pos) * 106.0f / static_cast<float>(range);
    const long rounded = static_cast<long>(static_cast<double>(scaled) + 0.5);
    std::uint8_t percent = static_cast<std::uint8_t>(static_cast<unsigned long>(rounded) & 0xFFu);
    if (percent > 100) percent = 100;
    return percent;
}
