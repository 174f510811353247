#pragma once
// The clock for durations that must not grow while the machine sleeps: a
// release's healthy minutes, a download's pace and deadline. GetTickCount64
// runs on through sleep, so a lid closed for ten minutes would count as ten
// healthy minutes, and every download running at the wake would fail at once.

#include <cstdint>

// Milliseconds the machine has been awake (not asleep or hibernating) since
// it started.
std::uint64_t AwakeMilliseconds();
