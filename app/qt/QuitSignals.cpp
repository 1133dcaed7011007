#include "app/qt/QuitSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace appqt {

namespace {

constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the installed object's pipe; read by the handler, which may run on any
// thread.
volatile sig_atomic_t gWriteFd = -1;

void OnSignal(int sig) {
  const int saved = errno;
  const int fd = gWriteFd;
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe already holds enough wake-ups.
    [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

TQuitSignals::TQuitSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  gWriteFd = pipe_[1];
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
  for (int i = 0; i < 3; ++i) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(kSignals[i], &action, &previous_[i]);
  }
  // Signals blocked by whoever started the program (a shell's background job, a service
  // manager) would never arrive.
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TQuitSignals::~TQuitSignals() {
  if (pipe_[0] < 0) return;
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  gWriteFd = -1;
  notifier_.reset();
  close(pipe_[0]);
  close(pipe_[1]);
}

void TQuitSignals::Drain() {
  unsigned char received[16];
  for (;;) {
    const ssize_t n = read(pipe_[0], received, sizeof received);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (onSignal_) onSignal_(received[i]);
    }
  }
}

}  // namespace appqt
