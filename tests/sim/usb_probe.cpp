// sim-usb-probe: a small program for the launcher test. It finds the Vexilora the way the
// utility does (udev enumeration by its instance identifier), opens its port and asks
// "loader" and "pass?", printing one line per step on standard output. With --replug it then
// waits for the device's removal and its return (udev monitor) and asks again. With
// --exit-with N it ends with status N after the first round.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Udev.h"

namespace {

using Clock = std::chrono::steady_clock;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Reads one reply line "\r\n" + text + "\r\n"; its text, or "<none>" after 10 s.
std::string Reply(int fd, std::string& buffer) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (buffer.size() >= 4 && buffer.compare(0, 2, "\r\n") == 0) {
      const size_t end = buffer.find("\r\n", 2);
      if (end != std::string::npos) {
        const std::string text = buffer.substr(2, end - 2);
        buffer.erase(0, end + 2);
        return text;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return "<none>";
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[256];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return "<line gone>";
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

bool Talk() {
  const auto ports = platform::EnumerateUsbSerialPorts("USB\\Vid_ffff&Pid_0005\\VEXILORA");
  if (!ports || ports->empty()) {
    Say("none");
    return false;
  }
  const platform::TUsbSerialPort& port = ports->front();
  Say("found " + port.DevicePath + " " + port.FriendlyName);
  const int fd = ::open(port.DevicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    Say("cannot open " + port.DevicePath);
    return false;
  }
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B115200);
  ::tcsetattr(fd, TCSANOW, &tio);
  std::string buffer;
  for (const std::string command : {"\r\nloader\r\n", "pass?\r\n"}) {
    if (::write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
      Say("cannot write");
      break;
    }
    Say("reply " + Reply(fd, buffer));
  }
  ::close(fd);
  return true;
}

// The next arrival or removal within 60 s.
std::optional<platform::TUdevEvent> NextEvent(platform::TUdevMonitor& monitor) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    if (auto event = monitor.Read()) return event;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{monitor.Fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  platform::TUdevMonitor monitor;  // before anything happens, so that no event is missed
  if (!Talk()) return 1;
  if (mode == "--exit-with" && argc > 2) return std::atoi(argv[2]);
  if (mode != "--replug") return 0;
  if (!monitor.Valid()) {
    Say("no udev monitor");
    return 1;
  }
  Say("waiting");
  for (const platform::TUdevAction wanted :
       {platform::TUdevAction::Removal, platform::TUdevAction::Arrival}) {
    const auto event = NextEvent(monitor);
    if (!event || event->Action != wanted) {
      Say("unexpected event");
      return 1;
    }
    Say(std::string(wanted == platform::TUdevAction::Removal ? "removed " : "arrived ") +
        event->DevicePath);
  }
  return Talk() ? 0 : 1;
}
