// The main window offscreen: its design (caption, controls, font, icons), the version
// presentation rows and the "not connected" state as the window shows them, the exception
// display, the main-loop integration and the program's command line.

#include "app/qt/MainWindow.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/FileVersion.h"
#include "app/Main.h"
#include "app/qt/StatusImage.h"
#include "comm/Exceptions.h"
#include "platform/MessageQueue.h"
#include "tests/app/support/QtWait.h"

namespace {

using apptest::QtWaitUntil;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { window_ = std::make_unique<appqt::TMainWindow>(); }
  void TearDown() override { window_.reset(); }

  template <typename T>
  T* Find(const char* name) {
    T* w = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString Text(const char* box) { return Find<QLineEdit>(box)->text(); }
  // The index of the image-list picture uiImage1 shows, or -1.
  int ShownIcon() { return window_->ShownIcon(); }
  app::TForm1& Form() { return window_->Form(); }

  std::unique_ptr<appqt::TMainWindow> window_;
};

TEST_F(MainWindowTest, ShowsTheDesignedWindowBeforeTheFirstSearch) {
  EXPECT_EQ(window_->windowTitle(), Q("Обновление Vexilora  v2.0.3017.3452"));
  EXPECT_EQ(window_->size(), QSize(311, 230));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());  // not resizable
  EXPECT_TRUE(window_->windowFlags() & Qt::Dialog);
  EXPECT_FALSE(window_->windowFlags() & Qt::WindowMaximizeButtonHint);

  const QFont font = window_->font();
  EXPECT_EQ(font.pixelSize(), 11);
  EXPECT_TRUE(font.family() == "Tahoma" || font.family() == "DejaVu Sans")
      << font.family().toStdString();

  auto* group = Find<QWidget>("uiGBControl");
  EXPECT_EQ(group->geometry(), QRect(0, 0, 297, 230));

  struct Control {
    const char* Name;
    QRect Geometry;  // within the group box; width/height 0: only the position is designed
    const char* Text;
  };
  const Control controls[] = {
      {"uiLHWVer", {24, 16, 0, 0}, "Аппаратная версия :"},
      {"uiTEHWVer", {153, 15, 138, 21}, "Отсутствует"},
      {"uiLSWVer", {24, 43, 0, 0}, "Программная версия :"},
      {"uiTESWVer", {153, 42, 138, 21}, "Отсутствует"},
      {"uiLUpVer", {24, 70, 0, 0}, "Версия обновления :"},
      {"uiTEUpVer", {153, 69, 138, 21}, "2.0.0.3452"},
      {"uiImage1", {24, 107, 52, 52}, ""},
      {"uiLabel1", {88, 96, 203, 77}, "Подключите изделие к ПК."},
      {"uiButton1", {24, 192, 121, 25}, "Обновить Vexilora"},
      {"uiProgressBar1", {153, 192, 138, 25}, ""},
  };
  for (const Control& c : controls) {
    QWidget* w = Find<QWidget>(c.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), group) << c.Name;
    EXPECT_EQ(w->pos(), c.Geometry.topLeft()) << c.Name;
    if (c.Geometry.width() > 0) {
      EXPECT_EQ(w->size(), c.Geometry.size()) << c.Name;
    }
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
    if (auto* box = qobject_cast<QLineEdit*>(w)) text = box->text();
    if (auto* button = qobject_cast<QPushButton*>(w)) text = button->text();
    EXPECT_EQ(text, Q(c.Text)) << c.Name;
  }
  for (const char* name : {"uiTEHWVer", "uiTESWVer", "uiTEUpVer"}) {
    auto* box = Find<QLineEdit>(name);
    EXPECT_TRUE(box->isReadOnly()) << name;
    EXPECT_EQ(box->alignment(), Qt::AlignCenter) << name;
    EXPECT_EQ(box->focusPolicy(), Qt::NoFocus) << name;
  }
  EXPECT_TRUE(Find<QLabel>("uiLabel1")->wordWrap());
  EXPECT_FALSE(Find<QPushButton>("uiButton1")->isEnabled());
  EXPECT_EQ(Find<QProgressBar>("uiProgressBar1")->value(), 0);
  EXPECT_EQ(ShownIcon(), app::iiInformation);

  // Five distinct 48 x 48 pictures, none of them blank, drawn for any pixel ratio: at 2 they
  // have twice the pixels, not the same ones enlarged.
  for (const qreal ratio : {1.0, 2.0}) {
    for (int i = 0; i < 5; ++i) {
      const QPixmap pixmap = window_->ImageListIcon(i, ratio);
      EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(48, 48)) << i;
      EXPECT_EQ(pixmap.devicePixelRatio(), ratio) << i;
      const QImage icon = pixmap.toImage();
      EXPECT_EQ(icon.size(), QSize(48, 48) * ratio) << i;
      EXPECT_NE(icon.pixelColor(icon.width() / 2, icon.height() / 2).alpha(), 0)
          << "icon " << i << " is empty in the middle";
      for (int j = 0; j < i; ++j) {
        EXPECT_NE(icon, window_->ImageListIcon(j, ratio).toImage()) << i << j;
      }
    }
  }
  apptest::SaveScreenshot(window_.get(), "main-initial");
}

TEST_F(MainWindowTest, TheFirstShowingSearchesAndWithoutADeviceShowsNotConnected) {
  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  EXPECT_EQ(Find<QLabel>("uiLabel1")->text(), Q("Пожалуйста, подключите Vexilora к компьютеру!"));
  EXPECT_EQ(ShownIcon(), app::iiInformation);
  EXPECT_EQ(Text("uiTEHWVer"), Q("Отсутствует"));
  EXPECT_EQ(Text("uiTESWVer"), Q("Отсутствует"));
  EXPECT_FALSE(Find<QPushButton>("uiButton1")->isEnabled());
  EXPECT_FALSE(Form().ComPort1.Open());
  apptest::SaveScreenshot(window_.get(), "main-not-connected");
}

TEST_F(MainWindowTest, NotConnectedResetsWhatADeviceLeftBehind) {
  Form().SetHWVerText("2.0");
  Form().SetSWVerText("2.0.0.3452");
  Form().SetButtonEnabled(true);
  Form().SetProgressMax(37648);
  Form().SetProgressPosition(20000);
  Form().ShowIcon(app::iiSuccess);
  Form().DialogueState = app::dsAwaitVerdict;
  Form().ShowNotConnected();
  EXPECT_EQ(Find<QLabel>("uiLabel1")->text(), Q("Пожалуйста, подключите Vexilora к компьютеру!"));
  EXPECT_EQ(ShownIcon(), app::iiInformation);
  EXPECT_EQ(Find<QProgressBar>("uiProgressBar1")->value(), 0);
  EXPECT_FALSE(Find<QPushButton>("uiButton1")->isEnabled());
  EXPECT_EQ(Text("uiTEHWVer"), Q("Отсутствует"));
  EXPECT_EQ(Text("uiTESWVer"), Q("Отсутствует"));
  EXPECT_EQ(Form().DialogueState, 0);
}

TEST_F(MainWindowTest, EveryVersionStatusRowAsTheWindowShowsIt) {
  const char* kNoHardware =
      "Не удалось получить аппаратную версию подключенной к компьютеру Vexilora.\n"
      "Попробуйте отключить Vexilora от компьютера и подключить ее снова.";
  const char* kIncompatible =
      "Поддерживается обновление Vexilora с аппаратной версией 2.0. \n"
      "Обновление Vexilora невозможно.";
  const char* kBootloader =
      "Не удалось получить версию программного обеспечения, установленного в Vexilora.\n"
      "Тем не менее, программное обеспечение Vexilora можно обновить.";
  const char* kUpdatable =
      "Программное обеспечение подключенной к компьютеру Vexilora можно обновить.";
  const char* kDowngrade =
      "В результате обновления в Vexilora будет установленая предыдущая версия программного "
      "обеспечения.";
  struct Row {
    const char* Name;
    const char* Hardware;
    const char* Software;
    const char* Update;
    bool ButtonBefore;
    const char* Text;
    int Icon;
    bool ButtonAfter;
    const char* SoftwareAfter;
  };
  const Row rows[] = {
      {"no-hardware", "Отсутствует", "2.0.0.3452", "2.0.0.3452", false, kNoHardware, 0, false,
       "2.0.0.3452"},
      {"no-hardware-button-kept", "Отсутствует", "Отсутствует", "2.0.0.3452", true, kNoHardware, 0,
       true, "Отсутствует"},
      {"incompatible", "2.1", "2.0.0.3452", "2.0.0.3452", false, kIncompatible, 3, false,
       "2.0.0.3452"},
      {"incompatible-button-kept", "3.0", "2.0.0.3452", "2.0.0.3452", true, kIncompatible, 3, true,
       "2.0.0.3452"},
      {"bootloader", "2.0", "Отсутствует", "2.0.0.3452", false, kBootloader, 1, true, "Загрузчик"},
      {"updatable", "2.0", "2.0.0.3452", "2.0.0.3452", false, kUpdatable, 4, true, "2.0.0.3452"},
      {"older-installed", "2.0.7", "2.0.0.3000", "2.0.0.3452", false, kUpdatable, 4, true,
       "2.0.0.3000"},
      {"downgrade", "2.0", "2.0.0.3453", "2.0.0.3452", false, kDowngrade, 1, true, "2.0.0.3453"},
      {"odd-software", "2.0", "2.0.0", "2.0.0.3452", false, kBootloader, 1, true, "Загрузчик"},
      {"empty-hardware", "", "2.0.0.3452", "2.0.0.3452", false, kUpdatable, 4, true, "2.0.0.3452"},
      {"no-update-version", "2.0", "2.0.0.3452", "", false, kBootloader, 1, true, "Загрузчик"},
  };
  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  for (const Row& r : rows) {
    Form().SetHWVerText(r.Hardware);
    Form().SetSWVerText(r.Software);
    Form().SetUpVerText(r.Update);
    Form().SetButtonEnabled(r.ButtonBefore);
    Form().ShowIcon(app::iiInformation);
    Form().ShowVersionStatus();
    EXPECT_EQ(Find<QLabel>("uiLabel1")->text(), Q(r.Text)) << r.Name;
    EXPECT_EQ(ShownIcon(), r.Icon) << r.Name;
    EXPECT_EQ(Find<QPushButton>("uiButton1")->isEnabled(), r.ButtonAfter) << r.Name;
    EXPECT_EQ(Text("uiTEHWVer"), Q(r.Hardware)) << r.Name;
    EXPECT_EQ(Text("uiTESWVer"), Q(r.SoftwareAfter)) << r.Name;
    EXPECT_EQ(Text("uiTEUpVer"), Q(r.Update)) << r.Name;
    QCoreApplication::processEvents();
    apptest::SaveScreenshot(window_.get(), std::string("status-") + r.Name);
  }
}

// A utility whose own version cannot be read cannot tell which hardware its image is for: it
// offers no update at all, whatever the device, where an empty version would pass every
// hardware.
TEST_F(MainWindowTest, WithoutItsOwnVersionTheWindowOffersNoUpdate) {
  char pattern[] = "/tmp/vexilora-noversion-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string exe = dir + "/vexilora-update";
  FILE* f = std::fopen(exe.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("not a program\n", f);
  std::fclose(f);
  window_ = std::make_unique<appqt::TMainWindow>(exe);
  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  for (const char* hardware : {"2.0", "2.1", "9.9"}) {
    Form().SetHWVerText(hardware);
    Form().SetSWVerText("2.0.0.3400");
    Form().SetUpVerText("2.0.0.3452");
    Form().SetButtonEnabled(true);
    Form().ShowVersionStatus();
    EXPECT_EQ(Find<QLabel>("uiLabel1")->text(),
              Q("Не удается прочитать версию утилиты обновления: невозможно проверить, подходит "
                "ли обновление для этой Vexilora.\nОбновление Vexilora невозможно. "
                "Переустановите утилиту."))
        << hardware;
    EXPECT_EQ(ShownIcon(), app::iiNotAllowed) << hardware;
    EXPECT_FALSE(Find<QPushButton>("uiButton1")->isEnabled()) << hardware;
  }
  QCoreApplication::processEvents();
  apptest::SaveScreenshot(window_.get(), "status-no-own-version");
  window_.reset();
  std::remove(exe.c_str());
  rmdir(dir.c_str());
}

TEST_F(MainWindowTest, ExceptionsAreShownInAnErrorBoxFromAnyThread) {
  apptest::TBoxCloser closer;
  comm::ShowException(comm::Exception("on the main thread"));
  ASSERT_EQ(closer.Seen().size(), 1u);
  EXPECT_EQ(closer.Seen()[0].Title, Q(app::kApplicationTitle));
  EXPECT_EQ(closer.Seen()[0].Text, Q("on the main thread"));
  EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);

  // From a worker thread the box comes later, on the main thread, by way of the main loop.
  std::thread worker([] { comm::ShowException(comm::Exception("from a worker")); });
  worker.join();
  ASSERT_TRUE(QtWaitUntil([&] { return closer.Seen().size() == 2; }));
  EXPECT_EQ(closer.Seen()[1].Text, Q("from a worker"));
}

TEST_F(MainWindowTest, QtsLoopServesTheMainThreadQueueAlsoInsideAModalBox) {
  // Outside any box: a worker's call reaches the main thread through Qt's loop alone.
  std::atomic<bool> ran{false};
  std::thread outside([&] { platform::RunOnMainThread([&] { ran = true; }); });
  EXPECT_TRUE(QtWaitUntil([&] { return ran.load(); }));
  outside.join();

  // Inside a modal box (as the success box of the update is): the same.
  std::atomic<bool> ranInBox{false};
  bool sawItInBox = false;
  std::thread inside;
  apptest::TBoxCloser closer([&](const apptest::TSeenBox&) {
    inside = std::thread([&] { platform::RunOnMainThread([&] { ranInBox = true; }); });
    sawItInBox = QtWaitUntil([&] { return ranInBox.load(); });
  });
  Form().ShowExceptionMessage("modal");
  inside.join();
  EXPECT_TRUE(sawItInBox);
  EXPECT_EQ(closer.Seen().size(), 1u);
}

TEST_F(MainWindowTest, AStatusTextsCarriageReturnIsALineBreak) {
  Form().SetStatusText("one\rtwo");
  EXPECT_EQ(Find<QLabel>("uiLabel1")->text(), Q("one\ntwo"));
  EXPECT_EQ(Form().View().uiLabel1, "one\rtwo");
}

// Run also with QT_SCALE_FACTOR=2 (ctest app.MainWindowAtScale2): the status icon is drawn
// for the window's device-pixel ratio, whatever it is, not enlarged from a fixed picture.
TEST_F(MainWindowTest, TheStatusIconIsDrawnAtTheWindowsPixelRatio) {
  window_->show();
  ASSERT_TRUE(QtWaitUntil([&] { return window_->isVisible(); }));
  auto* image = window_->findChild<appqt::TStatusImage*>(QStringLiteral("uiImage1"));
  ASSERT_NE(image, nullptr);
  const qreal ratio = window_->devicePixelRatioF();
  if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
    EXPECT_EQ(ratio, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
  }
  for (const int icon : {app::iiSuccess, app::iiWarning}) {
    Form().ShowIcon(icon);
    EXPECT_EQ(image->Icon(), icon);
    EXPECT_TRUE(QtWaitUntil([&] { return image->DrawnIcon() == icon; }));
    EXPECT_EQ(image->Drawn().devicePixelRatio(), ratio);
    EXPECT_EQ(image->Drawn().size(), QSize(52, 52) * ratio);
  }
  // The whole window has the ratio's pixels.
  const QPixmap picture = window_->grab();
  EXPECT_EQ(picture.devicePixelRatio(), ratio);
  EXPECT_EQ(picture.size(), QSize(311, 230) * ratio);
  apptest::SaveScreenshot(window_.get(),
                          "main-at-ratio-" + std::to_string(static_cast<int>(ratio * 100)));
}

TEST(ProcessorAffinity, TheWholeProcessRunsOnItsFirstProcessorWhenItHasSeveral) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  int first = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE && first < 0; ++cpu)
    if (CPU_ISSET(cpu, &before)) first = cpu;
  // A thread that already runs when the process is pinned is pinned with it.
  std::atomic<bool> stop{false};
  std::atomic<pid_t> tid{0};
  std::thread other([&] {
    tid = gettid();
    while (!stop) std::this_thread::yield();
  });
  while (tid == 0) std::this_thread::yield();
  const bool pinned = app::PinToFirstProcessor();
  cpu_set_t after, otherAfter;
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  ASSERT_EQ(sched_getaffinity(tid, sizeof otherAfter, &otherAfter), 0);
  stop = true;
  other.join();
  if (CPU_COUNT(&before) >= 2) {
    EXPECT_TRUE(pinned);
    EXPECT_EQ(CPU_COUNT(&after), 1);
    EXPECT_TRUE(CPU_ISSET(first, &after));
    EXPECT_TRUE(CPU_EQUAL(&after, &otherAfter));
  } else {
    EXPECT_FALSE(pinned);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
  }
}

TEST(CommandLine, HelpVersionQtsOptionsAndAnythingElse) {
  struct Case {
    const char* Arguments;
    int Exit;
    const char* Output;  // a line the output holds
  };
  const Case cases[] = {
      {"--version", 0, "vexilora-update 2.0.3017.3452\nfirmware image 2.0.0.3452\n"},
      // Qt's own options are taken out before the utility looks at what is left.
      {"-platform offscreen --version", 0, "vexilora-update 2.0.3017.3452\n"},
      {"--help", 0, "Usage: vexilora-update [QT-OPTION]...\n"},
      {"--update-now", 2, "usage: vexilora-update"},
      {"--version --help", 2, "usage: vexilora-update"},
      {"--version extra", 2, "usage: vexilora-update"},
      {"-version", 2, "usage: vexilora-update"},
  };
  for (const Case& c : cases) {
    // Without a display: --help and --version alone need none.
    const std::string command =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
        VEXILORA_UPDATE_PATH + "' " + c.Arguments + " 2>&1";
    const std::string withPlatform = std::string("QT_QPA_PLATFORM=offscreen '") +
                                     VEXILORA_UPDATE_PATH + "' " + c.Arguments + " 2>&1";
    const bool alone =
        std::string(c.Arguments) == "--help" || std::string(c.Arguments) == "--version";
    FILE* pipe = popen((alone ? command : withPlatform).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << c.Arguments;
    EXPECT_EQ(WEXITSTATUS(status), c.Exit) << c.Arguments << "\n" << output;
    EXPECT_NE(output.find(c.Output), std::string::npos) << c.Arguments << "\n" << output;
  }
}

TEST(CommandLine, VersionOfAFullOutputStreamIsAFailure) {
  const std::string command =
      std::string("'") + VEXILORA_UPDATE_PATH + "' --version >/dev/full 2>/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
