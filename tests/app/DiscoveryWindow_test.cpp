// The main window finding its device and following it being plugged in and pulled out, with
// a real udev stack under umockdev, the real port and the window offscreen.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Main.h"
#include "app/Texts.h"
#include "app/qt/DeviceWatch.h"
#include "app/qt/MainWindow.h"
#include "comm/Dispatcher.h"
#include "platform/PortTable.h"
#include "platform/Udev.h"
#include "tests/app/support/QtWait.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MockUsb.h"

namespace {

using apptest::QtWaitUntil;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Entries of a /proc folder, less those whose link names the given target.
int CountEntries(const char* folder, const char* exceptTarget = nullptr) {
  int count = 0;
  DIR* dir = opendir(folder);
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (exceptTarget) {
      char target[PATH_MAX] = {};
      std::string path = std::string(folder) + "/" + e->d_name;
      if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
          std::string(target) == exceptTarget) {
        continue;
      }
    }
    ++count;
  }
  closedir(dir);
  return count - (exceptTarget ? 1 : 0);  // the folder's own descriptor
}

// Read, write and search rights for everyone on a folder tree; links are left alone (they
// point at the devices).
void OpenToAll(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  const fs::perms all = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
  fs::permissions(root, all, fs::perm_options::add);
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
    if (e.is_symlink()) continue;
    fs::permissions(e.path(),
                    e.is_directory() ? all
                                     : fs::perms::owner_read | fs::perms::owner_write |
                                           fs::perms::group_read | fs::perms::group_write |
                                           fs::perms::others_read | fs::perms::others_write,
                    fs::perm_options::add);
  }
}

// The child has written the text on its standard output (a pipe) within ten seconds.
bool Said(ChildProcess& child, const std::string& text) {
  std::string got;
  for (int round = 0; round < 200 && got.find(text) == std::string::npos; ++round) {
    pollfd p{child.StdoutPipe(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(child.StdoutPipe(), buffer, sizeof buffer);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got.find(text) != std::string::npos;
}

int Threads() { return CountEntries("/proc/self/task"); }
// The testbed keeps a pty master (/dev/ptmx) for every device ever plugged in; those are
// the mock's, not the program's.
int Descriptors() { return CountEntries("/proc/self/fd", "/dev/ptmx"); }

class DiscoveryWindowTest : public ::testing::Test {
 protected:
  // The mock comes first: the window's udev monitor must be opened under it.
  void StartWindow() {
    window_ = std::make_unique<appqt::TMainWindow>();
    Form().ComPort1.AttachPortUser(this, [this](comm::TCustomComPort*, comm::TPortNotice n) {
      if (n == comm::NoticeOpen) ++opens_;
      if (n == comm::NoticeClosed) ++closes_;
    });
    window_->show();
  }
  void TearDown() override {
    if (window_) Form().ComPort1.DetachPortUser(this);
    window_.reset();
  }

  app::TForm1& Form() { return window_->Form(); }
  QString Box(const char* name) {
    auto* box = window_->findChild<QLineEdit*>(Q(name));
    return box ? box->text() : QString();
  }
  bool PortOpenOn(const TMockDevice& device) {
    return Form().ComPort1.Open() &&
           platform::PortPath(Form().ComPort1.ComNumber()) == device.DevicePath;
  }
  // The window's watch has taken every event sent so far.
  bool EventsTaken() {
    return QtWaitUntil([&] { return WatchIdle(); });
  }
  bool WatchIdle() { return window_->DeviceWatch().Idle(); }

  void ExpectNotConnected() {
    const app::TViewState& v = Form().View();
    EXPECT_EQ(v.uiLabel1, "Пожалуйста, подключите Vexilora к компьютеру!");
    EXPECT_EQ(v.uiImage1, app::iiInformation);
    EXPECT_EQ(v.uiTEHWVer, "Отсутствует");
    EXPECT_EQ(v.uiTESWVer, "Отсутствует");
    EXPECT_FALSE(v.uiButton1Enabled);
    EXPECT_EQ(v.ProgressPosition, 0);
    EXPECT_EQ(Form().DialogueState, 0);
    EXPECT_FALSE(Form().ComPort1.Open());
    // And as the window shows it.
    EXPECT_EQ(Box("uiTEHWVer"), Q("Отсутствует"));
    EXPECT_EQ(Box("uiTESWVer"), Q("Отсутствует"));
    auto* button = window_->findChild<QPushButton*>(Q("uiButton1"));
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isEnabled());
    auto* progress = window_->findChild<QProgressBar*>(Q("uiProgressBar1"));
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->value(), 0);
  }

  TMockUsb usb_;
  std::unique_ptr<appqt::TMainWindow> window_;
  int opens_ = 0;
  int closes_ = 0;
};

TEST_F(DiscoveryWindowTest, StartedWithoutADeviceTheWindowSaysSo) {
  StartWindow();
  ExpectNotConnected();
  EXPECT_FALSE(Form().DevicePresent);
  EXPECT_EQ(opens_, 0);
}

TEST_F(DiscoveryWindowTest, StartedWithTheDeviceThePortOpensOnItsNumber) {
  TMockDevice device = usb_.PlugIn();
  StartWindow();
  // The first search runs when the window is first shown, before any event is handled.
  EXPECT_TRUE(PortOpenOn(device));
  EXPECT_TRUE(Form().DevicePresent);
  int number = platform::EnterPortPath(device.DevicePath);
  EXPECT_EQ(Form().ComName, "COM" + std::to_string(number));
  EXPECT_EQ(Form().ComPort1.ComNumber(), number);
  // The add event of the device plugged in before the window was made is not heard (its
  // monitor did not exist yet); the port was opened once.
  EXPECT_TRUE(EventsTaken());
  EXPECT_EQ(opens_, 1);
}

TEST_F(DiscoveryWindowTest, PluggedInPulledOutAndPluggedInAgainWhileRunning) {
  StartWindow();
  ExpectNotConnected();

  TMockDevice device = usb_.PlugIn();
  ASSERT_TRUE(QtWaitUntil([&] { return PortOpenOn(device); }));
  EXPECT_TRUE(Form().DevicePresent);
  EXPECT_EQ(opens_, 1);

  usb_.PullOut(device);
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().ComPort1.Open(); }));
  EXPECT_TRUE(EventsTaken());
  EXPECT_FALSE(Form().DevicePresent);
  EXPECT_EQ(closes_, 1);
  ExpectNotConnected();

  // Back as the next node name, with a number of its own.
  TMockDevice again = usb_.PlugIn();
  ASSERT_NE(again.DevicePath, device.DevicePath);
  ASSERT_TRUE(QtWaitUntil([&] { return PortOpenOn(again); }));
  EXPECT_EQ(opens_, 2);
}

// As the kernel does it: the line hangs up under the open port, then the removal comes.
TEST_F(DiscoveryWindowTest, ADeviceThatHangsUpAndVanishesIsClosedAndTheWindowSaysSo) {
  TMockDevice device = usb_.PlugIn();
  StartWindow();
  ASSERT_TRUE(PortOpenOn(device));
  usb_.HangUp(device);
  usb_.PullOut(device);
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().ComPort1.Open() && WatchIdle(); }));
  EXPECT_EQ(closes_, 1);
  EXPECT_EQ(comm::DispatcherTableSize(), 0);
  ExpectNotConnected();
}

TEST_F(DiscoveryWindowTest, UnrelatedArrivalsChangeNothing) {
  StartWindow();
  TUsbDescription modem;  // another device altogether
  modem.IdVendor = "1234";
  modem.Manufacturer = "Acme";
  modem.ProductName = "Modem";
  modem.Serial = "A1";
  TUsbDescription lowerCase = modem;  // the name test is case-sensitive
  lowerCase.Manufacturer = "vexilora";
  lowerCase.ProductName = "vexilora";
  usb_.PlugIn(modem);
  usb_.AddPlainTty("ttyS0");
  TMockDevice lower = usb_.PlugIn(lowerCase);
  ASSERT_NE(lower.InterfacePath.find("vexilora"), std::string::npos);
  ASSERT_TRUE(EventsTaken());
  EXPECT_FALSE(Form().DevicePresent);
  ExpectNotConnected();
  EXPECT_EQ(opens_, 0);

  // With the device's port open, an unrelated arrival or removal leaves it alone.
  TMockDevice device = usb_.PlugIn();
  ASSERT_TRUE(QtWaitUntil([&] { return PortOpenOn(device); }));
  TMockDevice other = usb_.PlugIn(modem);
  usb_.PullOut(lower);
  usb_.PullOut(other);
  ASSERT_TRUE(EventsTaken());
  EXPECT_TRUE(PortOpenOn(device));
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(closes_, 0);
}

// A unit whose USB strings name something else ("Virtual COM Port") has the identity the
// search looks for: it is followed on hot-plug like any other, whether or not udev's rules gave
// its tty the identity properties (without them, the removal is read once the device's sysfs
// entries have gone, as on a real system, and told by what was learned before).
TEST_F(DiscoveryWindowTest, AUnitCalledByAnotherNameIsFollowedByItsIdentity) {
  TUsbDescription generic;
  generic.Manufacturer = "Generic";
  generic.ProductName = "Virtual COM Port";
  generic.IdentityProperties = false;
  TMockDevice before = usb_.PlugIn(generic);  // there when the window starts
  ASSERT_EQ(before.InterfacePath.find("Vexilora"), std::string::npos) << before.InterfacePath;
  StartWindow();
  ASSERT_TRUE(PortOpenOn(before));
  usb_.PullOut(before);
  ASSERT_TRUE(QtWaitUntil([&] { return !Form().ComPort1.Open() && WatchIdle(); }));
  ExpectNotConnected();

  for (bool properties : {true, false}) {
    SCOPED_TRACE(properties ? "with identity properties" : "sysfs only");
    generic.IdentityProperties = properties;
    TMockDevice device = usb_.PlugIn(generic);
    ASSERT_TRUE(QtWaitUntil([&] { return PortOpenOn(device); }));
    EXPECT_TRUE(Form().DevicePresent);
    usb_.PullOut(device);
    ASSERT_TRUE(QtWaitUntil([&] { return !Form().ComPort1.Open() && WatchIdle(); }));
    EXPECT_FALSE(Form().DevicePresent);
    ExpectNotConnected();
  }
  EXPECT_EQ(opens_, 3);
  EXPECT_EQ(closes_, 3);
}

// Nothing is sent on the port kept, so the dialogue it runs goes on where it was: put back to
// its start it would take the reply to its current question for the probe's.
TEST_F(DiscoveryWindowTest, ASecondArrivalForTheOpenPortLeavesItsDialogueRunning) {
  TMockDevice device = usb_.PlugIn();
  StartWindow();
  ASSERT_TRUE(PortOpenOn(device));
  Form().DialogueState = app::dsAwaitHardwareVersion;  // somewhere in the dialogue
  usb_.Uevent(device, "add");
  ASSERT_TRUE(EventsTaken());
  EXPECT_EQ(Form().DialogueState, app::dsAwaitHardwareVersion);
  EXPECT_TRUE(PortOpenOn(device));
  EXPECT_EQ(opens_, 1);  // not reopened
  EXPECT_EQ(closes_, 0);
}

TEST_F(DiscoveryWindowTest, PullingOneOfTwoDevicesMovesThePortToTheOther) {
  TUsbDescription first, second;
  first.Location = "1-1";
  second.Location = "1-2";  // enumerated last: the port opens on it
  TMockDevice a = usb_.PlugIn(first);
  TMockDevice b = usb_.PlugIn(second);
  StartWindow();
  ASSERT_TRUE(PortOpenOn(b));
  usb_.PullOut(b);
  ASSERT_TRUE(QtWaitUntil([&] { return PortOpenOn(a); }));
  EXPECT_TRUE(Form().DevicePresent);
  EXPECT_EQ(opens_, 2);
}

// Another program holding the device, or another copy of this utility: the window names it,
// says what to do, and the standard-error line names the device. Once the holder lets go, the
// next arrival opens the port.
TEST_F(DiscoveryWindowTest, APortHeldByAnotherProgramIsNamedInTheWindow) {
  char folder[] = "/tmp/vexilora-holder-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  struct TCase {
    const char* Program;  // the name the holder runs under
    const char* Text;     // %1 the program, %2 its process number
  };
  const TCase cases[] = {
      {"minicom",
       "Vexilora занята другой программой (%1, PID %2). Закройте её, затем отключите Vexilora от "
       "компьютера и подключите снова."},
      {"vexilora-update",
       "Vexilora уже используется другой копией программы обновления (%1, PID %2). Закройте её, "
       "затем отключите Vexilora от компьютера и подключите снова."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Program);
    TMockDevice device = usb_.PlugIn();
    const std::string link = std::string(folder) + "/" + c.Program;
    ASSERT_EQ(symlink(PORT_HOLDER_PATH, link.c_str()), 0);
    auto holder =
        std::make_unique<ChildProcess>(std::vector<std::string>{link, device.DevicePath}, folder,
                                       std::string(folder) + "/out", ChildProcess::TStdout::Pipe);
    ASSERT_TRUE(Said(*holder, "held\n")) << holder->Describe();
    testing::internal::CaptureStderr();
    StartWindow();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(Form().ComPort1.Open());
    EXPECT_EQ(opens_, 0);
    EXPECT_NE(err.find(device.DevicePath + ": the port is in use"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    const app::TViewState& v = Form().View();
    EXPECT_EQ(v.uiLabel1, app::FillTemplate(c.Text, {c.Program, std::to_string(holder->Pid())}));
    EXPECT_EQ(v.uiLabel1Template, c.Text);
    EXPECT_EQ(v.uiImage1, app::iiWarning);
    EXPECT_FALSE(v.uiButton1Enabled);
    EXPECT_EQ(v.uiTEHWVer, "Отсутствует");
    apptest::SaveScreenshot(window_.get(), std::string("port-held-by-") + c.Program);

    // Once the other program lets go, the next arrival opens the port.
    holder.reset();
    usb_.Uevent(device, "add");
    EXPECT_TRUE(QtWaitUntil([&] { return PortOpenOn(device); }));
    Form().ComPort1.DetachPortUser(this);
    window_.reset();
    opens_ = closes_ = 0;
    usb_.PullOut(device);
  }
  std::filesystem::remove_all(folder);
}

TEST_F(DiscoveryWindowTest, ADeviceTheUserMayNotOpenIsNamedInTheWindow) {
  TMockDevice device = usb_.PlugIn();
  StartWindow();
  ASSERT_TRUE(PortOpenOn(device));
  Form().ComPort1.SetOpen(false);
  // The next search runs as a user without the right to the device (as root, the file
  // system identity alone changes, for this thread only).
  ASSERT_EQ(geteuid(), 0u) << "needs root to take another user's identity";
  // As on a real system, anyone may read the device tree (and reach the mock's own sockets);
  // the device node is what is closed.
  char* root = umockdev_testbed_get_root_dir(usb_.Testbed());
  OpenToAll(root);
  g_free(root);
  testing::internal::CaptureStderr();
  setfsuid(65534);
  Form().FindDevice();
  setfsuid(0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(Form().ComPort1.Open());
  EXPECT_NE(err.find(device.DevicePath + ": permission denied"), std::string::npos) << err;
  EXPECT_NE(err.find("dialout"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  // The window says it too, with what to do.
  const app::TViewState& v = Form().View();
  EXPECT_EQ(v.uiLabel1,
            "Нет прав на доступ к Vexilora. Установите правило udev программы или добавьте "
            "пользователя в группу dialout и войдите заново, затем подключите Vexilora снова.");
  EXPECT_EQ(v.uiImage1, app::iiError);
  EXPECT_FALSE(v.uiButton1Enabled);
  apptest::SaveScreenshot(window_.get(), "permission-denied");

  Form().FindDevice();
  EXPECT_TRUE(PortOpenOn(device));
}

TEST_F(DiscoveryWindowTest, FiftyPlugAndPullCyclesLeaveNothingBehind) {
  StartWindow();
  // One cycle first: Qt, udev and the port make their lasting allocations on first use.
  auto cycle = [&] {
    TMockDevice device = usb_.PlugIn();
    if (!QtWaitUntil([&] { return PortOpenOn(device); })) return false;
    usb_.PullOut(device);
    return QtWaitUntil([&] { return !Form().ComPort1.Open() && WatchIdle(); });
  };
  ASSERT_TRUE(cycle());
  const int threads = Threads();
  const int descriptors = Descriptors();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(cycle()) << "cycle " << i;
  }
  EXPECT_EQ(opens_, 51);
  EXPECT_EQ(closes_, 51);
  EXPECT_TRUE(QtWaitUntil([&] { return Threads() == threads; }))
      << Threads() << " threads, " << threads << " before";
  EXPECT_EQ(Descriptors(), descriptors);
  EXPECT_EQ(comm::DispatcherTableSize(), 0);
  ExpectNotConnected();
}

}  // namespace
