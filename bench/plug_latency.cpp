// How soon the window opens the port of a device that is plugged in: the time from udev's
// "add" event to the port being open, over repeated plug-ins of a mocked device (umockdev, in
// this process; run under umockdev-wrapper, as bench/run does). Prints each figure.
//
//   plug-latency [--rounds N]        (default 20)

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/qt/MainWindow.h"
#include "platform/MessageQueue.h"
#include "platform/PortTable.h"
#include "tests/support/MockUsb.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Serves Qt's events until cond holds or 10 s pass. It sleeps until an event comes, as the
// program's own loop does, and looks at cond after each batch; a slow timer keeps a lost
// event from stopping it for good.
template <typename F>
bool Until(F cond) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  QTimer tick;
  tick.start(50);
  while (!cond()) {
    if (Clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void Print(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  std::printf("%-34s median %7.2f ms   min %7.2f   max %7.2f   (n=%zu)\n", what, median, v.front(),
              v.back(), n);
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
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::InitMainThread();
  QApplication application(argc, argv);
  if (!testsupport::UmockdevPreloaded()) {
    std::fprintf(stderr, "plug-latency: run under umockdev-wrapper\n");
    return 2;
  }
  TMockUsb usb;  // before the window: its udev monitor must be opened under the mock
  appqt::TMainWindow window;
  window.show();
  app::TForm1& form = window.Form();

  std::vector<double> fromEvent, fromPlugIn, pullOut, toClosed;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    TMockDevice device = usb.PlugIn();  // ends with the "add" event sent
    const auto sent = Clock::now();
    auto open = [&] {
      return form.ComPort1.Open() &&
             platform::PortPath(form.ComPort1.ComNumber()) == device.DevicePath;
    };
    if (!Until(open)) {
      std::fprintf(stderr, "plug-latency: the port did not open in round %d\n", round);
      return 1;
    }
    const auto opened = Clock::now();
    fromEvent.push_back(Ms(opened - sent));
    fromPlugIn.push_back(Ms(opened - start));

    // The mock sends the "remove" event first and then takes the sysfs entries away, which
    // takes it a while; the window hears the event only after that (one thread), so its
    // reaction is timed from the end of the pull-out.
    const auto pulling = Clock::now();
    usb.PullOut(device);
    const auto pulled = Clock::now();
    pullOut.push_back(Ms(pulled - pulling));
    if (!Until([&] { return !form.ComPort1.Open(); })) {
      std::fprintf(stderr, "plug-latency: the port did not close in round %d\n", round);
      return 1;
    }
    toClosed.push_back(Ms(Clock::now() - pulled));
  }
  std::printf("plug-in to port open, %d rounds under umockdev (goal: within 100 ms)\n", rounds);
  Print("add event sent -> port open", fromEvent);
  Print("plug-in begun -> port open", fromPlugIn);
  Print("pull-out done -> port closed", toClosed);
  Print("(the mock's own pull-out)", pullOut);
  return 0;
}
