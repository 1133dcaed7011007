#include "app/qt/MainLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdint>

#include "platform/MessageQueue.h"

namespace appqt {

TQueueDrain::TQueueDrain() {
  fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
  const int fd = fd_;
  // Called on the queuing thread: a write to the eventfd is all it does, so no Qt object is
  // touched off the GUI thread.
  platform::SetWakeHook([fd] {
    const uint64_t one = 1;
    ssize_t n;
    do {
      n = write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
  });
  // Items queued before the hook existed.
  Drain();
}

TQueueDrain::~TQueueDrain() {
  platform::SetWakeHook(nullptr);
  notifier_.reset();
  close(fd_);
}

void TQueueDrain::Drain() {
  // Reset the signal first: an item queued from now on signals again.
  uint64_t count = 0;
  while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  while (true) {
    const platform::TPumpResult r = platform::PumpOneMessage();
    if (r == platform::TPumpResult::None) break;
    if (r == platform::TPumpResult::Quit) {
      QCoreApplication::quit();
      break;
    }
  }
}

}  // namespace appqt
