// The Vexilora update utility: one window that finds the device, shows its versions and
// updates its firmware.

#include "app/Main.h"

#include <QApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/CommandLine.h"
#include "app/qt/Demo.h"
#include "app/qt/Language.h"
#include "app/qt/MainWindow.h"
#include "app/qt/QuitSignals.h"
#include "app/qt/SingleInstance.h"
#include "platform/MessageQueue.h"

int main(int argc, char** argv) {
  // --help and --version alone are answered before Qt starts: they need no display (the
  // manual page is made from them at build time).
  if (argc == 2) {
    const std::string only = argv[1];
    if (only == "--help" || only == "--version")
      return *appqt::AnswerOwnArguments({only}, app::TForm1::SelfExePath());
  }
  // The thread that shows the windows is the one that runs the components' events.
  platform::InitMainThread();
  QApplication application(argc, argv);
  // Qt has taken its own options out; what is left is the utility's.
  std::vector<std::string> arguments;
  for (const QString& a : application.arguments().mid(1)) arguments.push_back(a.toStdString());
  if (const std::optional<int> code =
          appqt::AnswerOwnArguments(arguments, app::TForm1::SelfExePath()))
    return *code;

  const appqt::TTranslations translations(appqt::LanguageFromEnvironment());

  // One window per user: a second start brings the first one's window to the front.
  appqt::TSingleInstance instance(appqt::TSingleInstance::DefaultFolder());
  switch (instance.Claim(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"))) {
    case appqt::TSingleInstance::TClaim::HandedOver:
      std::fprintf(stderr,
                   "vexilora-update: already running; its window was brought to the front\n");
      return 0;
    case appqt::TSingleInstance::TClaim::NotAnswering:
      std::fprintf(stderr, "vexilora-update: %s\n", qPrintable(instance.Problem()));
      return 1;
    case appqt::TSingleInstance::TClaim::Unavailable:
      // Started without a user session (no XDG_RUNTIME_DIR): the window works, only a
      // second start cannot find it.
      break;
    case appqt::TSingleInstance::TClaim::First:
      if (!instance.Problem().isEmpty())
        std::fprintf(stderr, "vexilora-update: %s\n", qPrintable(instance.Problem()));
      break;
  }

  // VEXILORA_DEMO=1: the window updates the device by itself (no one at the screen). Started
  // before the window, whose creation may already show a message box.
  const std::unique_ptr<appqt::TDemo> demo = appqt::StartDemoIfAsked();
  // A start that comes while the window is still being made (its creation may show a message
  // box) brings that box to the front.
  appqt::TMainWindow* made = nullptr;
  QObject::connect(&instance, &appqt::TSingleInstance::ActivationRequested, &application,
                   [&made](const QString& token) {
                     if (made != nullptr) {
                       made->BringToFront(token);
                     } else if (QWidget* modal = QApplication::activeModalWidget()) {
                       modal->raise();
                       modal->activateWindow();
                     }
                   });
  appqt::TMainWindow window;
  made = &window;
  if (demo) demo->Attach(window);
  window.show();
  // Ending the session, Ctrl-C or a closed terminal end the window cleanly: a running
  // transfer is cancelled first, and the temporary image goes.
  const appqt::TQuitSignals quitSignals([&window](int) { window.CancelAndClose(); });
  return application.exec();
}
