// vexilora-usb-sim: presents a simulated Vexilora as a real USB device (umockdev: a USB device,
// its interface and its tty /dev/ttyACM<n>) and runs a program that sees it, for trying the
// utility without hardware. Enter on the terminal or SIGUSR1 pulls the device out; the next
// one plugs it back in (as the next ttyACM, as the kernel would number it). The launcher ends
// with the program and returns its exit status. With --unless-attached a real Vexilora, when
// one is plugged in, is left to the program: it then runs it directly, without any mock.
//
//   vexilora-usb-sim [device options] [--] PROGRAM [ARGS...]
//
// It needs umockdev's preload and starts itself again under it when it is missing.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/MockUsb.h"
#include "tools/vexilora-sim/FaultOptions.h"
#include "tools/vexilora-sim/Simulator.h"

extern char** environ;

namespace {

const char kUsageHead[] =
    "usage: vexilora-usb-sim [options] [--] PROGRAM [ARGS...]\n"
    "Plugs a simulated Vexilora in as a USB device (umockdev) and runs PROGRAM, which sees it.\n"
    "Enter on the terminal or SIGUSR1 pulls the device out; the next one plugs it back in.\n"
    "  --password P             the device is locked with P (UTF-8, compared as Windows-1251)\n"
    "  --bootloader             the device starts in its bootloader\n"
    "  --sw VERSION             software version of the device's application (default 2.0.0.3400)\n"
    "  --hw VERSION             hardware version (default 2.0)\n"
    "  --manufacturer TEXT      the device's USB manufacturer string (default Vexilora)\n"
    "  --product TEXT           the device's USB product string (default Vexilora)\n"
    "  --pace                   hold the line to 115200 8N1\n"
    "  --handshake-ms N         interval of the receiver's 'C' characters (default 1000)\n"
    "  --transcript FILE        write every byte each way to FILE\n"
    "  --save-image FILE        save each image the device receives to FILE\n"
    "  --quiet                  say nothing on the terminal unless something fails\n"
    "  --unless-attached        when a real Vexilora is plugged in, run PROGRAM with it instead\n"
    "faults of the device:\n";

const std::string kUsage = std::string(kUsageHead) + vexsim::kFaultUsage;

int g_wakeWrite = -1;

void OnSignal(int sig) {
  const char b = static_cast<char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(g_wakeWrite, &b, 1);
}

// The sanitizer runtime of this build, if any: it must stay first in LD_PRELOAD.
std::string SanitizerRuntime() {
  std::string found;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const char* name = info->dlpi_name;
        if (name && (std::strstr(name, "/libasan.so") || std::strstr(name, "/libtsan.so"))) {
          *static_cast<std::string*>(data) = name;
          return 1;
        }
        return 0;
      },
      &found);
  return found;
}

std::string ReadAttribute(const std::string& path) {
  std::string value;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buf[128];
    if (std::fgets(buf, sizeof buf, f)) value = buf;
    std::fclose(f);
  }
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

// A real Vexilora among the USB devices (sysfs as the kernel shows it, before any mock).
bool RealVexiloraAttached() {
  const std::string root = "/sys/bus/usb/devices/";
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string device = root + entry->d_name + "/";
    if (ReadAttribute(device + "idVendor") == "ffff" &&
        ReadAttribute(device + "idProduct") == "0005" &&
        ReadAttribute(device + "serial") == "VEXILORA") {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

// Starts this program again with umockdev's preload (what umockdev-wrapper does).
[[noreturn]] void RestartUnderUmockdev(char** argv) {
  std::string preload;
  const std::string runtime = SanitizerRuntime();
  if (!runtime.empty()) preload = runtime + ":";
  preload += "libumockdev-preload.so.0";
  if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
  ::setenv("LD_PRELOAD", preload.c_str(), 1);
  ::setenv("VEXILORA_USB_SIM_RESTARTED", "1", 1);
  ::execv("/proc/self/exe", argv);
  std::fprintf(stderr, "vexilora-usb-sim: cannot restart under umockdev: %s\n",
               std::strerror(errno));
  std::exit(127);
}

struct TLauncher {
  vexsim::TOptions Options;
  testsupport::TUsbDescription Description;
  bool Quiet = false;
  testsupport::TMockUsb Usb;
  testsupport::TMockDevice Device;
  std::unique_ptr<vexsim::TSimulator> Sim;
  bool Plugged = false;

  void Say(const std::string& text) {
    if (!Quiet) std::fprintf(stderr, "vexilora-usb-sim: %s\n", text.c_str());
  }

  void PlugIn() {
    Device = Usb.PlugIn(Description);
    if (!Sim) Sim = std::make_unique<vexsim::TSimulator>(Options);
    if (!Sim->Start(Device.Master)) throw std::runtime_error("the simulator did not start");
    Plugged = true;
    Say("simulated Vexilora plugged in as " + Device.DevicePath + " (" +
        vexsim::ModeName(Sim->Mode()) + ", software " + Sim->SoftwareVersion() + ", hardware " +
        Sim->HardwareVersion() + (Options.Password.empty() ? "" : ", password set") + ")");
  }

  // As when the cable is pulled: the open line hangs up, udev reports the removal, the
  // device is gone.
  void PullOut() {
    try {
      Usb.HangUp(Device);
    } catch (const std::exception& e) {
      // Without CAP_SYS_ADMIN the line cannot be hung up; the removal event still tells.
      Say(std::string("(the line stays up: ") + e.what() + ")");
    }
    Usb.PullOut(Device);
    Sim->Stop();
    Plugged = false;
    Say("simulated Vexilora pulled out; Enter or SIGUSR1 plugs it back in");
  }
};

}  // namespace

int main(int argc, char** argv) {
  vexsim::TOptions options;
  options.KeepTranscript = false;  // nobody reads it here; --transcript writes the file
  testsupport::TUsbDescription description;
  bool quiet = false;
  bool unlessAttached = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vexilora-usb-sim: %s needs a value\n%s", arg.c_str(), kUsage.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    switch (vexsim::ParseFaultOption("vexilora-usb-sim", argc, argv, i, options)) {
      case vexsim::TOptionParse::Taken:
        continue;
      case vexsim::TOptionParse::Bad:
        return 2;
      case vexsim::TOptionParse::NotMine:
        break;
    }
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.c_str(), stdout);
      return 0;
    } else if (arg == "--password") {
      if (!vexsim::Cp1251FromUtf8(value(), options.Password)) {
        std::fprintf(stderr, "vexilora-usb-sim: the password has no Windows-1251 form\n");
        return 2;
      }
    } else if (arg == "--bootloader") {
      options.StartInBootloader = true;
    } else if (arg == "--sw") {
      options.SoftwareVersion = value();
    } else if (arg == "--hw") {
      options.HardwareVersion = value();
    } else if (arg == "--manufacturer") {
      description.Manufacturer = value();
    } else if (arg == "--product") {
      description.ProductName = value();
    } else if (arg == "--pace") {
      options.PaceLine = true;
    } else if (arg == "--handshake-ms") {
      const int ms = std::atoi(value());
      options.HandshakeIntervalMs = ms > 0 ? static_cast<uint32_t>(ms) : 1;
    } else if (arg == "--transcript") {
      options.TranscriptPath = value();
    } else if (arg == "--save-image") {
      options.ImagePath = value();
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--unless-attached") {
      unlessAttached = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "vexilora-usb-sim: unknown option '%s'\n%s", arg.c_str(),
                   kUsage.c_str());
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "vexilora-usb-sim: no program to run\n%s", kUsage.c_str());
    return 2;
  }

  // The check looks at the real sysfs: before umockdev comes in (after a restart under its
  // preload the answer was already no).
  if (unlessAttached && !std::getenv("VEXILORA_USB_SIM_RESTARTED") && RealVexiloraAttached()) {
    if (!quiet) std::fprintf(stderr, "vexilora-usb-sim: a Vexilora is attached; using it\n");
    ::execvp(argv[i], argv + i);
    std::fprintf(stderr, "vexilora-usb-sim: cannot start %s: %s\n", argv[i], std::strerror(errno));
    return 127;
  }
  if (!testsupport::UmockdevPreloaded()) {
    if (std::getenv("VEXILORA_USB_SIM_RESTARTED")) {
      std::fprintf(stderr,
                   "vexilora-usb-sim: umockdev's preload did not load (is umockdev "
                   "installed?)\n");
      return 127;
    }
    RestartUnderUmockdev(argv);
  }
  ::unsetenv("VEXILORA_USB_SIM_RESTARTED");

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("vexilora-usb-sim: pipe");
    return 1;
  }
  g_wakeWrite = wake[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGCHLD, SIGUSR1, SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);

  std::unique_ptr<TLauncher> launcher;
  try {
    launcher = std::make_unique<TLauncher>();
    launcher->Options = options;
    launcher->Description = description;
    launcher->Quiet = quiet;
    // The device vanishing by itself is not one of the launcher's faults; if the simulator
    // ever asks, the line is left to the testbed, which owns it.
    launcher->Options.HangUp = [](int) {};
    launcher->PlugIn();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexilora-usb-sim: %s\n", e.what());
    return 1;
  }

  // The program inherits umockdev's preload and testbed through the environment.
  pid_t child = -1;
  {
    std::vector<char*> args(argv + i, argv + argc);
    args.push_back(nullptr);
    const int rc = ::posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) {
      std::fprintf(stderr, "vexilora-usb-sim: cannot start %s: %s\n", args[0], std::strerror(rc));
      return 127;
    }
  }
  bool keys = ::isatty(STDIN_FILENO) == 1;
  launcher->Say(std::string(keys ? "Enter or " : "") + "SIGUSR1 (kill -USR1 " +
                std::to_string(::getpid()) + ") pulls the device out");

  int status = 0;
  bool childDone = false;
  while (!childDone) {
    pollfd p[2] = {{wake[0], POLLIN, 0}, {keys ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
    int toggles = 0;
    if (p[1].revents & (POLLIN | POLLHUP)) {
      char buf[256];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) {
        toggles += static_cast<int>(std::count(buf, buf + n, '\n'));
      } else {
        keys = false;  // end of input: keys no longer count
      }
    }
    char sigs[64];
    ssize_t n;
    while ((n = ::read(wake[0], sigs, sizeof sigs)) > 0) {
      for (ssize_t k = 0; k < n; ++k) {
        const int sig = sigs[k];
        if (sig == SIGUSR1) ++toggles;
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) ::kill(child, SIGTERM);
      }
    }
    if (::waitpid(child, &status, WNOHANG) == child) {
      childDone = true;
      break;
    }
    for (; toggles > 0; --toggles) {
      try {
        if (launcher->Plugged) {
          launcher->PullOut();
        } else {
          launcher->PlugIn();
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "vexilora-usb-sim: %s\n", e.what());
      }
    }
  }
  if (!childDone) {
    ::kill(child, SIGTERM);
    ::waitpid(child, &status, 0);
  }
  launcher.reset();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
