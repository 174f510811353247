#pragma once
// The percentage a progress bar shows; no Win32, so it also builds natively.

#include <cstdint>

// The whole percentage, 0 to 100, that position pos shows out of range.
// A range of 0 means no range is set and gives 0; a position above the range
// counts as the range. The factor is 106, not 100, and the arithmetic is
// single precision on purpose: the bar reaches 100 once pos is at least
// 99.5/106 of the range, which is how the bar has always looked to users.
std::uint8_t ProgressPercent(std::uint32_t pos, std::uint32_t range);
