// The window holds off system sleep during an update: a logind inhibitor lock, taken over the
// system bus when the update starts and dropped at its end. Runs with a private D-Bus daemon
// standing in for the system bus (tests/app/support/system-bus-run), on which the test starts
// python3-dbusmock's logind; without logind the update goes on without the lock.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>

#include "platform/PortTable.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Pty.h"

namespace {

using apptest::QtWaitUntil;

struct TInhibitor {
  QString What, Who, Why, Mode;
};

// logind's list of inhibitors, as the mock keeps it.
std::vector<TInhibitor> ListInhibitors() {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors"));
  const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 5000);
  std::vector<TInhibitor> list;
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return list;
  const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
  arg.beginArray();
  while (!arg.atEnd()) {
    TInhibitor i;
    uint uid = 0, pid = 0;
    arg.beginStructure();
    arg >> i.What >> i.Who >> i.Why >> i.Mode >> uid >> pid;
    arg.endStructure();
    list.push_back(i);
  }
  arg.endArray();
  return list;
}

class SleepInhibitorTest : public apptest::TUpdateFixture {
 protected:
  void SetUp() override {
    TUpdateFixture::SetUp();
    if (std::getenv("DBUS_SYSTEM_BUS_ADDRESS") == nullptr)
      GTEST_SKIP() << "needs a private system bus: run under tests/app/support/system-bus-run";
  }
  void TearDown() override {
    window_.reset();
    if (sim_) sim_->Stop();
    logind_.reset();
    TUpdateFixture::TearDown();
  }
  void StartLogind() {
    logind_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                                 "logind"},
        ExeDir(), ExeDir() + "/logind.log");
    ASSERT_TRUE(logind_->Started());
    ASSERT_TRUE(QtWaitUntil(
        [] {
          return QDBusConnection::systemBus().interface()->isServiceRegistered(
              QStringLiteral("org.freedesktop.login1"));
        },
        30000));
  }
  void Connect(vexsim::TOptions o) {
    sim_ = std::make_unique<vexsim::TSimulator>(o);
    ASSERT_TRUE(sim_->Start(pty_.Master()));
    ShowWithDeviceAt(pty_.SlavePath());
    ASSERT_TRUE(QtWaitUntil([&] { return ButtonEnabled() && !Form().DataPacket1.Enabled(); }));
  }
  void PressUpdate() { QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton); }

  PtyPair pty_;
  std::unique_ptr<vexsim::TSimulator> sim_;
  std::unique_ptr<ChildProcess> logind_;
};

TEST_F(SleepInhibitorTest, SleepIsHeldOffFromTheStartOfAnUpdateToEachOfItsEndings) {
  StartLogind();
  struct Case {
    const char* Name;
    int CancelAfterBlock;  // -1: the update succeeds
  };
  for (const Case& c : {Case{"success", -1}, Case{"the device cancels the transfer", 2}}) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(ListInhibitors().empty());
    vexsim::TOptions o = apptest::QuickDevice();
    o.StartInBootloader = true;
    o.CancelAfterBlock = c.CancelAfterBlock;
    Connect(o);
    apptest::TBoxCloser closer;
    PressUpdate();
    ASSERT_TRUE(QtWaitUntil([&] { return Window().SleepInhibitor().Held(); }));
    const std::vector<TInhibitor> held = ListInhibitors();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].What, "sleep:idle");
    EXPECT_EQ(held[0].Who, "Vexilora update");
    EXPECT_EQ(held[0].Mode, "block");
    EXPECT_EQ(held[0].Why, QString::fromUtf8("Обновление программного обеспечения Vexilora на ") +
                               QString::fromStdString(pty_.SlavePath()));
    ASSERT_TRUE(QtWaitUntil([&] { return !Form().UpdateRunning(); }, 60000));
    EXPECT_FALSE(Window().SleepInhibitor().Held());
    // logind sees the descriptor closed.
    EXPECT_TRUE(QtWaitUntil([] { return ListInhibitors().empty(); }));
    if (c.CancelAfterBlock < 0) {
      EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
    }
    window_.reset();
    sim_->Stop();
    sim_.reset();
  }
}

TEST_F(SleepInhibitorTest, WithoutLogindTheUpdateGoesOn) {
  // The bus is there, nobody answers for logind.
  vexsim::TOptions o = apptest::QuickDevice();
  o.StartInBootloader = true;
  Connect(o);
  QSignalSpy answered(&Window().SleepInhibitor(), &appqt::TSleepInhibitor::Answered);
  apptest::TBoxCloser closer;
  PressUpdate();
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().UpdateRunning(); }, 60000));
  EXPECT_EQ(sim_->SoftwareVersion(), "2.0.0.3452");
  ASSERT_TRUE(QtWaitUntil([&] { return answered.count() == 1; }));
  EXPECT_FALSE(answered.at(0).at(0).toBool());
  EXPECT_FALSE(Window().SleepInhibitor().Held());
  EXPECT_TRUE(closer.Seen().size() == 1u);
}

}  // namespace
