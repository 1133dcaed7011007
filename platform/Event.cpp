#include "platform/Event.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <system_error>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left of a wait that started at start, in poll()'s terms (-1 = for ever).
int RemainingPollMs(uint32_t ms, Clock::time_point start) {
  if (ms == kInfinite) return -1;
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (spent >= static_cast<int64_t>(ms)) return 0;
  const int64_t left = static_cast<int64_t>(ms) - spent;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace

TEvent::TEvent(bool manualReset, bool initialState) : manualReset_(manualReset) {
  fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  if (initialState) Set();
}

TEvent::~TEvent() {
  if (fd_ >= 0) close(fd_);
}

void TEvent::Set() {
  const uint64_t one = 1;
  // The counter only says "signalled" when non-zero; a full counter (EAGAIN) is signalled too.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TEvent::Reset() {
  uint64_t value = 0;
  while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool TEvent::TryTake() {
  if (manualReset_) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
  }
  uint64_t value = 0;
  for (;;) {
    if (read(fd_, &value, sizeof value) == sizeof value) return true;
    if (errno != EINTR) return false;  // EAGAIN: another waiter won it
  }
}

bool TEvent::Wait(uint32_t ms) {
  const auto start = Clock::now();
  for (;;) {
    if (TryTake()) return true;
    const int left = RemainingPollMs(ms, start);
    if (left == 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int rc = poll(&p, 1, left);
    if (rc < 0 && errno != EINTR) return false;
  }
}

int TEvent::Fd() const { return fd_; }

bool TEvent::ManualReset() const { return manualReset_; }

uint32_t WaitForAny(std::initializer_list<TEvent*> events, uint32_t ms) {
  if (events.size() == 0) return kWaitFailed;
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (TEvent* e : events) {
    if (!e) return kWaitFailed;
    fds.push_back(pollfd{e->Fd(), POLLIN, 0});
  }
  const auto start = Clock::now();
  for (;;) {
    for (pollfd& p : fds) p.revents = 0;
    const int rc = poll(fds.data(), fds.size(), RemainingPollMs(ms, start));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    uint32_t index = 0;
    for (TEvent* e : events) {
      if ((fds[index].revents & POLLIN) && e->Wait(0)) return kWaitObject0 + index;
      if (fds[index].revents & (POLLERR | POLLNVAL)) return kWaitFailed;
      ++index;
    }
    // Nothing ready (timeout), or every ready auto-reset event was taken by another waiter.
    if (RemainingPollMs(ms, start) == 0) return kWaitTimeout;
  }
}

}  // namespace platform
