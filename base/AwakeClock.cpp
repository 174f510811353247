#include "base/AwakeClock.h"

#include <windows.h>

std::uint64_t AwakeMilliseconds() {
    // In 100-ns units, without the time spent asleep. It cannot fail when
    // given a place to write.
    ULONGLONG unbiased = 0;
    QueryUnbiasedInterruptTime(&unbiased);
    return unbiased / 10000;
}
