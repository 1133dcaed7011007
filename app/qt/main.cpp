// The Vexilora update utility: one window that finds the device, shows its versions and
// updates its firmware.

#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/qt/Demo.h"
#include "app/qt/MainWindow.h"
#include "app/qt/QuitSignals.h"
#include "platform/MessageQueue.h"

int main(int argc, char** argv) {
  // The thread that shows the windows is the one that runs the components' events.
  platform::InitMainThread();
  QApplication application(argc, argv);
  // Qt has taken its own options out; the utility has none of its own.
  if (application.arguments().size() > 1) {
    std::fprintf(stderr,
                 "usage: vexilora-update [Qt options]\n"
                 "The Vexilora update utility takes no arguments of its own.\n");
    return 2;
  }
  // VEXILORA_DEMO=1: the window updates the device by itself (no one at the screen). Started
  // before the window, whose creation may already show a message box.
  const std::unique_ptr<appqt::TDemo> demo = appqt::StartDemoIfAsked();
  appqt::TMainWindow window;
  if (demo) demo->Attach(window);
  window.show();
  // Ending the session, Ctrl-C or a closed terminal end the window cleanly: a running
  // transfer is cancelled first, and the temporary image goes.
  const appqt::TQuitSignals quitSignals([&window](int) { window.CancelAndClose(); });
  return application.exec();
}
