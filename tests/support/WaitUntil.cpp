#include "tests/support/WaitUntil.h"

#include <chrono>
#include <thread>

#include "platform/MessageQueue.h"

namespace testsupport {

bool WaitUntil(const std::function<bool()>& cond, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool onMain = platform::IsMainThread();
  for (;;) {
    if (cond()) return true;
    if (Clock::now() >= deadline) return cond();
    if (onMain) {
      // Drain what is queued, then sleep until something arrives or a short step passes:
      // the condition may change on another thread without queuing anything.
      while (platform::PumpOneMessage() == platform::TPumpResult::Dispatched) {
        if (cond()) return true;
      }
      platform::WaitForMessage(5);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

}  // namespace testsupport
