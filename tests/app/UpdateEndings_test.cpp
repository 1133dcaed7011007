// How an update begins and ends in the window, end to end against the simulator: the image is
// checked and written before the first byte goes out, nobody else's bytes reach the device,
// the temporary image (and its private folder) goes at every ending, closing the window
// mid-update asks first, and SIGTERM, SIGINT and SIGHUP end the window cleanly.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/qt/Demo.h"
#include "app/qt/QuitSignals.h"
#include "platform/PortTable.h"
#include "platform/Udev.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/Pty.h"

namespace {

using apptest::QtWaitUntil;
using apptest::TBoxCloser;

using apptest::Q;

// The user that stands for someone else on the machine.
constexpr uid_t kOtherUser = 65534;

class UpdateEndingsTest : public apptest::TUpdateFixture {
 protected:
  void SetUp() override {
    TUpdateFixture::SetUp();
    char pattern[] = "/tmp/vexilora-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    runtime_ = pattern;
    // Private folders go here, where the test can see them come and go.
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    window_.reset();
    if (sim_) sim_->Stop();
    unsetenv("XDG_RUNTIME_DIR");
    std::error_code error;
    std::filesystem::remove_all(runtime_, error);
    TUpdateFixture::TearDown();
  }

  void Connect(vexsim::TOptions options) {
    sim_ = std::make_unique<vexsim::TSimulator>(options);
    ASSERT_TRUE(sim_->Start(pty_.Master()));
    ShowWithDeviceAt(pty_.SlavePath());
    ASSERT_TRUE(QtWaitUntil([&] {
      return Form().DialogueState == app::dsAwaitProbe && !Form().DataPacket1.Enabled() &&
             ButtonEnabled();
    })) << vexsim::Escape(sim_->FromHost());
  }
  void PressUpdate() { QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton); }
  // The transfer runs and a few blocks are through.
  bool WaitMidTransfer() {
    return QtWaitUntil([&] { return Form().XModem1.InProgress() && sim_->BlocksAccepted() >= 2; },
                       60000);
  }
  // An update at the line rate (the transfer takes seconds, as with a device), under way, with
  // boxes left open for the test to answer.
  void StartPacedUpdate(TBoxCloser& closer) {
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    o.PaceLine = true;
    Connect(o);
    closer.SetClosing(false);
    PressUpdate();
    ASSERT_TRUE(WaitMidTransfer());
  }
  // Files and folders the window made in the runtime folder.
  std::vector<std::string> PrivateFolders() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(runtime_.c_str())) {
      while (const dirent* e = readdir(d))
        if (std::string(e->d_name).rfind("vexilora-update-", 0) == 0) names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  // The transmitter's cancel sequence: CAN CAN CAN BS BS BS.
  bool CancelSequenceSent() const {
    return sim_->FromHost().find("\x18\x18\x18\b\b\b") != std::string::npos;
  }
  void ExpectReceivedTheEmbeddedImage() {
    const std::string image = EmbeddedImage();
    const std::string received = sim_->ReceivedImage();
    ASSERT_GE(received.size(), image.size());
    EXPECT_TRUE(received.compare(0, image.size(), image) == 0) << "the device got other bytes";
  }

  std::string runtime_;
  PtyPair pty_;
  std::unique_ptr<vexsim::TSimulator> sim_;
};

// Every way an update ends takes the temporary image with it, and its private folder (here the
// executable's folder is a shared one, so a private folder is used), and lets sleep happen.
TEST_F(UpdateEndingsTest, TheTemporaryImageGoesAtEveryEnding) {
  struct Case {
    const char* Name;
    std::function<void(vexsim::TOptions&)> Device;
    // Ends the update once the transfer is under way (null: let the device end it).
    std::function<void()> End;
  };
  const Case cases[] = {
      {"success", [](vexsim::TOptions&) {}, nullptr},
      {"device rejects the image", [](vexsim::TOptions& o) { o.ErrorAfterTransfer = true; },
       nullptr},
      {"device cancels the transfer", [](vexsim::TOptions& o) { o.CancelAfterBlock = 3; }, nullptr},
      {"device refuses every block", [](vexsim::TOptions& o) { o.NakEveryBlock = true; }, nullptr},
      {"device pulled out", [](vexsim::TOptions&) {},
       [this] {
         platform::TUdevEvent removal;
         removal.Action = platform::TUdevAction::Removal;
         removal.InterfacePath = "Vexilora_Vexilora_VEXILORA/devices/usb1/1-1";
         Form().DeviceChange(removal);
       }},
      {"window destroyed", [](vexsim::TOptions&) {}, [this] { window_.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    // A folder others may write to: the image goes into a private folder instead.
    ASSERT_EQ(chmod(ExeDir().c_str(), 01777), 0);
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    c.Device(o);
    Connect(o);
    TBoxCloser closer;
    PressUpdate();
    ASSERT_TRUE(QtWaitUntil([&] { return !Form().TempImage().PrivateFolder().empty(); }));
    const std::string folder = Form().TempImage().PrivateFolder();
    EXPECT_EQ(folder.rfind(runtime_ + "/vexilora-update-", 0), 0u) << folder;
    EXPECT_FALSE(TempImageExists());
    EXPECT_TRUE(Form().UpdateRunning());
    EXPECT_TRUE(Window().SleepInhibitor().Wanted());
    if (c.End) {
      ASSERT_TRUE(WaitMidTransfer());
      EXPECT_EQ(access((folder + "/WBlock").c_str(), F_OK), 0);
      c.End();
    }
    ASSERT_TRUE(QtWaitUntil([&] { return !window_ || !Form().UpdateRunning(); }, 120000));
    EXPECT_EQ(access(folder.c_str(), F_OK), -1) << "left behind: " << folder;
    EXPECT_TRUE(PrivateFolders().empty());
    if (window_) {
      EXPECT_FALSE(Window().SleepInhibitor().Wanted());
    }
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
}

// The image is checked and written before the first byte goes out: when the file cannot be
// made, the window says so and the device is not touched.
TEST_F(UpdateEndingsTest, AnImageThatCannotBeWrittenSendsNothing) {
  struct Case {
    const char* Name;
    std::function<bool()> Spoil;  // false: cannot be set up here
    const char* Reason;
  };
  const Case cases[] = {
      {"a folder planted at WBlock",
       [this] {
         const std::string planted = TempImagePath();
         return mkdir(planted.c_str(), 0700) == 0 &&
                std::ofstream(planted + "/inside").put('x').good();
       },
       "Is a directory"},
      {"a full disk",
       [this] {
         // A 16 KiB file system over the executable's folder, seen by this process only.
         if (unshare(CLONE_NEWNS) != 0) return false;
         if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
         return mount("tmpfs", ExeDir().c_str(), "tmpfs", 0, "size=16k,mode=0700") == 0;
       },
       "No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    Connect(o);
    if (!c.Spoil()) {
      std::printf("skipped \"%s\": cannot be set up here (%s)\n", c.Name, std::strerror(errno));
      window_.reset();
      sim_->Stop();
      sim_.reset();
      continue;
    }
    const std::string before = sim_->FromHost();
    TBoxCloser closer;
    PressUpdate();
    ASSERT_TRUE(QtWaitUntil([&] { return ShownIcon() == app::iiError; }));
    EXPECT_TRUE(Label().startsWith(Q("Не удается записать временный файл обновления: ")))
        << Label().toStdString();
    EXPECT_TRUE(Label().contains(Q("Обновление не начато, Vexilora не затронута.")));
    EXPECT_EQ(Form().View().uiLabel1Args.size(), 1u);
    EXPECT_TRUE(closer.Seen().empty());
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_FALSE(Form().UpdateRunning());
    EXPECT_FALSE(Window().SleepInhibitor().Wanted());
    // Give a wrongly sent command time to show, then: nothing went out, the device still
    // holds its application.
    QTest::qWait(300);
    EXPECT_EQ(sim_->FromHost(), before);
    EXPECT_TRUE(sim_->ApplicationValid());
    EXPECT_EQ(Form().DialogueState, app::dsAwaitProbe);
    apptest::SaveScreenshot(
        &Window(), std::string("endings-") + (c.Reason[0] == 'I' ? "planted" : "disk-full"));
    window_.reset();
    sim_->Stop();
    sim_.reset();
    if (std::string(c.Reason) == "No space left on device") umount(ExeDir().c_str());
  }
}

// Someone else on the machine plants the file, or rewrites it under the transfer: the device
// gets the embedded image all the same.
TEST_F(UpdateEndingsTest, AFileSomeoneElseWritesNeverReachesTheDevice) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  struct Case {
    const char* Name;
    mode_t FolderMode;
    bool LeftoverOpenToAll;  // a WBlock from earlier, mode 0666
  };
  const Case cases[] = {
      {"folder writable by everyone", 01777, false},
      {"folder writable by the group", 0770, false},
      {"own folder, a leftover file anyone may write", 0755, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_EQ(chmod(ExeDir().c_str(), c.FolderMode), 0);
    ASSERT_EQ(chown(ExeDir().c_str(), 0, kOtherUser), 0);
    if (c.LeftoverOpenToAll) {
      std::ofstream(TempImagePath()) << "old";
      ASSERT_EQ(chmod(TempImagePath().c_str(), 0666), 0);
    }
    // The other user: plants WBlock where it can and writes its own bytes into it whenever it
    // can open it, until told to stop. (The child of a threaded process: system calls only.)
    int stop[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string target = TempImagePath();
    const std::string junk(40000, 'J');
    const pid_t hostile = fork();
    ASSERT_GE(hostile, 0);
    if (hostile == 0) {
      close(stop[1]);
      if (setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0) _exit(3);
      char byte;
      // Until the test closes its end of the pipe.
      while (read(stop[0], &byte, 1) != 0) {
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
          [[maybe_unused]] const ssize_t n = pwrite(fd, junk.data(), junk.size(), 0);
          close(fd);
        }
        usleep(1000);
      }
      _exit(0);
    }
    // The device comes after the fork: the child holds none of the port's descriptors (nor
    // their locks).
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    Connect(o);
    TBoxCloser closer;
    const uint32_t ended = sim_->TransfersEnded();
    PressUpdate();
    const bool done = QtWaitUntil(
        [&] { return sim_->TransfersEnded() == ended + 1 && !Form().UpdateRunning(); }, 120000);
    close(stop[1]);
    close(stop[0]);
    int status = 0;
    EXPECT_EQ(waitpid(hostile, &status, 0), hostile);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(done) << Label().toStdString() << " | state " << Form().DialogueState << " | "
                      << vexsim::Escape(sim_->CommandBytes()) << " | ended "
                      << sim_->TransfersEnded();
    ExpectReceivedTheEmbeddedImage();
    EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
    window_.reset();
    sim_->Stop();
    sim_.reset();
    unlink(TempImagePath().c_str());
    ASSERT_EQ(chown(ExeDir().c_str(), 0, 0), 0);
  }
}

// Closing the window during an update asks first; the answer decides.
TEST_F(UpdateEndingsTest, ClosingDuringAnUpdateAsksFirst) {
  TBoxCloser closer;
  StartPacedUpdate(closer);
  if (HasFatalFailure()) return;

  // No: the update carries on to its end.
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(QtWaitUntil([&] { return Window().CloseQuestion() != nullptr; }));
    QMessageBox* box = Window().CloseQuestion();
    EXPECT_EQ(box->text(),
              Q("Идёт обновление Vexilora. Если закрыть окно сейчас, обновление будет прервано и "
                "Vexilora останется в загрузчике без программного обеспечения.\n\nЗакрыть окно?"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    apptest::SaveScreenshot(box, "endings-close-question");
    box->findChild<QPushButton*>("keepUpdating")->click();
  });
  EXPECT_FALSE(Window().close());
  EXPECT_TRUE(Window().isVisible());
  EXPECT_TRUE(Form().UpdateRunning());
  closer.SetClosing(true);
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().UpdateRunning(); }, 60000));
  EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
  EXPECT_FALSE(CancelSequenceSent());

  // Outside an update: closes at once, without a question.
  EXPECT_TRUE(Window().close());
  EXPECT_FALSE(Window().isVisible());
  EXPECT_EQ(Window().CloseQuestion(), nullptr);
}

TEST_F(UpdateEndingsTest, ClosingDuringAnUpdateAndSayingYesCancelsItAndCloses) {
  TBoxCloser closer;
  StartPacedUpdate(closer);
  if (HasFatalFailure()) return;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(QtWaitUntil([&] { return Window().CloseQuestion() != nullptr; }));
    Window().CloseQuestion()->findChild<QPushButton*>("closeAnyway")->click();
  });
  Window().close();
  ASSERT_TRUE(QtWaitUntil([&] { return !Window().isVisible(); }, 5000));
  // The device reads at the line rate: what was sent may still be on its way.
  EXPECT_TRUE(QtWaitUntil([&] { return CancelSequenceSent(); }))
      << "the device never heard of the cancel";
  EXPECT_FALSE(Form().ComPort1.Open());
  EXPECT_FALSE(Form().UpdateRunning());
  EXPECT_FALSE(TempImageExists());
  EXPECT_FALSE(Window().SleepInhibitor().Wanted());
  // The device went back to its commands, in its bootloader.
  EXPECT_TRUE(QtWaitUntil([&] { return sim_->Mode() == vexsim::TMode::Bootloader; }));
  EXPECT_EQ(sim_->TransfersEnded(), 0u);
}

// A signal to end the program during a transfer cancels it as the user's "yes" does; outside
// a transfer it just closes the window.
TEST_F(UpdateEndingsTest, EndSignalsCancelTheTransferAndCloseTheWindow) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    o.PaceLine = true;
    Connect(o);
    const appqt::TQuitSignals quitSignals([this](int) { Window().CancelAndClose(); });
    TBoxCloser closer;
    PressUpdate();
    ASSERT_TRUE(WaitMidTransfer());
    ASSERT_EQ(raise(sig), 0);
    ASSERT_TRUE(QtWaitUntil([&] { return !Window().isVisible(); }, 5000));
    EXPECT_TRUE(QtWaitUntil([&] { return CancelSequenceSent(); }));
    EXPECT_FALSE(Form().ComPort1.Open());
    EXPECT_FALSE(TempImageExists());
    EXPECT_TRUE(closer.Seen().empty());
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
  // Outside a transfer.
  vexsim::TOptions o = apptest::QuickDevice();
  Connect(o);
  const appqt::TQuitSignals quitSignals([this](int) { Window().CancelAndClose(); });
  ASSERT_EQ(raise(SIGHUP), 0);
  ASSERT_TRUE(QtWaitUntil([&] { return !Window().isVisible(); }, 5000));
  EXPECT_FALSE(CancelSequenceSent());
  EXPECT_EQ(sim_->FromHost().find("wr_prog"), std::string::npos);
}

// In the self-driving mode a signal during the transfer ends the run as it ends the window: the
// cancelled transfer brings the window back to rest on its way out, which the mode must not
// take for an update that failed (the program would then exit 1 instead of 0).
TEST_F(UpdateEndingsTest, AnEndSignalStopsTheSelfDrivingModeWithoutAVerdict) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.PaceLine = true;
  Connect(o);
  const appqt::TQuitSignals quitSignals([this](int) { Window().CancelAndClose(); });
  appqt::TDemo demo;
  demo.Attach(Window());
  ASSERT_TRUE(WaitMidTransfer());
  ASSERT_EQ(raise(SIGINT), 0);
  ASSERT_TRUE(QtWaitUntil([&] { return !Window().isVisible(); }, 5000));
  ASSERT_TRUE(QtWaitUntil([&] { return demo.Stopped() || demo.Finished(); }, 5000));
  EXPECT_TRUE(demo.Stopped());
  EXPECT_EQ(demo.ExitCode(), 0);
  EXPECT_FALSE(TempImageExists());
}

// A signal while a box is open: the success box (the transfer is done; the step goes on and
// the device is told to run), or the close question (the transfer is cancelled).
TEST_F(UpdateEndingsTest, AnEndSignalWhileABoxIsOpenClosesItAndTheWindow) {
  for (const bool atQuestion : {false, true}) {
    SCOPED_TRACE(atQuestion ? "at the close question" : "at the success box");
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    o.PaceLine = true;
    Connect(o);
    const appqt::TQuitSignals quitSignals([this](int) { Window().CancelAndClose(); });
    TBoxCloser closer;
    closer.SetClosing(false);
    PressUpdate();
    if (atQuestion) {
      ASSERT_TRUE(WaitMidTransfer());
      QTimer::singleShot(0, [&] {
        ASSERT_TRUE(QtWaitUntil([&] { return Window().CloseQuestion() != nullptr; }));
        raise(SIGTERM);
      });
      EXPECT_FALSE(Window().close());
      // From here no box may wait for anyone.
      closer.SetClosing(true);
    } else {
      // The box runs its own loop: the signal goes from a timer that fires inside it.
      int stateAtBox = -1;
      QTimer poll;
      QObject::connect(&poll, &QTimer::timeout, [&] {
        if (stateAtBox >= 0 || apptest::FindMessageBox() == nullptr) return;
        stateAtBox = Form().DialogueState;
        raise(SIGTERM);
      });
      poll.start(10);
      const bool signalled = QtWaitUntil([&] { return stateAtBox >= 0; }, 60000);
      closer.SetClosing(true);
      ASSERT_TRUE(signalled);
      EXPECT_EQ(stateAtBox, app::dsAwaitRunning);
    }
    ASSERT_TRUE(QtWaitUntil([&] { return !Window().isVisible(); }, 10000));
    EXPECT_EQ(apptest::FindMessageBox(), nullptr);
    EXPECT_EQ(Window().CloseQuestion(), nullptr);
    EXPECT_FALSE(Form().ComPort1.Open());
    EXPECT_FALSE(Form().UpdateRunning());
    EXPECT_FALSE(TempImageExists());
    if (atQuestion) {
      EXPECT_TRUE(QtWaitUntil([&] { return CancelSequenceSent(); }));
    } else {
      EXPECT_TRUE(QtWaitUntil([&] {
        const std::vector<std::string> c = sim_->Commands();
        return std::find(c.begin(), c.end(), "run") != c.end();
      }));
      EXPECT_FALSE(CancelSequenceSent());
    }
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
}

}  // namespace
