#pragma once
// The end-to-end setting of the update tests: the real main window offscreen, the device
// simulator playing the Vexilora on the far side of a serial line, and a private folder that
// stands for the executable's own (the temporary image goes there).

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <memory>
#include <string>

#include "app/qt/MainWindow.h"
#include "tests/app/support/QtWait.h"
#include "tools/vexilora-sim/Simulator.h"

namespace apptest {

inline QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// The window's texts for no device, and for an update ended by the device being pulled out.
inline constexpr const char* kNotConnected = "Пожалуйста, подключите Vexilora к компьютеру!";
inline constexpr const char* kUnplugged =
    "Обновление не завершено: Vexilora отключена от компьютера. Подключите её снова и повторите "
    "обновление.";
// A device that may be updated; one whose software version is unknown (in its bootloader); a
// device that does not answer; and the success box of an update.
inline constexpr const char* kUpdatable =
    "Программное обеспечение подключенной к компьютеру Vexilora можно обновить.";
inline constexpr const char* kBootloaderText =
    "Не удалось получить версию программного обеспечения, установленного в Vexilora.\n"
    "Тем не менее, программное обеспечение Vexilora можно обновить.";
inline constexpr const char* kNoReply =
    "Не удается получить ответ от Vexilora. Пожалуйста, отключите её от компьютера и "
    "подключите снова.";
inline constexpr const char* kUpdated = "Программное обеспечение Vexilora успешно обновлено.";

class TUpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The window, created on first use (its executable stands in the private folder).
  appqt::TMainWindow& Window();
  app::TForm1& Form() { return Window().Form(); }

  template <typename T>
  T* Find(const char* name) {
    return Window().findChild<T*>(QString::fromLatin1(name));
  }
  QString Label() { return Find<QLabel>("uiLabel1")->text(); }
  QString Box(const char* name) { return Find<QLineEdit>(name)->text(); }
  bool ButtonEnabled() { return Find<QPushButton>("uiButton1")->isEnabled(); }
  QProgressBar* Progress() { return Find<QProgressBar>("uiProgressBar1"); }
  // The index of the image-list icon shown in uiImage1, or -1.
  int ShownIcon();

  // The folder that stands for the executable's, and the temporary image in it.
  const std::string& ExeDir() const { return exeDir_; }
  std::string TempImagePath() const { return exeDir_ + "/WBlock"; }
  bool TempImageExists() const;

  // A device announced on the serial line at devicePath (a pty's far end, no udev): the window
  // is shown and its first search opens the port there.
  void ShowWithDeviceAt(const std::string& devicePath);

  // The embedded image, padded as the transfer pads its last block.
  static std::string EmbeddedImage();

  std::string exeDir_;
  std::unique_ptr<appqt::TMainWindow> window_;
};

// Options for a quick simulator: short handshake interval, the image saved beside the test.
// Threads of this process besides the main one that carry no name of their own: the port's
// worker threads and the simulator's (Qt names its threads).
int UnnamedThreads();

vexsim::TOptions QuickDevice();

}  // namespace apptest
