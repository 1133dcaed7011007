#include "platform/Clock.h"

#include <time.h>

#include <atomic>

namespace platform {

namespace {
std::atomic<uint32_t> clockOffsetMs{0};
}

uint32_t timeGetTime() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  // Truncation to 32 bits is deliberate: the tick arithmetic expects the clock to wrap.
  return static_cast<uint32_t>(ms) + clockOffsetMs.load(std::memory_order_relaxed);
}

void SetClockOffsetForTesting(uint32_t offsetMs) {
  clockOffsetMs.store(offsetMs, std::memory_order_relaxed);
}

}  // namespace platform
