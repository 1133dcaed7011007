#pragma once
// The self-driving mode, for trying the utility where nobody sits at the screen (a server, CI):
// with VEXILORA_DEMO=1 in the environment the window updates the device it finds by itself.
// It takes the steps a user takes (types the password, when VEXILORA_DEMO_PASSWORD gives
// one, presses the update button, closes the success box), prints each step and the versions
// on standard output, saves pictures of the window at each stage into
// VEXILORA_DEMO_SCREENSHOTS (a folder, when set) and ends the program with 0 only once the
// device reports the image's version; anything else (an error box, a transfer given up, no
// update within VEXILORA_DEMO_TIMEOUT seconds, default 300) ends it with 1.

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <memory>
#include <string>

class QMessageBox;

namespace app {
class TForm1;
}

namespace appqt {

class TMainWindow;

class TDemo : public QObject {
 public:
  // Starts watching at once: the window's creation may already show a message box (an
  // executable without its image), and nobody else would close it.
  TDemo();
  // The window to drive, once it exists. It must outlive the event loop's run.
  void Attach(TMainWindow& window);
  // The run has ended, and with which exit status (0: the device reports the image's version
  // after this update).
  bool Finished() const { return stage_ == TStage::Finished; }
  // The window was told to close (a signal, or "close anyway" during an update) before the run
  // ended: the mode gives no verdict (ExitCode 0) and leaves the exit status to the window.
  bool Stopped() const { return stage_ == TStage::Stopped; }
  int ExitCode() const { return exitCode_; }

 private:
  enum class TStage { WaitDevice, Updating, WaitVersion, Finished, Stopped };

  void Tick();
  void HandleBox(QMessageBox& box);
  bool PasswordWindowOpen() const;
  std::string Shown(const char* name) const;
  std::string Versions() const;
  void Screenshot(QWidget& widget, const char* name);
  void Finish(int code, const std::string& text);

  TMainWindow* window_ = nullptr;
  app::TForm1* form_ = nullptr;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 timeoutMs_ = 300 * 1000;
  QString screenshotDir_;
  QString password_;
  TStage stage_ = TStage::WaitDevice;
  int exitCode_ = 1;
  std::string lastStatus_;
  int lastQuarter_ = -1;
  bool midShotTaken_ = false;
  QSet<const QWidget*> answered_;
};

// The self-driving mode when VEXILORA_DEMO=1; nullptr otherwise.
std::unique_ptr<TDemo> StartDemoIfAsked();

}  // namespace appqt
