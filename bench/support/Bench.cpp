#include "bench/support/Bench.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace bench {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void SleepNs(int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Writes all bytes, waiting for room as needed; false when the far end is gone.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string PaddedToBlocks(const std::string& file, size_t block) {
  std::string s = file;
  s.resize((file.size() + block - 1) / block * block, '\x1A');
  return s;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) Fail("tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail("tcsetattr");
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

Pty::Pty() {
  int slave = -1;
  char name[256] = {};
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) Fail("openpty");
  slavePath_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  SetNonBlocking(master_);
  // Nobody holds the slave until the program under measurement opens it: the master then
  // stops reporting a hang-up, and the end of that program shows as a hang-up again.
  ::close(slave);
}

Pty::~Pty() {
  if (master_ >= 0) ::close(master_);
}

int Pty::OpenSlave() const {
  int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Fail("open " + slavePath_);
  return fd;
}

bool Pty::WaitRawUser(int ms) const {
  const int64_t deadline = NowNs() + int64_t{ms} * 1'000'000;
  while (NowNs() < deadline) {
    pollfd p{master_, 0, 0};
    ::poll(&p, 1, 0);
    termios tio{};
    // On a master, the terminal settings read are the slave's.
    if (!(p.revents & POLLHUP) && tcgetattr(master_, &tio) == 0 && !(tio.c_lflag & ECHO)) {
      return true;
    }
    SleepNs(2'000'000);
  }
  return false;
}

// ---- child processes ------------------------------------------------------------------------

Child::~Child() {
  if (pid_ > 0 && status_ < 0) {
    Kill();
  }
}

void Child::Start(const std::vector<std::string>& argv, const std::string& logPath, int stdioFd,
                  const std::string& cwd) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (stdioFd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, stdioFd, 0);
    posix_spawn_file_actions_adddup2(&fa, stdioFd, 1);
    posix_spawn_file_actions_addopen(&fa, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  }
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child gets its own process group, so that a kill reaches what it starts in turn.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  int rc = posix_spawnp(&pid_, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    pid_ = -1;
    Fail("cannot start " + argv[0]);
  }
  status_ = -1;
}

int Child::Wait(int ms) {
  if (pid_ <= 0) return status_;
  if (status_ >= 0) return status_;
  const int64_t deadline = NowNs() + int64_t{ms} * 1'000'000;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    const int64_t left = deadline - NowNs();
    if (left <= 0) break;
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left / 1'000'000 + 1, 1000)));
    } else {
      SleepNs(std::min<int64_t>(left, 5'000'000));
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  return status_;
}

bool Child::Running() { return pid_ > 0 && Wait(0) < 0; }

void Child::Kill() {
  if (pid_ <= 0 || status_ >= 0) return;
  ::kill(-pid_, SIGTERM);
  if (Wait(2000) < 0) {
    ::kill(-pid_, SIGKILL);
    Wait(5000);
  }
}

// ---- the scripted receiver ------------------------------------------------------------------

namespace {

class ByteReader {
 public:
  ByteReader(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  // 1: a byte (arrived: when the read that brought it returned); 0: nothing within ms;
  // -1: end of the line or stop.
  int Next(uint8_t& b, int ms, int64_t* arrived = nullptr) {
    if (pos_ < len_) {
      b = buf_[pos_++];
      if (arrived) *arrived = readAt_;
      return 1;
    }
    const int64_t deadline = NowNs() + int64_t{ms} * 1'000'000;
    for (;;) {
      if (stop_.load()) return -1;
      const int64_t left = deadline - NowNs();
      if (left <= 0) return 0;
      pollfd p{fd_, POLLIN, 0};
      int pr = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left / 1'000'000 + 1, 100)));
      if (pr < 0 && errno != EINTR) return -1;
      if (pr <= 0) continue;
      ssize_t n = ::read(fd_, buf_, sizeof buf_);
      if (n > 0) {
        readAt_ = NowNs();
        len_ = static_cast<size_t>(n);
        pos_ = 1;
        b = buf_[0];
        if (arrived) *arrived = readAt_;
        return 1;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return -1;
    }
  }
  bool Empty() const { return pos_ >= len_; }

 private:
  int fd_;
  const std::atomic<bool>& stop_;
  uint8_t buf_[4096];
  size_t len_ = 0;
  size_t pos_ = 0;
  int64_t readAt_ = 0;
};

uint16_t Crc16(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int k = 0; k < 8; ++k) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

}  // namespace

ReceiverResult ReceiveXmodem(int fd, int handshakeRetryMs, int idleMs,
                             const std::atomic<bool>& stop) {
  ReceiverResult r;
  ByteReader in(fd, stop);
  auto say = [&](uint8_t b) { return WriteAll(fd, &b, 1); };
  uint8_t expected = 1;
  bool started = false;
  int64_t lastAck = -1;
  bool ackClean = false;  // nothing was left unread when the last ACK went out
  int64_t waitedForStart = 0;

  say('C');
  ++r.Handshakes;
  uint8_t frame[2 + 1024 + 2];
  for (;;) {
    uint8_t b = 0;
    int64_t at = 0;
    int got = in.Next(b, started ? idleMs : handshakeRetryMs, &at);
    if (got < 0) {
      r.Error = stop.load() ? "stopped" : "the line closed";
      return r;
    }
    if (got == 0) {
      waitedForStart += handshakeRetryMs;
      if (!started && waitedForStart < idleMs) {
        say('C');
        ++r.Handshakes;
        continue;
      }
      r.Error = started ? "the sender went silent" : "no answer to the handshake";
      return r;
    }
    if (b == EOT) {
      if (ackClean && lastAck >= 0) r.LastAckToEot = at - lastAck;
      say(ACK);
      r.Ok = true;
      return r;
    }
    if (b == CAN) {
      r.Error = "cancelled by the sender";
      return r;
    }
    if (b != SOH && b != STX) {
      ++r.Garbage;
      continue;
    }
    started = true;
    const bool clean = ackClean && lastAck >= 0;
    const int64_t ackAt = lastAck;
    ackClean = false;
    const size_t length = b == STX ? 1024 : 128;
    const size_t total = 2 + length + 2;
    size_t have = 0;
    while (have < total) {
      int g = in.Next(frame[have], 1000);
      if (g <= 0) break;
      ++have;
    }
    if (have < total || frame[0] + frame[1] != 255 ||
        Crc16(frame + 2, length) != ((frame[2 + length] << 8) | frame[3 + length])) {
      if (stop.load()) {
        r.Error = "stopped";
        return r;
      }
      ++r.Naks;
      say(NAK);
      continue;
    }
    if (frame[0] == expected) {
      r.Data.append(reinterpret_cast<const char*>(frame + 2), length);
      ++r.Blocks;
      ++expected;
      if (clean) {
        r.AckWritten.push_back(ackAt);
        r.NextBlockArrived.push_back(at);
      }
    } else if (frame[0] == static_cast<uint8_t>(expected - 1)) {
      ++r.Duplicates;
    } else {
      r.Error = "block out of sequence";
      return r;
    }
    ackClean = in.Empty();
    lastAck = NowNs();
    say(ACK);
  }
}

// ---- the paced relay ------------------------------------------------------------------------

PacedRelay::PacedRelay(int a, int b, double byteNs, int64_t batchNs)
    : byteNs_(byteNs), batchNs_(batchNs) {
  forward_.In = a;
  forward_.Out = b;
  backward_.In = b;
  backward_.Out = a;
  // Recording must not reallocate in the middle of a transfer (a copy of many megabytes
  // would hold the line back): room for a few megabytes each way.
  forward_.Record.reserve(1u << 21);
  backward_.Record.reserve(1u << 16);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) Fail("eventfd");
}

PacedRelay::~PacedRelay() {
  Stop();
  ::close(stopFd_);
}

void PacedRelay::Start() {
  forwardThread_ = std::thread([this] { Run(forward_); });
  backwardThread_ = std::thread([this] { Run(backward_); });
}

void PacedRelay::Stop() {
  uint64_t one = 1;
  if (forwardThread_.joinable() || backwardThread_.joinable()) {
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
  }
  if (forwardThread_.joinable()) forwardThread_.join();
  if (backwardThread_.joinable()) backwardThread_.join();
}

// A timed wait here wakes some tens of microseconds late; the last stretch before a byte is
// due is spun instead, so that a reply is not held back by the harness.
constexpr int64_t kSpinNs = 60'000;

void PacedRelay::Run(Direction& d) {
  // The default timer slack (50 us) would make every hand-on late by about that much.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  std::vector<LineByte>& rec = d.Record;
  size_t next = 0;  // first byte not yet handed on
  double lineFree = 0;
  bool inOpen = true;
  uint8_t buf[4096];
  uint8_t out[4096];
  for (;;) {
    bool blocked = false;
    int64_t now = NowNs();
    size_t n = 0;
    while (next + n < rec.size() && rec[next + n].Due <= now && n < sizeof out) {
      out[n] = rec[next + n].Byte;
      ++n;
    }
    if (n > 0) {
      ssize_t w = ::write(d.Out, out, n);
      if (w > 0) {
        const int64_t t = NowNs();
        for (ssize_t i = 0; i < w; ++i) rec[next + static_cast<size_t>(i)].Delivered = t;
        next += static_cast<size_t>(w);
        continue;  // more may be due by now
      }
      if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        blocked = true;
      } else {
        d.Error = std::string("far end: ") + std::strerror(w < 0 ? errno : EIO);
        return;
      }
    }
    if (!inOpen && next == rec.size()) return;
    pollfd fds[3];
    nfds_t nf = 0;
    fds[nf++] = {stopFd_, POLLIN, 0};
    const nfds_t inIndex = nf;
    if (inOpen) fds[nf++] = {d.In, POLLIN, 0};
    if (blocked) fds[nf++] = {d.Out, POLLOUT, 0};
    timespec ts{};
    timespec* timeout = nullptr;
    if (!blocked && next < rec.size()) {
      const int64_t wake = std::min(rec.back().Due, rec[next].Due + batchNs_);
      int64_t left = wake - NowNs();
      if (left <= kSpinNs) {
        while (NowNs() < wake) {
        }
        continue;
      }
      left -= kSpinNs;
      ts = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
      timeout = &ts;
    }
    int pr = ::ppoll(fds, nf, timeout, nullptr);
    if (pr < 0 && errno != EINTR) {
      d.Error = std::string("poll: ") + std::strerror(errno);
      return;
    }
    if (pr <= 0) continue;
    if (fds[0].revents & POLLIN) return;
    if (inOpen && fds[inIndex].revents) {
      ssize_t r = ::read(d.In, buf, sizeof buf);
      const int64_t taken = NowNs();
      if (r > 0) {
        for (ssize_t i = 0; i < r; ++i) {
          const double start = std::max(static_cast<double>(taken), lineFree);
          lineFree = start + byteNs_;
          rec.push_back({buf[i], taken, static_cast<int64_t>(start),
                         static_cast<int64_t>(std::ceil(lineFree)), 0});
        }
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        inOpen = false;  // the source hung up (a pty master reads EIO then)
      }
    }
  }
}

// ---- statistics -----------------------------------------------------------------------------

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  if (rank < 1) rank = 1;
  if (rank > values.size()) rank = values.size();
  return values[rank - 1];
}

std::string FormatMs(int64_t ns) {
  char s[64];
  std::snprintf(s, sizeof s, "%.3f ms", static_cast<double>(ns) / 1e6);
  return s;
}

std::string FormatUs(int64_t ns) {
  char s[64];
  std::snprintf(s, sizeof s, "%.1f us", static_cast<double>(ns) / 1e3);
  return s;
}

}  // namespace bench
