// vexilora-sim: plays a Vexilora on a new pseudo-terminal until SIGINT or SIGTERM. Prints the
// terminal's path on standard output; the utility (or a terminal program) opens that path.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/vexilora-sim/FaultOptions.h"
#include "tools/vexilora-sim/Simulator.h"

namespace {

const char kUsageHead[] =
    "usage: vexilora-sim [options]\n"
    "Plays a Vexilora on a new pseudo-terminal and prints its path; ends on SIGINT/SIGTERM.\n"
    "  --link PATH              also make PATH a symbolic link to the terminal\n"
    "  --hw VERSION             hardware version (VERHW=), default 2.0\n"
    "  --sw VERSION             software version of the application, default 2.0.0.3400\n"
    "  --password P             the device is locked with P (UTF-8, sent as Windows-1251)\n"
    "  --bootloader             start in the bootloader instead of the application\n"
    "  --receiving N            start in the receiver with N blocks accepted, its application\n"
    "                           erased (a host vanished in the middle of an update; 0: still\n"
    "                           sending the handshake)\n"
    "  --handshake-ms N         interval of the receiver's 'C' characters, default 1000\n"
    "  --checksum               the receiver asks for 8-bit checksums (NAK) instead of CRC-16\n"
    "  --pace                   hold both directions to 115200 8N1 (86.8 us a byte)\n"
    "  --save-image FILE        save each received image to FILE\n"
    "  --transcript FILE        write every byte each way to FILE\n"
    "faults:\n"
    "  --hangup-after N         vanish (close the terminal) when block N arrives\n";

const std::string kUsage = std::string(kUsageHead) + vexsim::kFaultUsage;

pthread_t g_mainThread;

}  // namespace

int main(int argc, char** argv) {
  vexsim::TOptions options;
  options.KeepTranscript = false;  // nobody reads it here; --transcript writes the file
  std::string link;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vexilora-sim: %s needs a value\n%s", arg.c_str(), kUsage.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto count = [&]() {
      const char* text = value();
      int n = 0;
      if (!vexsim::ParseCount(text, n)) {
        std::fprintf(stderr, "vexilora-sim: %s wants a count, not '%s'\n", arg.c_str(), text);
        std::exit(2);
      }
      return n;
    };
    switch (vexsim::ParseFaultOption("vexilora-sim", argc, argv, i, options)) {
      case vexsim::TOptionParse::Taken:
        continue;
      case vexsim::TOptionParse::Bad:
        return 2;
      case vexsim::TOptionParse::NotMine:
        break;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.c_str(), stdout);
      return 0;
    } else if (arg == "--link") {
      link = value();
    } else if (arg == "--hw") {
      options.HardwareVersion = value();
    } else if (arg == "--sw") {
      options.SoftwareVersion = value();
    } else if (arg == "--password") {
      const char* p = value();
      if (!vexsim::Cp1251FromUtf8(p, options.Password)) {
        std::fprintf(stderr, "vexilora-sim: the password has no Windows-1251 form\n");
        return 2;
      }
    } else if (arg == "--bootloader") {
      options.StartInBootloader = true;
    } else if (arg == "--receiving") {
      options.StartReceivingAfter = count();
    } else if (arg == "--handshake-ms") {
      options.HandshakeIntervalMs = static_cast<uint32_t>(count());
      if (options.HandshakeIntervalMs == 0) options.HandshakeIntervalMs = 1;
    } else if (arg == "--checksum") {
      options.ChecksumHandshake = true;
    } else if (arg == "--pace") {
      options.PaceLine = true;
    } else if (arg == "--save-image") {
      options.ImagePath = value();
    } else if (arg == "--transcript") {
      options.TranscriptPath = value();
    } else if (arg == "--hangup-after") {
      options.HangUpAfterBlock = count();
      if (options.HangUpAfterBlock == 0) {
        std::fprintf(stderr, "vexilora-sim: blocks count from 1\n");
        return 2;
      }
    } else {
      std::fprintf(stderr, "vexilora-sim: unknown option '%s'\n%s", arg.c_str(), kUsage.c_str());
      return 2;
    }
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("vexilora-sim: pseudo-terminal");
    return 1;
  }
  const char* name = ::ptsname(master);
  if (name == nullptr) {
    std::perror("vexilora-sim: ptsname");
    return 1;
  }
  const std::string slavePath = name;
  // Our own hold on the terminal: the host may close and reopen it without the master seeing
  // a hang-up, as with a device that stays plugged in. It also starts the line raw.
  int keeper = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper < 0) {
    std::perror("vexilora-sim: open terminal");
    return 1;
  }
  termios tio{};
  if (::tcgetattr(keeper, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(keeper, TCSANOW, &tio);
  }

  if (!link.empty()) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "vexilora-sim: %s exists and is not a link; not replaced\n",
                     link.c_str());
        return 1;
      }
      ::unlink(link.c_str());
    }
    if (::symlink(slavePath.c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "vexilora-sim: cannot link %s: %s\n", link.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  // Signals are taken by sigwait below; the device thread inherits the blocked set.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  g_mainThread = pthread_self();

  // Vanishing closes the terminal for good: the host sees a hang-up, the program ends.
  options.HangUp = [&keeper](int fd) {
    ::close(fd);
    ::close(keeper);
    keeper = -1;
    pthread_kill(g_mainThread, SIGUSR1);
  };

  vexsim::TSimulator sim(options);
  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "vexilora-sim: %s on %s (hardware %s, software %s%s)\n",
               options.StartReceivingAfter >= 0 ? "receiver"
               : options.StartInBootloader      ? "bootloader"
                                                : "application",
               slavePath.c_str(), options.HardwareVersion.c_str(), options.SoftwareVersion.c_str(),
               options.Password.empty() ? "" : ", password set");
  if (!sim.Start(master)) {
    std::fprintf(stderr, "vexilora-sim: cannot start\n");
    return 1;
  }

  int sig = 0;
  sigwait(&signals, &sig);
  const bool hungUp = sig == SIGUSR1;
  sim.Stop();
  if (!hungUp) {
    ::close(master);
    if (keeper >= 0) ::close(keeper);
  }
  if (!link.empty()) ::unlink(link.c_str());
  std::fprintf(stderr, "vexilora-sim: %s; %u transfer(s), device in its %s\n",
               hungUp ? "hung up" : "stopped", sim.TransfersEnded(), vexsim::ModeName(sim.Mode()));
  return 0;
}
