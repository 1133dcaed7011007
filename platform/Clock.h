#pragma once

#include <cstdint>

namespace platform {

// The system's millisecond clock: CLOCK_MONOTONIC in ms, truncated to 32 bits so that it
// wraps after 2^32 ms like the clock the tick arithmetic was designed for, plus the offset
// set by SetClockOffsetForTesting.
uint32_t timeGetTime();

// Adds offsetMs to every later timeGetTime() (atomic; any thread). Lets tests put the clock
// just before the 2^32 wrap.
void SetClockOffsetForTesting(uint32_t offsetMs);

}  // namespace platform
