// The device dialogue and the update end to end: the real window offscreen, the simulator
// playing the Vexilora on a serial line, the bytes on the wire checked exactly.

#include <dirent.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/PassWindow.h"
#include "packet/DataPacketManager.h"
#include "platform/Clock.h"
#include "platform/PortTable.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/Pty.h"

namespace {

using apptest::QtWaitUntil;
using apptest::TBoxCloser;
using apptest::UnnamedThreads;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kUpdatable =
    "Программное обеспечение подключенной к компьютеру Vexilora можно обновить.";
const char* const kBootloaderText =
    "Не удалось получить версию программного обеспечения, установленного в Vexilora.\n"
    "Тем не менее, программное обеспечение Vexilora можно обновить.";
const char* const kNoReply =
    "Не удается получить ответ от Vexilora. Пожалуйста, отключите её от компьютера и "
    "подключите снова.";
const char* const kUpdated = "Программное обеспечение Vexilora успешно обновлено.";

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// Types text as key presses carrying the characters.
void Type(QWidget* w, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(w, &release);
  }
}

class UpdateTest : public apptest::TUpdateFixture {
 protected:
  void TearDown() override {
    window_.reset();
    if (sim_) sim_->Stop();
    TUpdateFixture::TearDown();
  }

  // Powers the simulated device up on the line and shows the window with the device
  // announced on that line: the first search opens the port and the query begins.
  void Connect(vexsim::TOptions options) {
    options.ImagePath = ExeDir() + "/received.bin";
    sim_ = std::make_unique<vexsim::TSimulator>(options);
    ASSERT_TRUE(sim_->Start(pty_.Master()));
    Form().DevicePresent = true;
    Form().ComName = "COM" + std::to_string(platform::EnterPortPath(pty_.SlavePath()));
    Window().show();
  }

  // The query has ended with the version presentation.
  bool WaitQueryShown() {
    return QtWaitUntil([&] {
      return Form().DialogueState == 0 && !Form().DataPacket1.Enabled() &&
             Label() != Q("Подключите изделие к ПК.") &&
             Label() != Q("Пожалуйста, подключите Vexilora к компьютеру!");
    });
  }

  // The command bytes the device took since the given count.
  std::string CommandsSince(size_t from) const { return sim_->CommandBytes().substr(from); }

  // Presses the update button; with a password asked for, types it into the password window
  // and confirms.
  void PressUpdate(const char* password = nullptr) {
    QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
    if (password == nullptr) return;
    ASSERT_FALSE(Window().PasswordWindows().empty());
    appqt::TForm2* w = Window().PasswordWindows().back().get();
    ASSERT_TRUE(QtWaitUntil([&] { return w->isVisible(); }));
    Type(w->TextEdit(), Q(password));
    QTest::mouseClick(w->OkButton(), Qt::LeftButton);
  }

  // The received image is the embedded one, filled to the end of its last block.
  void ExpectReceivedImageIsTheEmbeddedOne() {
    const std::string image = EmbeddedImage();
    const std::string received = sim_->ReceivedImage();
    ASSERT_GE(received.size(), image.size());
    EXPECT_TRUE(received.compare(0, image.size(), image) == 0) << "image differs";
    EXPECT_EQ(received.substr(image.size()), std::string(received.size() - image.size(), '\x1A'));
    std::ifstream saved(ExeDir() + "/received.bin", std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(saved), {}};
    EXPECT_EQ(file, received);
  }

  PtyPair pty_;
  std::unique_ptr<vexsim::TSimulator> sim_;
};

TEST_F(UpdateTest, EachQueryDialogue) {
  struct Case {
    const char* Name;
    bool Bootloader;
    const char* Password;
    const char* Wire;
    const char* Software;
    int Icon;
    const char* Text;
    bool PasswordRequired;
  };
  const Case cases[] = {
      {"query-application", false, "", "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n",
       "2.0.0.3400", app::iiSuccess, kUpdatable, false},
      {"query-bootloader", true, "", "\r\nloader\r\nverhw?\r\npass?\r\n", "Загрузчик",
       app::iiWarning, kBootloaderText, false},
      {"query-application-password", false, "1234",
       "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n", "2.0.0.3400", app::iiSuccess,
       kUpdatable, true},
      {"query-bootloader-password", true, "1234", "\r\nloader\r\nverhw?\r\npass?\r\n", "Загрузчик",
       app::iiWarning, kBootloaderText, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = c.Bootloader;
    o.Password = c.Password;
    Connect(o);
    ASSERT_TRUE(WaitQueryShown()) << vexsim::Escape(sim_->FromHost()) << " | "
                                  << vexsim::Escape(sim_->ToHost()) << " | state "
                                  << Form().DialogueState;
    EXPECT_EQ(sim_->CommandBytes(), c.Wire);
    EXPECT_EQ(Box("uiTEHWVer"), Q("2.0"));
    EXPECT_EQ(Box("uiTESWVer"), Q(c.Software));
    EXPECT_EQ(Box("uiTEUpVer"), Q("2.0.0.3452"));
    EXPECT_EQ(Label(), Q(c.Text));
    EXPECT_EQ(ShownIcon(), c.Icon);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(Form().PasswordRequired, c.PasswordRequired);
    EXPECT_EQ(sim_->Mode(), vexsim::TMode::Bootloader);  // the query leaves it there
    apptest::SaveScreenshot(&Window(), std::string("e2e-") + c.Name);
    // Next case: a new window and a new device.
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
}

TEST_F(UpdateTest, EachUpdateDialogue) {
  struct Case {
    const char* Name;
    bool Bootloader;         // the device starts in its bootloader
    bool BackToApplication;  // re-plugged between the query and the click: its application
    const char* DevicePassword;
    const char* Typed;
    const char* Wire;  // the command bytes from the click on
  };
  const Case cases[] = {
      {"update-bootloader", true, false, "", nullptr, "\r\nloader\r\nwr_prog\r\nrun\r\nversw?\r\n"},
      {"update-bootloader-password", true, false, "1234", "1234",
       "\r\nloader\r\npass=1234\r\nwr_prog\r\nrun\r\nversw?\r\n"},
      {"update-after-query", false, false, "", nullptr,
       "\r\nloader\r\nwr_prog\r\nrun\r\nversw?\r\n"},
      {"update-application", false, true, "", nullptr,
       "\r\nloader\r\nboot\r\nwr_prog\r\nrun\r\nversw?\r\n"},
      {"update-application-password", false, true, "1234", "1234",
       "\r\nloader\r\nboot\r\npass=1234\r\nwr_prog\r\nrun\r\nversw?\r\n"},
      // The password goes on the wire in the device's code page, Windows-1251.
      {"update-cyrillic-password", true, false, "\xCF\xE0\xF0", "Пар",
       "\r\nloader\r\npass=\xCF\xE0\xF0\r\nwr_prog\r\nrun\r\nversw?\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = c.Bootloader;
    o.Password = c.DevicePassword;
    Connect(o);
    ASSERT_TRUE(WaitQueryShown());
    if (c.BackToApplication) {
      sim_->Stop();
      ASSERT_TRUE(sim_->Start(pty_.Master()));
      ASSERT_EQ(sim_->Mode(), vexsim::TMode::Application);
    }
    const size_t before = sim_->CommandBytes().size();

    // At the success box: the transfer is complete, "run" not yet sent.
    bool runBeforeBox = true;
    int progressAtBox = -1, maximumAtBox = -1;
    bool tempAtBox = false;
    TBoxCloser closer([&](const apptest::TSeenBox&) {
      const std::vector<std::string> commands = sim_->Commands();
      runBeforeBox = std::find(commands.begin(), commands.end(), "run") != commands.end();
      progressAtBox = Progress()->value();
      maximumAtBox = Progress()->maximum();
      tempAtBox = TempImageExists();
    });
    PressUpdate(c.Typed);
    ASSERT_TRUE(QtWaitUntil(
        [&] { return Form().DialogueState == 0 && Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000));
    EXPECT_EQ(CommandsSince(before), c.Wire);
    ASSERT_EQ(closer.Seen().size(), 1u);
    EXPECT_EQ(closer.Seen()[0].Title, QString());
    EXPECT_EQ(closer.Seen()[0].Text, Q(kUpdated));
    EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Information);
    EXPECT_FALSE(runBeforeBox);
    EXPECT_EQ(maximumAtBox, 37648);
    EXPECT_EQ(progressAtBox, 37648);
    EXPECT_TRUE(tempAtBox);
    EXPECT_FALSE(TempImageExists());
    ExpectReceivedImageIsTheEmbeddedOne();
    EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
    EXPECT_EQ(Label(), Q(kUpdatable));
    EXPECT_EQ(ShownIcon(), app::iiSuccess);
    EXPECT_TRUE(ButtonEnabled());
    // The packet keeps the settings of the end of the update.
    EXPECT_EQ(Form().DataPacket1.TimeOut(), 1000);
    EXPECT_EQ(Form().DataPacket1.EndString(), "\r");
    apptest::SaveScreenshot(&Window(), std::string("e2e-") + c.Name);
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
}

// Started from a working folder where neither the trace nor the log can be written (their
// names are taken by folders): the first close of the port, at the press of the update
// button, says so once on standard error, and the update goes through as anywhere else.
TEST_F(UpdateTest, AnUpdateFromAFolderWhereTheTraceCannotBeWrittenProceeds) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(ExeDir()) / "working";
  fs::create_directories(folder / "COMM.TRC");
  fs::create_directories(folder / "COMM.LOG");
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  struct TBack {
    fs::path to;
    ~TBack() { fs::current_path(to); }
  } back{before};

  Connect(apptest::QuickDevice());
  ASSERT_TRUE(WaitQueryShown());
  TBoxCloser closer;
  testing::internal::CaptureStderr();
  PressUpdate();
  const bool updated = QtWaitUntil([&] { return Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000);
  window_.reset();  // its last close writes nothing either
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(updated) << vexsim::Escape(sim_->CommandBytes());
  EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
  ASSERT_EQ(closer.Seen().size(), 1u);
  EXPECT_EQ(closer.Seen()[0].Text, Q(kUpdated));
  std::vector<std::string> reports;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (line.find("cannot write") != std::string::npos) reports.push_back(line);
  ASSERT_EQ(reports.size(), 1u) << err;
  EXPECT_NE(reports[0].find((folder / "COMM.TRC").string() + ": Is a directory"), std::string::npos)
      << reports[0];
  EXPECT_NE(reports[0].find((folder / "COMM.LOG").string() + ": Is a directory"), std::string::npos)
      << reports[0];
  EXPECT_TRUE(fs::is_directory(folder / "COMM.TRC"));
}

TEST_F(UpdateTest, AWrongPasswordEndsTheUpdateSilently) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.Password = "1234";
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  const QString shown = Label();
  const size_t before = sim_->CommandBytes().size();
  TBoxCloser closer;
  PressUpdate("9999");
  ASSERT_TRUE(QtWaitUntil([&] { return CommandsSince(before) == "\r\nloader\r\npass=9999\r\n"; }));
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().DataPacket1.AutoEnable(); }));
  EXPECT_EQ(Form().DialogueState, 0);
  EXPECT_EQ(Label(), shown);
  EXPECT_TRUE(closer.Seen().empty());
  EXPECT_EQ(sim_->TransfersEnded(), 0u);
  apptest::SaveScreenshot(&Window(), "e2e-wrong-password");
}

TEST_F(UpdateTest, ALineThatNeverEndsGivesTheTimeoutMessage) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.UnendedReplyTo = "versw?";
  Connect(o);
  // The reply has begun: the packet collects it, and its timeout runs. (The packet shows
  // Collecting before it starts its timer; a timer started after the clock has moved would
  // count from the moved clock and never be due.)
  auto timeoutRuns = [&] {
    std::lock_guard lock(comm::PacketLock());
    comm::TDataPacketManager* manager = Form().DataPacket1.Manager();
    comm::TBaseDispatcher* dispatcher = Form().ComPort1.ActiveDispatcher();
    if (manager == nullptr || dispatcher == nullptr) return false;
    for (const comm::TTimerTrigger& t : dispatcher->TimerTriggers())
      if (t.Handle == manager->TimerHandle()) return t.Active;
    return false;
  };
  ASSERT_TRUE(QtWaitUntil([&] {
    return Form().DataPacket1.PacketState() == comm::TPacketState::Collecting &&
           sim_->ToHost().find("VERSW=") != std::string::npos && timeoutRuns();
  }));
  // 27.5 s of the packet's 500 ticks pass at once on the clock.
  platform::SetClockOffsetForTesting(30000);
  ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(kNoReply); }));
  EXPECT_EQ(Form().DialogueState, 0);
  EXPECT_FALSE(Form().DataPacket1.Enabled());
  EXPECT_FALSE(Form().DataPacket1.AutoEnable());
  // Icon, boxes and button stay as they were.
  EXPECT_EQ(ShownIcon(), app::iiInformation);
  EXPECT_EQ(Box("uiTEHWVer"), Q("Отсутствует"));
  EXPECT_FALSE(ButtonEnabled());
  apptest::SaveScreenshot(&Window(), "e2e-timeout");
}

TEST_F(UpdateTest, ErrorAfterTheTransferKeepsTheButtonOffAndTheFile) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.ErrorAfterTransfer = true;
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  const QString shown = Label();
  TBoxCloser closer;
  PressUpdate();
  ASSERT_TRUE(QtWaitUntil([&] { return sim_->TransfersEnded() == 1; }, 60000));
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().DataPacket1.AutoEnable(); }));
  EXPECT_EQ(Form().DialogueState, 0);
  EXPECT_TRUE(closer.Seen().empty());
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_TRUE(TempImageExists());
  EXPECT_EQ(Label(), shown);
  apptest::SaveScreenshot(&Window(), "e2e-error-after-transfer");
}

TEST_F(UpdateTest, AStepsExceptionReachesTheErrorBoxAndTheProgramGoesOn) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  // Someone planted a link where the temporary image goes: it is not written through.
  const std::string victim = ExeDir() + "/victim";
  std::ofstream(victim) << "keep";
  ASSERT_EQ(symlink(victim.c_str(), TempImagePath().c_str()), 0);
  TBoxCloser closer;
  PressUpdate();
  ASSERT_TRUE(QtWaitUntil([&] { return !closer.Seen().empty(); }, 30000));
  EXPECT_EQ(closer.Seen()[0].Title, Q(app::kApplicationTitle));
  EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);
  EXPECT_TRUE(closer.Seen()[0].Text.contains(QString::fromStdString(TempImagePath())))
      << closer.Seen()[0].Text.toStdString();
  // The state the step had set stays; no transfer started; the button still offers a retry.
  EXPECT_EQ(Form().DialogueState, 15);
  EXPECT_FALSE(Form().XModem1.InProgress());
  EXPECT_TRUE(ButtonEnabled());
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
  apptest::SaveScreenshot(&Window(), "e2e-step-exception");
}

TEST_F(UpdateTest, ATransferTheProtocolGivesUpBringsTheButtonBack) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.NakEveryBlock = true;
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  TBoxCloser closer;
  PressUpdate();
  // The device refuses every block until the protocol gives up; no verdict line comes.
  ASSERT_TRUE(QtWaitUntil([&] { return sim_->NaksSent() > 1; }, 60000));
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().XModem1.InProgress() && ButtonEnabled(); }, 90000));
  EXPECT_EQ(Form().DialogueState, 15);
  EXPECT_TRUE(closer.Seen().empty());
  EXPECT_TRUE(TempImageExists());
  EXPECT_GT(sim_->NaksSent(), 1u);
  apptest::SaveScreenshot(&Window(), "e2e-transfer-given-up");
}

TEST_F(UpdateTest, ThePauseBeforeTheVersionQueryKeepsPainting) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  // Paints of the window while the dialogue sits in its pause (state 17 before "versw?").
  int paintsInPause = 0;
  struct TPaintCounter : QObject {
    std::function<void()> onPaint;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::Paint) onPaint();
      return QObject::eventFilter(o, e);
    }
  } counter;
  counter.onPaint = [&] {
    const auto commands = sim_->Commands();
    if (Form().DialogueState == 17 && std::count(commands.begin(), commands.end(), "versw?") == 0)
      ++paintsInPause;
  };
  Find<QLabel>("uiLabel1")->installEventFilter(&counter);
  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, [&] { Find<QLabel>("uiLabel1")->update(); });
  repaint.start(50);
  TBoxCloser closer;
  PressUpdate();
  ASSERT_TRUE(QtWaitUntil([&] { return Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000));
  EXPECT_GT(paintsInPause, 3);
  // The version query left a second after the device's "OK" to "run".
  const std::vector<vexsim::TChunk> transcript = sim_->Transcript();
  std::chrono::steady_clock::time_point okToRun{}, versw{};
  bool afterRun = false;
  for (const vexsim::TChunk& chunk : transcript) {
    if (chunk.Direction == vexsim::TDirection::FromHost &&
        chunk.Bytes.find("run") != std::string::npos)
      afterRun = true;
    if (afterRun && chunk.Direction == vexsim::TDirection::ToHost &&
        chunk.Bytes.find("OK") != std::string::npos &&
        okToRun == std::chrono::steady_clock::time_point{})
      okToRun = chunk.Time;
    if (afterRun && chunk.Direction == vexsim::TDirection::FromHost &&
        chunk.Bytes.find("versw?") != std::string::npos)
      versw = chunk.Time;
  }
  ASSERT_NE(okToRun, std::chrono::steady_clock::time_point{});
  ASSERT_NE(versw, std::chrono::steady_clock::time_point{});
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(versw - okToRun).count(), 990);
}

TEST_F(UpdateTest, TwentyUpdatesInARowKeepMemoryAndDescriptorsSteady) {
  // Unnamed threads before the device. A sanitizer runtime starts a thread of its own with the
  // first thread the process makes: let that happen first.
  std::thread([] {}).join();
  const int threadsBefore = UnnamedThreads();
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.HandshakeIntervalMs = 100;
  Connect(o);
  ASSERT_TRUE(WaitQueryShown());
  TBoxCloser closer;
  long rssAfterTwo = 0;
  int fdsAfterTwo = 0;
  for (int i = 1; i <= 20; ++i) {
    const uint32_t ended = sim_->TransfersEnded();
    PressUpdate();
    ASSERT_TRUE(QtWaitUntil(
        [&] {
          return sim_->TransfersEnded() == ended + 1 && Form().DialogueState == 0 &&
                 ButtonEnabled();
        },
        60000))
        << "update " << i;
    if (i == 2) {
      rssAfterTwo = ResidentKb();
      fdsAfterTwo = OpenDescriptors();
    }
  }
  EXPECT_EQ(closer.Seen().size(), 20u);
  EXPECT_EQ(OpenDescriptors(), fdsAfterTwo);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Eighteen more updates may not keep what they used: allow a little for allocator noise.
  // (The sanitizers hold freed memory back on purpose; there the leak check at exit and the
  // descriptor count stand for this.)
  EXPECT_LT(ResidentKb() - rssAfterTwo, 4096) << "KiB grown over 18 updates";
#else
  (void)rssAfterTwo;
#endif
  EXPECT_FALSE(TempImageExists());
  // The port's four worker threads end with the window.
  window_.reset();
  sim_->Stop();
  EXPECT_TRUE(QtWaitUntil([&] { return UnnamedThreads() == threadsBefore; }, 10000))
      << UnnamedThreads() << " threads left, " << threadsBefore << " before";
}

}  // namespace
