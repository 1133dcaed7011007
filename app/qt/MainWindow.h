#pragma once
// The main window: a thin Qt view of TForm1. It shows TForm1's view state, forwards the
// button and the window's first showing, and provides the message boxes, the pause and the
// password window that the logic asks for.

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
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
  uint32_t SetTimer(uint32_t ms, std::function<void()> fire) override;
  void KillTimer(uint32_t id) override;

  // How long the window gives a device to answer (TForm1::SetReplyTimeout).
  static constexpr uint32_t kReplyTimeoutMs = 5000;

  // The picture of image-list icon n (0 to 4), 48 x 48.
  const QPixmap& ImageListIcon(int n) const { return uiImageList1_.at(static_cast<size_t>(n)); }
  // The password windows made so far, the newest last.
  const std::vector<std::unique_ptr<TForm2>>& PasswordWindows() const { return passWindows_; }

  // The font of both windows: Tahoma where installed, otherwise the system's sans font, at
  // an 11-pixel height.
  static QFont DesignFont();

 protected:
  void showEvent(QShowEvent* event) override;
  // Closing the main window ends the program: an open password window goes with it.
  void closeEvent(QCloseEvent* event) override;

 private:
  TQueueDrain drain_;
  QWidget* uiGBControl = nullptr;
  QLabel* uiLHWVer = nullptr;
  QLineEdit* uiTEHWVer = nullptr;
  QLabel* uiLSWVer = nullptr;
  QLineEdit* uiTESWVer = nullptr;
  QLabel* uiLUpVer = nullptr;
  QLineEdit* uiTEUpVer = nullptr;
  QLabel* uiImage1 = nullptr;
  QLabel* uiLabel1 = nullptr;
  QPushButton* uiButton1 = nullptr;
  QProgressBar* uiProgressBar1 = nullptr;
  std::array<QPixmap, 5> uiImageList1_;
  int shownIcon_ = -1;
  bool firstShowDone_ = false;
  std::vector<std::unique_ptr<TForm2>> passWindows_;
  std::map<uint32_t, QTimer*> timers_;
  uint32_t lastTimer_ = 0;
  std::unique_ptr<app::TForm1> form_;
  std::unique_ptr<TDeviceWatch> deviceWatch_;
};

}  // namespace appqt
