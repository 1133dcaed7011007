#pragma once
// SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl-C in the terminal that started the
// window, the terminal going away) reach the window as an ordinary event on the GUI thread
// instead of ending the program on the spot, which would leave the device mid-transfer in its
// bootloader and the temporary image behind.

#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <functional>
#include <memory>

namespace appqt {

class TQuitSignals : public QObject {
  Q_OBJECT
 public:
  // Installs the handlers (one object at a time); onSignal runs on the GUI thread with the
  // signal's number, once for each signal that came.
  explicit TQuitSignals(std::function<void(int)> onSignal);
  // Puts the handlers that were there before back.
  ~TQuitSignals() override;
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

 private:
  void Drain();
  std::function<void(int)> onSignal_;
  int pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction previous_[3]{};
};

}  // namespace appqt
