#pragma once

#include <cstdint>
#include <initializer_list>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// An auto- or manual-reset event kept in an eventfd, so that a thread can poll() it together
// with a device descriptor. The eventfd is readable exactly while the event is signalled.
class TEvent {
 public:
  explicit TEvent(bool manualReset, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  // True when signalled (an auto-reset event is consumed by the waiter that wins), false on
  // timeout. kInfinite waits for ever.
  bool Wait(uint32_t ms);
  // Readable while signalled; for poll() together with a device fd. Reading it is the
  // event's business: a poller that sees it readable calls Wait(0) to take the signal.
  int Fd() const;
  bool ManualReset() const;

 private:
  // Takes the signal of an auto-reset event (true when this caller won it); for a
  // manual-reset event only tells whether it is signalled.
  bool TryTake();

  int fd_ = -1;
  bool manualReset_;
};

// Index (kWaitObject0 + i) of a signalled event (auto-reset ones consumed), kWaitTimeout,
// or kWaitFailed.
uint32_t WaitForAny(std::initializer_list<TEvent*> events, uint32_t ms);

}  // namespace platform
