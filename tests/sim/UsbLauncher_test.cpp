// vexilora-usb-sim: the simulated device as a USB device under umockdev, seen by a program
// the launcher starts (sim-usb-probe: udev enumeration, the port, a udev monitor), pulled out
// and plugged back in by signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#ifndef VEXILORA_USB_SIM_PATH
#error "VEXILORA_USB_SIM_PATH must name the launcher"
#endif
#ifndef UMOCKDEV_TSAN_SUPPRESSIONS
#error "UMOCKDEV_TSAN_SUPPRESSIONS must name umockdev's TSan suppressions"
#endif
#ifndef SIM_USB_PROBE_PATH
#error "SIM_USB_PROBE_PATH must name the probe program"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

class TLaunch {
 public:
  explicit TLaunch(const std::vector<std::string>& argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Under TSan the launcher and its program get the suppressions every umockdev program
    // runs with (races inside umockdev and GLib, which are not built with the sanitizer).
    std::vector<std::string> env;
    std::string tsan = "TSAN_OPTIONS=";
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "TSAN_OPTIONS=", 13) == 0) {
        tsan = std::string(*e) + ":";
      } else {
        env.push_back(*e);
      }
    }
    env.push_back(tsan + "suppressions=" UMOCKDEV_TSAN_SUPPRESSIONS);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~TLaunch() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGTERM);
      Wait(10000);
      if (!exited_) ::kill(pid_, SIGKILL), Wait(10000);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool Started() const { return pid_ > 0; }
  void Signal(int sig) { ::kill(pid_, sig); }

  // The program's next output line, or "<timeout>"/"<end>".
  std::string Line(uint32_t ms = 60000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return "<timeout>";
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[512];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return "<end>";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  bool Wait(uint32_t ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!exited_) {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
        break;
      }
      if (Clock::now() >= deadline) return false;
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 10);
    }
    return true;
  }
  int ExitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool exited_ = false;
  int status_ = 0;
};

TEST(UsbLauncher, ProgramFindsTalksToAndSeesTheDeviceReplugged) {
  // No Vexilora is attached to a test machine: --unless-attached simulates one.
  TLaunch launch({VEXILORA_USB_SIM_PATH, "--quiet", "--unless-attached", "--bootloader",
                  "--password", "пароль", "--", SIM_USB_PROBE_PATH, "--replug"});
  ASSERT_TRUE(launch.Started());
  EXPECT_EQ(launch.Line(), "found /dev/ttyACM0 Vexilora (COM1)");
  EXPECT_EQ(launch.Line(), "reply OK") << "started in its bootloader";
  EXPECT_EQ(launch.Line(), "reply PASSWORD ERROR") << "locked with the password given";
  ASSERT_EQ(launch.Line(), "waiting");
  launch.Signal(SIGUSR1);
  EXPECT_EQ(launch.Line(), "removed /dev/ttyACM0");
  launch.Signal(SIGUSR1);
  EXPECT_EQ(launch.Line(), "arrived /dev/ttyACM1");
  EXPECT_EQ(launch.Line(), "found /dev/ttyACM1 Vexilora (COM2)");
  EXPECT_EQ(launch.Line(), "reply ERROR") << "powered up again: in its application";
  EXPECT_EQ(launch.Line(), "reply ERROR");
  ASSERT_TRUE(launch.Wait(30000));
  EXPECT_EQ(launch.ExitCode(), 0) << "the program's exit status";
}

// A unit whose USB strings say something else, with a fault of the device given to the
// launcher.
TEST(UsbLauncher, ChosenUsbStringsAndDeviceFaults) {
  TLaunch launch({VEXILORA_USB_SIM_PATH, "--quiet", "--manufacturer", "Generic", "--product",
                  "Virtual COM Port", "--bootloader", "--error-on", "pass?", SIM_USB_PROBE_PATH});
  // A product string that holds "COM" would spoil the port name taken from the friendly name:
  // such a device is named as one without a product string.
  EXPECT_EQ(launch.Line(), "found /dev/ttyACM0 USB Serial Device (COM1)");
  EXPECT_EQ(launch.Line(), "reply OK");
  EXPECT_EQ(launch.Line(), "reply ERROR") << "pass? refused";
  ASSERT_TRUE(launch.Wait(30000));
  EXPECT_EQ(launch.ExitCode(), 0);
}

TEST(UsbLauncher, ReturnsTheProgramsFailure) {
  TLaunch launch({VEXILORA_USB_SIM_PATH, "--quiet", SIM_USB_PROBE_PATH, "--exit-with", "3"});
  EXPECT_EQ(launch.Line(), "found /dev/ttyACM0 Vexilora (COM1)");
  ASSERT_TRUE(launch.Wait(30000));
  EXPECT_EQ(launch.ExitCode(), 3);
}

}  // namespace
