// The update with the device found through udev (umockdev in this process) and pulled out at
// the worst moments: in the middle of the transfer, while the success box is open, during the
// pause before the version query. No crash, no hang, the port's threads gone, "not
// connected" shown, and plugging the device back in queries it again.

#include <dirent.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <thread>

#include "app/qt/Demo.h"
#include "platform/PortTable.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/MockUsb.h"

namespace {

using apptest::QtWaitUntil;
using apptest::TBoxCloser;
using apptest::UnnamedThreads;

using apptest::Q;

using apptest::kNoReply;
using apptest::kNotConnected;
using apptest::kUnplugged;
using apptest::kUpdatable;

class UpdateHotplugTest : public apptest::TUpdateFixture {
 protected:
  void SetUp() override {
    TUpdateFixture::SetUp();
    mock_ = std::make_unique<TMockUsb>();
    // A sanitizer runtime starts a thread of its own with the process's first thread.
    std::thread([] {}).join();
    baselineThreads_ = UnnamedThreads();
  }
  void TearDown() override {
    window_.reset();
    if (sim_) sim_->Stop();
    mock_.reset();
    TUpdateFixture::TearDown();
  }

  // The device is there before the program starts: the first search finds it (an arrival
  // heard as well would start the dialogue a second time, as it does on a real system when
  // a device arrives while the search runs).
  void PlugInAndShow(vexsim::TOptions options) {
    options.HangUp = [this](int) { vanished_ = true; };
    sim_ = std::make_unique<vexsim::TSimulator>(options);
    device_ = mock_->PlugIn();
    ASSERT_TRUE(sim_->Start(device_.Master));
    Window().show();
  }

  // The device vanishes as the kernel shows it: its line hangs up, then udev reports it gone.
  void Pull() {
    sim_->Stop();
    mock_->HangUp(device_);
    mock_->PullOut(device_);
  }

  // Plugs the same device back in (a new node) and lets it power up.
  void Replug() {
    device_ = mock_->PlugIn();
    ASSERT_TRUE(sim_->Start(device_.Master));
  }

  // A timer of the reply limit's length, armed now, has fired: one the window armed before
  // would have fired first.
  bool WaitPastReplyLimit() {
    bool fired = false;
    QTimer::singleShot(static_cast<int>(Form().ReplyTimeout()), [&fired] { fired = true; });
    return QtWaitUntil([&] { return fired; }, 60000);
  }

  // The search afresh held back during the update has run.
  bool WaitHeldBackChangesHandled() {
    return QtWaitUntil([&] { return !Form().ChangesHeldBack() && Window().DeviceWatch().Idle(); });
  }

  bool WaitQueryShown() {
    return QtWaitUntil([&] {
      return Form().DialogueState == 0 && !Form().DataPacket1.AutoEnable() && ButtonEnabled();
    });
  }

  // What the device and the window show, for a failure message.
  std::string Diagnose() {
    return "device took \"" + vexsim::Escape(sim_->CommandBytes()) + "\" and sent \"" +
           vexsim::Escape(sim_->ToHost()) + "\"; state " + std::to_string(Form().DialogueState) +
           ", port " + std::to_string(Form().ComPort1.OpenState()) + " on " +
           std::to_string(Form().ComPort1.ComNumber()) + ", status \"" + Label().toStdString() +
           "\"";
  }

  // No device: the window says so (for a device pulled out in the middle of its update, that
  // the update did not complete), and the port and its threads are gone.
  void ExpectNotConnectedAndQuiet(const char* text = kNotConnected, int icon = app::iiInformation) {
    ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(text); })) << Label().toStdString();
    EXPECT_EQ(ShownIcon(), icon);
    EXPECT_EQ(Progress()->value(), 0);
    // A close asked for while a delivery ran finishes once the dispatch thread has left it.
    EXPECT_TRUE(QtWaitUntil([&] { return !Form().ComPort1.Open(); }));
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(Box("uiTEHWVer"), Q("Отсутствует"));
    EXPECT_EQ(Box("uiTESWVer"), Q("Отсутствует"));
    EXPECT_EQ(Form().DialogueState, 0);
    EXPECT_FALSE(Form().DevicePresent);
    // The port's four worker threads have ended (the device's thread too).
    // (umockdev's own threads come and go; none of the port's may stay.)
    EXPECT_TRUE(QtWaitUntil([&] { return UnnamedThreads() <= baselineThreads_; }))
        << UnnamedThreads() << " unnamed threads, " << baselineThreads_ << " before";
  }

  std::unique_ptr<TMockUsb> mock_;
  std::unique_ptr<vexsim::TSimulator> sim_;
  TMockDevice device_;
  std::atomic<bool> vanished_{false};
  int baselineThreads_ = 0;
};

TEST_F(UpdateHotplugTest, TheWholeUpdateWithTheDeviceFoundThroughUdev) {
  vexsim::TOptions o = apptest::QuickDevice();
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  EXPECT_EQ(sim_->CommandBytes(), "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n");
  EXPECT_EQ(Form().ComName, "COM" + std::to_string(Form().ComPort1.ComNumber()));
  TBoxCloser closer;
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000));
  EXPECT_EQ(Label(), Q(kUpdatable));
  EXPECT_EQ(closer.Seen().size(), 1u);
  EXPECT_FALSE(TempImageExists());
  apptest::SaveScreenshot(&Window(), "e2e-udev-update");
}

TEST_F(UpdateHotplugTest, PulledInTheMiddleOfTheTransfer) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.HangUpAfterBlock = 12;
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  TBoxCloser closer;
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return vanished_.load(); }, 60000));
  EXPECT_TRUE(QtWaitUntil([&] { return Progress()->value() > 0; }));
  Pull();
  ExpectNotConnectedAndQuiet(kUnplugged, app::iiError);
  EXPECT_EQ(Form().UpdateOutcome(), app::uoUnplugged);
  EXPECT_FALSE(Form().XModem1.InProgress());
  EXPECT_TRUE(closer.Seen().empty());
  EXPECT_FALSE(TempImageExists());  // an interrupted update takes its file along
  apptest::SaveScreenshot(&Window(), "e2e-pulled-mid-transfer");

  // Back in: it comes up in its bootloader (its image is incomplete) and is queried again.
  // (A fresh simulator stands for it: the one that hung up keeps ignoring its input.)
  sim_->Stop();
  vexsim::TOptions back = apptest::QuickDevice();
  back.StartInBootloader = true;
  sim_ = std::make_unique<vexsim::TSimulator>(back);
  const size_t before = 0;
  Replug();
  ASSERT_TRUE(WaitQueryShown()) << vexsim::Escape(sim_->CommandBytes().substr(before)) << " | "
                                << vexsim::Escape(sim_->ToHost()) << " | state "
                                << Form().DialogueState << " " << Label().toStdString();
  EXPECT_EQ(sim_->CommandBytes().substr(before), "\r\nloader\r\nverhw?\r\npass?\r\n");
  EXPECT_EQ(Box("uiTESWVer"), Q("Загрузчик"));
  EXPECT_TRUE(ButtonEnabled());
}

TEST_F(UpdateHotplugTest, PulledWhileTheSuccessBoxIsOpen) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  bool removalWaitedForTheBox = false;
  TBoxCloser closer([&](const apptest::TSeenBox&) {
    Pull();
    // udev's removal reaches the window while the box is open; it waits for the step.
    QtWaitUntil([&] { return Window().DeviceWatch().Idle(); }, 5000);
    removalWaitedForTheBox = Form().ComPort1.Open() && Form().DevicePresent;
  });
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return !closer.Seen().empty(); }, 60000));
  EXPECT_TRUE(removalWaitedForTheBox);
  ExpectNotConnectedAndQuiet(kUnplugged, app::iiError);
  EXPECT_EQ(closer.Seen().size(), 1u);
  apptest::SaveScreenshot(&Window(), "e2e-pulled-at-success-box");
  Replug();
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  EXPECT_EQ(Box("uiTESWVer"), Q("2.0.0.3452"));  // the new application answers
}

// The self-driving mode says done only for an update the device confirmed. Pulled out after it
// accepted the image (as "run" reaches it) and plugged in again, the device reports the image's
// version to the window's query, yet this update never ended so, and the query has left the
// device in its bootloader: the mode fails, as a user told to repeat the update would.
TEST_F(UpdateHotplugTest, TheSelfDrivingModeCountsOnlyAConfirmedUpdate) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  auto first = std::make_shared<std::atomic<bool>>(true);
  o.Interrupt = [first](const std::string& moment) {
    return moment == "cmd run" && first->exchange(false);
  };
  PlugInAndShow(o);
  appqt::TDemo demo;
  demo.Attach(Window());
  ASSERT_TRUE(QtWaitUntil([&] { return vanished_.load(); }, 60000)) << Diagnose();
  Pull();
  Replug();
  ASSERT_TRUE(QtWaitUntil([&] { return demo.Finished(); }, 60000)) << Diagnose();
  EXPECT_EQ(demo.ExitCode(), 1);
  EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
}

TEST_F(UpdateHotplugTest, PulledDuringThePauseBeforeTheVersionQuery) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  TBoxCloser closer;
  bool pulled = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!pulled && Form().DialogueState == 17) {
      pulled = true;
      Pull();
    }
  });
  watch.start(5);
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return pulled; }, 60000));
  ExpectNotConnectedAndQuiet(kUnplugged, app::iiError);
  watch.stop();
  apptest::SaveScreenshot(&Window(), "e2e-pulled-in-pause");
}

// A second Vexilora plugged in while the first one's port is open: the port moves to it (the
// last one found wins), it hears the whole query, the window shows its versions, and it can
// be updated. No box on the way.
TEST_F(UpdateHotplugTest, ASecondDeviceTakesThePortAndIsQueriedAndUpdated) {
  vexsim::TOptions o = apptest::QuickDevice();
  sim_ = std::make_unique<vexsim::TSimulator>(o);
  TUsbDescription firstPlace;
  firstPlace.Location = "1-1";
  device_ = mock_->PlugIn(firstPlace);
  ASSERT_TRUE(sim_->Start(device_.Master));
  TBoxCloser closer;
  Window().show();
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  ASSERT_EQ(Box("uiTESWVer"), Q("2.0.0.3400"));

  vexsim::TOptions o2 = apptest::QuickDevice();
  o2.SoftwareVersion = "2.0.0.3411";
  o2.HardwareVersion = "2.0";
  vexsim::TSimulator second(o2);
  TUsbDescription secondPlace;
  secondPlace.Location = "1-2";  // enumerated after the first: the port moves to it
  TMockDevice other = mock_->PlugIn(secondPlace);
  ASSERT_TRUE(second.Start(other.Master));
  ASSERT_TRUE(QtWaitUntil([&] {
    return second.CommandBytes() == "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n" &&
           Form().DialogueState == 0 && Box("uiTESWVer") == Q("2.0.0.3411") && ButtonEnabled();
  })) << "second device took \""
      << vexsim::Escape(second.CommandBytes()) << "\"; " << Diagnose();
  EXPECT_EQ(Form().ComPort1.ComNumber(), platform::EnterPortPath(other.DevicePath));
  EXPECT_EQ(Box("uiTEHWVer"), Q("2.0"));
  EXPECT_TRUE(closer.Seen().empty()) << closer.Seen().front().Text.toStdString();
  apptest::SaveScreenshot(&Window(), "e2e-second-device");

  // The button still works: the second device gets the update.
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000))
      << "second device took \"" << vexsim::Escape(second.CommandBytes()) << "\"";
  EXPECT_EQ(second.SoftwareVersion(), "2.0.0.3452");
  EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3400");
  ASSERT_EQ(closer.Seen().size(), 1u);  // the success box
  EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Information);
  second.Stop();
}

// A quick re-plug as udev may report it: the new node's arrival is handled before the old
// node's removal. Whichever of the two the search finds last, the window ends up on the new
// node with its versions shown, no box, and an update that works.
TEST_F(UpdateHotplugTest, AReplugWhoseArrivalComesBeforeTheRemoval) {
  vexsim::TOptions o = apptest::QuickDevice();
  sim_ = std::make_unique<vexsim::TSimulator>(o);
  TUsbDescription place;
  place.Location = "1-2";
  device_ = mock_->PlugIn(place);
  ASSERT_TRUE(sim_->Start(device_.Master));
  TBoxCloser closer;
  Window().show();
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();

  // First back at a port enumerated after the old node, then at one enumerated before it.
  for (const char* location : {"1-3", "1-1"}) {
    SCOPED_TRACE(location);
    sim_->Stop();
    mock_->HangUp(device_);
    TUsbDescription back;
    back.Location = location;
    const TMockDevice old = device_;
    device_ = mock_->PlugIn(back);
    ASSERT_TRUE(sim_->Start(device_.Master));
    ASSERT_TRUE(QtWaitUntil([&] { return Window().DeviceWatch().Idle(); }));
    mock_->PullOut(old);
    ASSERT_TRUE(QtWaitUntil([&] {
      return Window().DeviceWatch().Idle() && Form().ComPort1.Open() &&
             platform::PortPath(Form().ComPort1.ComNumber()) == device_.DevicePath &&
             Form().DialogueState == 0 && !Form().DataPacket1.AutoEnable() && ButtonEnabled();
    })) << Diagnose();
    EXPECT_EQ(Box("uiTEHWVer"), Q("2.0"));
    EXPECT_EQ(Box("uiTESWVer"), Q("2.0.0.3400"));  // powered up again in its application
    EXPECT_TRUE(closer.Seen().empty()) << closer.Seen().front().Text.toStdString();
  }

  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Box("uiTESWVer") == Q("2.0.0.3452"); }, 60000))
      << Diagnose();
  EXPECT_EQ(closer.Seen().size(), 1u);  // the success box
}

// While an update runs, another Vexilora plugged in must not take the port nor restart the
// dialogue: the transfer goes on to its end and the update is confirmed. The window looks at
// the newcomer once the update has ended: it knows it is there, and when the updated device is
// pulled out, the port goes to the newcomer and queries it.
TEST_F(UpdateHotplugTest, AnotherVexiloraPluggedInDuringTheUpdateWaitsForItsEnd) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.PaceLine = true;  // a transfer of a few seconds, as on the real line
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  const int number = Form().ComPort1.ComNumber();
  TBoxCloser closer;
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Progress()->value() > 0; }, 60000)) << Diagnose();

  vexsim::TOptions second = apptest::QuickDevice();
  second.SoftwareVersion = "2.0.0.3000";
  vexsim::TSimulator other(second);
  TUsbDescription first;  // enumerated before the device being updated
  first.Location = "1-1.1";
  const TMockDevice newcomer = mock_->PlugIn(first);
  ASSERT_TRUE(other.Start(newcomer.Master));
  ASSERT_TRUE(QtWaitUntil([&] { return Window().DeviceWatch().Idle(); }));
  EXPECT_TRUE(Form().XModem1.InProgress()) << Diagnose();
  EXPECT_EQ(Form().DialogueState, app::dsAwaitVerdict);
  EXPECT_EQ(Form().ComPort1.ComNumber(), number);

  // The update ends well on its own device.
  ASSERT_TRUE(QtWaitUntil(
      [&] { return Box("uiTESWVer") == Q("2.0.0.3452") && Form().DialogueState == 0; }, 60000))
      << Diagnose();
  EXPECT_EQ(sim_->CommandBytes(),
            "\r\nloader\r\nverhw?\r\npass?\r\n\r\nloader\r\nwr_prog\r\nrun\r\nversw?\r\n");
  EXPECT_EQ(closer.Seen().size(), 1u);
  EXPECT_EQ(Label(), Q(kUpdatable));
  EXPECT_TRUE(other.Commands().empty());
  // The search afresh has found both: the port stays on the device enumerated last.
  ASSERT_TRUE(WaitHeldBackChangesHandled());
  EXPECT_TRUE(Form().DevicePresent);
  EXPECT_EQ(Form().ComPort1.ComNumber(), number);
  EXPECT_TRUE(other.Commands().empty());

  Pull();
  ASSERT_TRUE(QtWaitUntil([&] {
    return Form().ComPort1.Open() &&
           platform::PortPath(Form().ComPort1.ComNumber()) == newcomer.DevicePath &&
           Box("uiTESWVer") == Q("2.0.0.3000") && Form().DialogueState == 0;
  })) << Diagnose();
  EXPECT_EQ(other.CommandBytes(), "\r\nloader\r\nversw?\r\nboot\r\nverhw?\r\npass?\r\n");
  other.Stop();
}

// While an update runs, another Vexilora pulled out changes nothing for it; afterwards the
// search afresh finds the updated device where it is and sends it nothing.
TEST_F(UpdateHotplugTest, AnotherVexiloraPulledOutDuringTheUpdateLeavesItAlone) {
  const TMockDevice bystander = mock_->PlugIn();  // enumerated first: the port opens on the other
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  o.PaceLine = true;
  PlugInAndShow(o);
  ASSERT_TRUE(WaitQueryShown()) << Diagnose();
  ASSERT_EQ(platform::PortPath(Form().ComPort1.ComNumber()), device_.DevicePath);
  TBoxCloser closer;
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Progress()->value() > 0; }, 60000)) << Diagnose();
  mock_->PullOut(bystander);
  ASSERT_TRUE(QtWaitUntil([&] { return Window().DeviceWatch().Idle(); }));
  EXPECT_TRUE(Form().XModem1.InProgress()) << Diagnose();

  ASSERT_TRUE(QtWaitUntil(
      [&] { return Box("uiTESWVer") == Q("2.0.0.3452") && Form().DialogueState == 0; }, 60000))
      << Diagnose();
  const std::string wire = sim_->CommandBytes();
  // The search afresh has run; nothing more went out.
  ASSERT_TRUE(WaitHeldBackChangesHandled());
  EXPECT_FALSE(Form().ReplyLimitRunning());
  EXPECT_EQ(sim_->CommandBytes(), wire);
  EXPECT_EQ(platform::PortPath(Form().ComPort1.ComNumber()), device_.DevicePath);
  EXPECT_TRUE(Form().ComPort1.Open());
  EXPECT_EQ(Label(), Q(kUpdatable));
  EXPECT_EQ(ShownIcon(), app::iiSuccess);
  EXPECT_EQ(closer.Seen().size(), 1u);
  EXPECT_EQ(sim_->TransfersEnded(), 1u);
}

// The reply limit belongs to the open port: a device pulled out before it passes leaves no
// no-reply text behind, and a window closed while it runs leaves no timer behind.
TEST_F(UpdateHotplugTest, TheReplyLimitGoesWithThePortAndTheWindow) {
  vexsim::TOptions o = apptest::QuickDevice();
  o.Silent = true;
  Form().SetReplyTimeout(1000);
  PlugInAndShow(o);
  ASSERT_TRUE(QtWaitUntil([&] { return sim_->CommandBytes() == "\r\nloader\r\n"; }));
  Pull();
  ExpectNotConnectedAndQuiet();
  EXPECT_FALSE(Form().ReplyLimitRunning());
  ASSERT_TRUE(WaitPastReplyLimit());
  EXPECT_EQ(Label(), Q(kNotConnected));
  EXPECT_EQ(ShownIcon(), app::iiInformation);

  // The device back and still silent: the limit holds for it.
  Replug();
  ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(kNoReply); })) << Diagnose();
  EXPECT_EQ(ShownIcon(), app::iiError);
  EXPECT_TRUE(Form().ComPort1.Open());

  // Once more, and the window goes while the limit runs.
  sim_->Stop();
  mock_->HangUp(device_);
  mock_->PullOut(device_);
  ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(kNotConnected); }));
  const size_t before = sim_->CommandBytes().size();
  Replug();
  ASSERT_TRUE(
      QtWaitUntil([&] { return Form().ComPort1.Open() && sim_->CommandBytes().size() > before; }));
  EXPECT_EQ(Label(), Q(kNotConnected));
  EXPECT_TRUE(Form().ReplyLimitRunning());
  const uint32_t limit = Form().ReplyTimeout();
  window_.reset();
  // The limit's timer went with the window: nothing fires into a form that is gone.
  bool fired = false;
  QTimer::singleShot(static_cast<int>(limit), [&fired] { fired = true; });
  ASSERT_TRUE(QtWaitUntil([&] { return fired; }, 60000));
}

}  // namespace
