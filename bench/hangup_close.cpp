// How long closing a port takes when its device has just vanished, in the situation where it
// used to stall: the write thread waits for room in the device, the dispatch thread delivers
// to a handler that waits for the main thread (a packet's or a transfer's event), and the
// line hangs up. The main thread then closes as the window does when the device is gone
// (ClearInput, ClearOutput, Open := False). Prints the close times and how each output purge
// ended.
//
//   hangup-close [--rounds N]        (default 20)

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/Bench.h"
#include "comm/ComPort.h"
#include "comm/PlatformDispatcher.h"
#include "platform/MessageQueue.h"

namespace {

using namespace bench;

// Waits for cond without serving the main-thread queue; false after 10 s.
bool WaitNotServing(const std::function<bool()>& cond) {
  const int64_t deadline = NowNs() + 10'000'000'000;
  while (!cond()) {
    if (NowNs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

const char* PurgeText(comm::TPurgeWait w) {
  switch (w) {
    case comm::TPurgeWait::pwNone:
      return "no writer";
    case comm::TPurgeWait::pwAcknowledged:
      return "acknowledged";
    case comm::TPurgeWait::pwWriterStopped:
      return "writer stopped";
    case comm::TPurgeWait::pwNoAnswer:
      return "no answer (waited 5 s)";
  }
  return "?";
}

// One round; the close time in ms, or a negative value when the set-up failed.
double Round(std::vector<std::string>& outcomes) {
  Pty pty;
  MakeRaw(pty.Master());
  SetNonBlocking(pty.Master());
  comm::TComPort port;
  port.SetComNumber(comm::TCustomComPort::PortNumberForPath(pty.SlavePath()));
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetInSize(1030);
  port.SetOutSize(60000);
  port.SetDTR(false);
  port.SetRTS(false);
  port.SetOpen(true);
  auto* d = dynamic_cast<comm::TPlatformDispatcher*>(port.ActiveDispatcher());
  if (d == nullptr) return -1;
  int key = 0;
  d->AddEventHandler(&key, [d](uint32_t msg, uint32_t, int32_t) {
    if (msg == comm::TriggerAvailMessage) comm::RunOnMainThread(d->DispatchThread(), [] {});
  });
  // More than a pty takes while nobody reads its far side: the writer waits for room.
  const std::string block = Pattern(50000, 3);
  port.SendBlock(block.data(), static_cast<int32_t>(block.size()));
  if (::write(pty.Master(), "x", 1) != 1) return -1;
  if (!WaitNotServing([&] {
        int waiting = 0;
        return d->DispatchActive() && d->OutputUsed() == 0 &&
               ::ioctl(pty.Master(), FIONREAD, &waiting) == 0 && waiting >= 2048;
      }))
    return -1;
  // The line hangs up as the kernel does it when a USB device goes (needs CAP_SYS_ADMIN).
  const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const bool hungUp = slave >= 0 && ::ioctl(slave, TIOCVHANGUP, 0) == 0;
  if (slave >= 0) ::close(slave);
  if (!hungUp) return -1;
  if (!WaitNotServing([&] { return d->DeviceFailed() && d->StopRequested(); })) return -1;

  const int64_t start = NowNs();
  port.ClearInput();
  port.ClearOutput();
  const comm::TPurgeWait purge = d->LastOutputPurge();
  port.SetOpen(false);
  const double ms = static_cast<double>(NowNs() - start) / 1e6;
  outcomes.push_back(PurgeText(purge));
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  platform::InitMainThread();
  std::vector<double> times;
  std::vector<std::string> outcomes;
  try {
    for (int i = 0; i < rounds; ++i) {
      const double ms = Round(outcomes);
      if (ms < 0) {
        std::fprintf(stderr, "hangup-close: round %d could not be set up\n", i + 1);
        return 1;
      }
      times.push_back(ms);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hangup-close: %s\n", e.what());
    return 1;
  }
  std::vector<std::string> kinds = outcomes;
  std::sort(kinds.begin(), kinds.end());
  kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  std::printf(
      "close of a vanished device         median %8.2f ms   min %8.2f   max %8.2f   (n=%zu)\n",
      median, times.front(), times.back(), n);
  for (const std::string& k : kinds) {
    std::printf("  output purge: %-24s %zu of %zu\n", k.c_str(),
                static_cast<size_t>(std::count(outcomes.begin(), outcomes.end(), k)), n);
  }
  return 0;
}
