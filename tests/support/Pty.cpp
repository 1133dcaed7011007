#include "tests/support/Pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <system_error>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0)
    throw std::system_error(errno, std::generic_category(), "tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    throw std::system_error(errno, std::generic_category(), "tcsetattr");
  }
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "openpty");
  }
  slavePath_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  MakeRaw(slave_);
  MakeRaw(master_);
}

PtyPair::~PtyPair() {
  CloseSlaveFd();
  CloseMaster();
}

void PtyPair::CloseSlaveFd() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Write(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "pty write");
    }
    if (Clock::now() >= deadline) throw std::runtime_error("pty write: nobody reads the slave");
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 100);
  }
}

std::string PtyPair::ReadFor(size_t count, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  char buffer[4096];
  while (got.size() < count) {
    const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;  // EIO: no slave open
    const int left = MsLeft(deadline);
    if (left == 0) break;
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, left);
  }
  return got;
}

std::string PtyPair::ReadUntilIdle(uint32_t idleMs) {
  std::string got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(idleMs)) <= 0) break;
    if (p.revents & (POLLHUP | POLLERR)) {
      if (!(p.revents & POLLIN)) break;
    }
  }
  return got;
}

}  // namespace testsupport
