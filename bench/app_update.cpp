// One whole update through the real window (offscreen) against the device simulator on a
// line paced at 115200 8N1: from the press of the update button to the success box, with the
// transfer's own share, set against the line-rate limit of the transfer alone.
//
//   app-update [HANDSHAKE_MS]      the receiver's handshake interval (default 1000)

#include <pty.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/FirmwareImage.h"
#include "app/qt/MainWindow.h"
#include "platform/MessageQueue.h"
#include "platform/PortTable.h"
#include "tools/vexilora-sim/Simulator.h"

namespace {

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::InitMainThread();
  QApplication application(argc, argv);
  const uint32_t handshakeMs = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1000;

  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
  vexsim::TOptions options;
  options.StartInBootloader = true;
  options.PaceLine = true;
  options.HandshakeIntervalMs = handshakeMs;
  vexsim::TSimulator sim(options);
  sim.Start(master);

  char dir[] = "/tmp/app-update-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string exe = std::string(dir) + "/vexilora-update";
  if (symlink(app::TForm1::SelfExePath().c_str(), exe.c_str()) != 0) return 1;
  auto window = std::make_unique<appqt::TMainWindow>(exe);
  app::TForm1& form = window->Form();
  form.DevicePresent = true;
  form.ComName = "COM" + std::to_string(platform::EnterPortPath(name));
  window->show();
  if (!WaitFor([&] { return form.View().uiButton1Enabled && form.DialogueState == 0; }, 30000)) {
    std::fprintf(stderr, "the query did not end\n");
    return 1;
  }

  using Clock = std::chrono::steady_clock;
  Clock::time_point pressed{}, boxShown{}, firstBlock{}, transferEnd{};
  QTimer boxWatch;
  QObject::connect(&boxWatch, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box == nullptr || !box->isVisible()) continue;
      if (boxShown == Clock::time_point{}) boxShown = Clock::now();
      box->button(QMessageBox::Ok)->click();
    }
  });
  boxWatch.start(1);
  pressed = Clock::now();
  window->findChild<QPushButton*>("uiButton1")->click();
  if (!WaitFor([&] { return boxShown != Clock::time_point{}; }, 120000)) {
    std::fprintf(stderr, "no success box\n");
    return 1;
  }
  // The transfer's share from the device's transcript: the first block in, the verdict out.
  for (const vexsim::TChunk& c : sim.Transcript()) {
    if (c.Time < pressed) continue;
    if (c.Direction == vexsim::TDirection::FromHost && firstBlock == Clock::time_point{} &&
        !c.Bytes.empty() && (c.Bytes[0] == 0x02 || c.Bytes[0] == 0x01))
      firstBlock = c.Time;
    if (c.Direction == vexsim::TDirection::ToHost && firstBlock != Clock::time_point{} &&
        c.Bytes.find("OK") != std::string::npos && transferEnd == Clock::time_point{})
      transferEnd = c.Time;
  }
  WaitFor([&] { return form.DialogueState == 0; }, 30000);

  const size_t imageSize = app::FindResource("WBLOCK")->size();
  const size_t blocks = (imageSize + 1023) / 1024;
  const double byteUs = 86.806;
  // Each 1K block is STX, number, complement, 1024 bytes, CRC-16; the device answers each
  // with ACK; then EOT and its ACK.
  const double limitS = (static_cast<double>(blocks) * (1029 + 1) + 2) * byteUs / 1e6;
  auto seconds = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };
  std::printf(
      "image %zu bytes, %zu blocks of 1 KiB, handshake interval %u ms, line paced at 115200 8N1\n",
      imageSize, blocks, handshakeMs);
  std::printf("button press to success box: %.3f s\n", seconds(pressed, boxShown));
  if (firstBlock != Clock::time_point{} && transferEnd != Clock::time_point{}) {
    std::printf("  before the first block (loader, wr_prog, handshake): %.3f s\n",
                seconds(pressed, firstBlock));
    std::printf("  first block to the device's OK: %.3f s\n", seconds(firstBlock, transferEnd));
  }
  std::printf("line-rate limit of the transfer alone: %.3f s\n", limitS);
  window.reset();
  sim.Stop();
  close(slave);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
