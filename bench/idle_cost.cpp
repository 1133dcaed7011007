// idle-cost: what an open port costs while nothing happens on its line.
//
//   idle-cost [dispatcher|port]... [--seconds N]
//
// dispatcher: a bare TPlatformDispatcher started on a pty (its four threads running).
// port: a TComPort with the application's settings and a TDataPacket armed for the
// application's line framing (StartString "\n", EndString "\r", TimeOut 500 ticks).
// The CPU time is read from /proc/self/stat before and after; the main thread meanwhile waits
// in the platform's main loop, as an application's would.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/Bench.h"
#include "bench/support/ProcessStats.h"
#include "comm/ComPort.h"
#include "comm/PlatformDispatcher.h"
#include "packet/DataPacket.h"
#include "platform/MessageQueue.h"
#include "platform/PortTable.h"

namespace {

using namespace bench;

// Runs the main loop for the given time.
void RunMainLoopFor(double seconds) {
  std::thread timer([seconds] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    platform::Quit(0);
  });
  platform::Run();
  timer.join();
}

double Measure(const std::string& label, double seconds) {
  RunMainLoopFor(0.5);  // let the start settle
  const ProcessSample before = SampleProcess();
  RunMainLoopFor(seconds);
  const ProcessSample after = SampleProcess();
  // Only the dispatch thread's 50 ms tick may wake an idle port (20 a second).
  return ReportCpu(label, before, after, 0.2, 21);
}

bool IdleDispatcher(double seconds) {
  Pty pty;
  comm::TBaseComponent owner;
  comm::TPlatformDispatcher d(&owner);
  const std::string name = "\\\\.\\COM" + std::to_string(platform::EnterPortPath(pty.SlavePath()));
  const int32_t r = d.StartPort(name, 115200, 0, 8, 1, 1030, 1030, 0);
  if (r != 0) {
    std::printf("idle dispatcher: StartPort failed with %d\n", r);
    return false;
  }
  Measure("idle dispatcher (StartPort on a pty, no traffic)", seconds);
  d.StopPort();
  return true;
}

bool IdlePort(double seconds) {
  Pty pty;
  TempDir dir;
  comm::TComPort port;
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetInSize(1030);
  port.SetOutSize(1030);
  port.SetDTR(false);
  port.SetRTS(false);
  port.SetTraceName(dir / "COMM.TRC");
  port.SetLogName(dir / "COMM.LOG");
  port.SetTracing(comm::tlOn);
  port.SetLogging(comm::tlOn);
  port.SetComNumber(comm::TCustomComPort::PortNumberForPath(pty.SlavePath()));
  port.SetOpen(true);

  comm::TDataPacket packet;
  packet.SetComPort(&port);
  packet.SetStartCond(comm::scString);
  packet.SetStartString("\n");
  packet.SetEndCond({comm::ecString});
  packet.SetEndString("\r");
  packet.SetTimeOut(500);
  packet.OnStringPacket = [](comm::TDataPacket*, const std::string&) {};
  packet.OnTimeout = [](comm::TDataPacket*) {};
  packet.SetEnabled(true);

  Measure("idle port with an armed packet (no traffic)", seconds);
  packet.SetEnabled(false);
  port.SetOpen(false);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> modes;
  double seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "dispatcher" || a == "port") {
      modes.push_back(a);
    } else {
      std::fprintf(stderr, "usage: idle-cost [dispatcher|port]... [--seconds N]\n");
      return 2;
    }
  }
  if (modes.empty()) modes = {"dispatcher", "port"};
  platform::InitMainThread();
  bool ok = true;
  try {
    for (const auto& m : modes)
      ok = (m == "dispatcher" ? IdleDispatcher(seconds) : IdlePort(seconds)) && ok;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "idle-cost: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
