// line-chat-flood: what a device that floods the port costs line-chat: its peak resident
// memory while the flood lasts, and how soon it exits once the flood stops.
//
//   line-chat-flood --line-chat PATH [--seconds N] [--timeout MS]
//
// line-chat (its output to /dev/null, its trace and log in a temporary folder) opens a pty
// with --timeout MS; once its line has arrived, the harness writes to the pty's master as
// fast as the pty takes it for N seconds (default 30), sampling line-chat's VmHWM, then stops
// and times the program's exit. line-chat ends MS after the last byte it read, so the goal is
// an exit within a second of its timeout, with the peak under 40 MiB.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/Bench.h"

namespace {

using namespace bench;

constexpr double kPeakGoalMiB = 40;
constexpr double kExitGoalSeconds = 1;

// VmHWM (peak resident set) of a live process in KiB; -1 once it is gone.
long PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Reads from the master until the text came or ms passed.
bool AwaitText(int master, const std::string& text, int ms) {
  std::string seen;
  const int64_t deadline = NowNs() + int64_t{ms} * 1'000'000;
  while (seen.find(text) == std::string::npos) {
    const int64_t left = (deadline - NowNs()) / 1'000'000;
    if (left <= 0) return false;
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string lineChat;
  double seconds = 30;
  long timeoutMs = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--line-chat" && i + 1 < argc) {
      lineChat = argv[++i];
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--timeout" && i + 1 < argc) {
      timeoutMs = std::atol(argv[++i]);
    } else {
      lineChat.clear();
      break;
    }
  }
  if (lineChat.empty() || seconds <= 0 || timeoutMs <= 0) {
    std::fprintf(stderr, "usage: line-chat-flood --line-chat PATH [--seconds N] [--timeout MS]\n");
    return 2;
  }

  Pty pty;
  TempDir dir;
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  Child chat;
  chat.Start({lineChat, "--timeout", std::to_string(timeoutMs), pty.SlavePath(), "hello"},
             dir / "line-chat.err", devNull, dir.Path());
  if (!pty.WaitRawUser(10000) || !AwaitText(pty.Master(), "hello\r\n", 10000)) {
    std::printf("line-chat flood: line-chat did not start (%s)\n",
                ReadFile(dir / "line-chat.err").c_str());
    return 1;
  }

  const std::string chunk = Pattern(65536, 7);
  uint64_t written = 0;
  long peak = 0;
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  int64_t nextSample = start;
  while (NowNs() < end) {
    pollfd p{pty.Master(), POLLOUT, 0};
    if (::poll(&p, 1, 50) > 0 && (p.revents & POLLOUT)) {
      const ssize_t n = ::write(pty.Master(), chunk.data(), chunk.size());
      if (n > 0) written += static_cast<uint64_t>(n);
    }
    if (NowNs() >= nextSample) {
      peak = std::max(peak, PeakKiB(chat.Pid()));
      nextSample += 100'000'000;
    }
    if (!chat.Running()) break;
  }
  const int64_t floodEnd = NowNs();
  // The flood is over: line-chat works through what it still holds and then waits out its
  // timeout. Give it two minutes at most.
  int status = -1;
  while ((status = chat.Wait(20)) < 0 && NowNs() - floodEnd < 120'000'000'000) {
    peak = std::max(peak, PeakKiB(chat.Pid()));
    char drain[4096];
    while (::read(pty.Master(), drain, sizeof drain) > 0) {
    }
  }
  const int64_t exited = NowNs();
  if (status < 0) chat.Kill();

  const double floodSeconds = static_cast<double>(floodEnd - start) / 1e9;
  const double afterSeconds = static_cast<double>(exited - floodEnd) / 1e9;
  const double peakMiB = static_cast<double>(peak) / 1024;
  const double timeoutSeconds = static_cast<double>(timeoutMs) / 1000;
  std::printf("line-chat under a flood: %.0f MiB written to the pty in %.1f s (%.1f MiB/s)\n",
              static_cast<double>(written) / 1048576, floodSeconds,
              static_cast<double>(written) / 1048576 / floodSeconds);
  std::printf("  peak resident memory %.1f MiB (goal < %.0f MiB)\n", peakMiB, kPeakGoalMiB);
  if (status < 0) {
    std::printf("  still running %.1f s after the flood stopped: killed\n", afterSeconds);
  } else {
    std::printf(
        "  exited (status %d) %.2f s after the flood stopped, its timeout being %.2f s (goal: "
        "within %.0f s of the timeout)\n",
        status, afterSeconds, timeoutSeconds, kExitGoalSeconds);
  }
  const bool ok =
      status >= 0 && peakMiB < kPeakGoalMiB && afterSeconds <= timeoutSeconds + kExitGoalSeconds;
  return ok ? 0 : 1;
}
