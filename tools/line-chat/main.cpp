// line-chat: sends one line to a serial device and prints what the device answers.
//
//   line-chat [--baud N] [--timeout MS] DEVICE LINE
//
// Opens DEVICE (a path, entered into the port table) at N baud (default 115200) with the
// trace and the dispatch log on, sends LINE followed by CR LF, prints every byte that comes
// back until MS milliseconds (default 1000) pass without one, and closes the port, which
// writes COMM.TRC and COMM.LOG into the current directory. The answer is read by the port's
// own trigger events on the main thread; a timer trigger, re-armed by every arrival, ends the
// wait.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "platform/MessageQueue.h"

namespace {

constexpr int32_t kExitFailure = 1;
constexpr int32_t kExitUsage = 2;
// What the line-error event reports when a worker thread failed (the device went away).
constexpr uint16_t kWorkerFailure = 10;

void Usage() { std::fprintf(stderr, "usage: line-chat [--baud N] [--timeout MS] DEVICE LINE\n"); }

bool ParseNumber(const char* text, long max, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 0 && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away (line-chat ... | head -c1) costs the answer's bytes, not the
  // close that writes COMM.TRC and COMM.LOG: the write fails with EPIPE and is dropped.
  ::signal(SIGPIPE, SIG_IGN);
  platform::InitMainThread();

  long baud = 115200;
  long timeoutMs = 1000;
  int arg = 1;
  for (; arg < argc; ++arg) {
    const std::string option = argv[arg];
    if (option == "--baud" || option == "--timeout") {
      long value = 0;
      if (arg + 1 >= argc || !ParseNumber(argv[arg + 1], 0x7FFFFFFF, value) ||
          (option == "--baud" && value == 0)) {
        Usage();
        return kExitUsage;
      }
      (option == "--baud" ? baud : timeoutMs) = value;
      ++arg;
    } else if (option == "--") {
      ++arg;
      break;
    } else if (option.size() > 1 && option[0] == '-') {
      Usage();
      return kExitUsage;
    } else {
      break;
    }
  }
  if (argc - arg != 2) {
    Usage();
    return kExitUsage;
  }
  const std::string device = argv[arg];
  const std::string line = argv[arg + 1];

  comm::TComPort port;
  port.SetComNumber(comm::TCustomComPort::PortNumberForPath(device));
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(static_cast<int32_t>(baud));
  port.SetTracing(comm::tlOn);
  port.SetLogging(comm::tlOn);

  // Ticks of 55 ms, rounded up so that at least the asked time passes in silence.
  const int32_t idleTicks = static_cast<int32_t>((timeoutMs + 54) / 55);
  int32_t idleTimer = 0;
  int exitCode = 0;
  port.OnTriggerAvail = [&](comm::TCustomComPort* cp, uint16_t count) {
    std::string answer;
    for (uint16_t i = 0; i < count; ++i) answer.push_back(static_cast<char>(cp->ReceiveByte()));
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
    cp->ArmTimerTrigger(idleTimer, idleTicks, true);
  };
  port.OnTriggerTimer = [&](comm::TCustomComPort*, uint16_t handle) {
    if (handle == idleTimer) platform::Quit(0);
  };
  int32_t lineStatus = 0;
  port.OnTriggerLineError = [&](comm::TCustomComPort* cp, uint16_t error, bool) {
    if (error == kWorkerFailure) {
      std::fprintf(stderr, "line-chat: %s: the device stopped answering (read or write failure)\n",
                   device.c_str());
      exitCode = kExitFailure;
      platform::Quit(0);
    } else {
      cp->ArmStatusTrigger(lineStatus, 0x0F, true);  // a passing line error: keep listening
    }
  };

  try {
    port.SetOpen(true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "line-chat: %s: %s\n", device.c_str(), e.what());
    return kExitFailure;
  }
  try {
    idleTimer = port.NewTimerTrigger();
    lineStatus = port.NewStatusTrigger(comm::StatusLine);
    port.ArmStatusTrigger(lineStatus, 0x0F, true);
    port.SendText(line + "\r\n");
    port.ArmTimerTrigger(idleTimer, idleTicks, true);
    platform::Run();
    port.SetOpen(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "line-chat: %s: %s\n", device.c_str(), e.what());
    return kExitFailure;
  }
  return exitCode;
}
