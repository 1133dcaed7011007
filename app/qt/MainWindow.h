#pragma once
// The main window: a thin Qt view of TForm1. It shows TForm1's view state, forwards the
// button and the window's first showing, and provides the message boxes, the pause and the
// password window that the logic asks for.

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/qt/DeviceWatch.h"
#include "app/qt/MainLoop.h"
#include "app/qt/SleepInhibitor.h"
#include "app/qt/StatusImage.h"

namespace appqt {

class TForm2;

class TMainWindow : public QWidget, public app::TForm1View {
  Q_OBJECT
 public:
  // Creates the window and runs TForm1's FormCreate (which may show a message box).
  explicit TMainWindow(const std::string& exePath = app::TForm1::SelfExePath());
  ~TMainWindow() override;

  app::TForm1& Form() { return *form_; }
  // Hears udev's arrivals and removals for the window.
  TDeviceWatch& DeviceWatch() { return *deviceWatch_; }

  // TForm1View
  void StateChanged() override;
  void MessageBox(const std::string& caption, const std::string& text,
                  app::TMessageIcon icon) override;
  void Pause(uint32_t ms) override;
  void OpenPasswordWindow() override;
  void UpdateStarted(const std::string& devicePath) override;
  void UpdateEnded() override;
  // The window's status line already says why.
  void UpdateNotStarted(const std::string& reason) override;
  uint32_t SetTimer(uint32_t ms, std::function<void()> fire) override;
  void KillTimer(uint32_t id) override;

  // How long the window gives a device to answer (TForm1::SetReplyTimeout).
  static constexpr uint32_t kReplyTimeoutMs = 5000;

  // Ends the window without asking: a running transfer is cancelled first (the device
  // receives the cancel sequence before the port closes), then the port closes (the
  // temporary image goes) and the window closes. A message box of a dialogue step that is
  // open is closed first. What a signal to end the program does.
  void CancelAndClose();
  // CancelAndClose has begun: the window is on its way out.
  bool Quitting() const { return quitting_; }
  // The question asked when the window is closed during an update, while it is open.
  QMessageBox* CloseQuestion() const { return closeQuestion_; }
  TSleepInhibitor& SleepInhibitor() { return inhibitor_; }

  // The picture of image-list icon n (0 to 4), 48 x 48 logical pixels at a device-pixel ratio.
  static QPixmap ImageListIcon(int n, qreal ratio = 1.0) {
    return TStatusImage::Render(n, QSize(48, 48), ratio);
  }
  // The image-list index uiImage1 shows.
  int ShownIcon() const { return uiImage1->Icon(); }
  // The password windows made so far, the newest last.
  const std::vector<std::unique_ptr<TForm2>>& PasswordWindows() const { return passWindows_; }

  // The font of both windows: Tahoma where installed, otherwise the system's sans font, at
  // an 11-pixel height.
  static QFont DesignFont();

  // Another start of the utility asked for this window (it then exits): shown, restored from
  // the task bar and brought to the front, with whatever box or password window is open on
  // top of it. activationToken: the one the desktop gave that start (Wayland's
  // XDG_ACTIVATION_TOKEN), which lets a compositor give this window the focus.
  void BringToFront(const QString& activationToken = {});

 protected:
  void showEvent(QShowEvent* event) override;
  // Closing the main window ends the program: an open password window goes with it. During
  // an update it asks first; yes cancels the update (CancelAndClose), no carries on.
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowTraceNote(const std::string& folder);
  bool AskToCancelUpdate();
  void ContinueShutdown();
  void CloseWhenSent(qint64 deadlineMs, int quietRounds);
  void ClosePortAndWindow();

  TQueueDrain drain_;
  QWidget* uiGBControl = nullptr;
  QLabel* uiLHWVer = nullptr;
  QLineEdit* uiTEHWVer = nullptr;
  QLabel* uiLSWVer = nullptr;
  QLineEdit* uiTESWVer = nullptr;
  QLabel* uiLUpVer = nullptr;
  QLineEdit* uiTEUpVer = nullptr;
  TStatusImage* uiImage1 = nullptr;
  QLabel* uiLabel1 = nullptr;
  QPushButton* uiButton1 = nullptr;
  QProgressBar* uiProgressBar1 = nullptr;
  // Under the button and the bar, after a failure: where the run's trace is (a link that opens
  // the folder; the whole path in its tooltip and accessible name).
  QLabel* uiTraceNote = nullptr;
  bool firstShowDone_ = false;
  std::vector<std::unique_ptr<TForm2>> passWindows_;
  TSleepInhibitor inhibitor_;
  QMessageBox* closeQuestion_ = nullptr;
  bool quitting_ = false;
  std::map<uint32_t, QTimer*> timers_;
  uint32_t lastTimer_ = 0;
  std::unique_ptr<app::TForm1> form_;
  std::unique_ptr<TDeviceWatch> deviceWatch_;
};

}  // namespace appqt
