// The mocked USB device as the utility's tests use it: found through udev, opened by the port
// component on its port number, played on its pty master, hung up and pulled out.

#include "tests/support/MockUsb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "comm/ComPort.h"
#include "comm/Dispatcher.h"
#include "platform/Udev.h"
#include "tests/support/WaitUntil.h"

namespace {

const std::string kVexilora = "USB\\Vid_ffff&Pid_0005\\VEXILORA";

// Reads from a pty master until count bytes came or timeoutMs passed.
std::string ReadMaster(int fd, size_t count, int timeoutMs = 10000) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buffer[256];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void WriteMaster(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Bytes the port received, taken on the dispatch thread as the packet component takes them.
struct TReceived {
  std::mutex Lock;
  std::string Text;
  void Attach(comm::TComPort& port) {
    port.ActiveDispatcher()->AddEventHandler(this,
                                             [this, &port](uint32_t msg, uint32_t count, int32_t) {
                                               if (msg != comm::TriggerAvailMessage) return;
                                               for (uint32_t i = 0; i < count; ++i) {
                                                 char c = static_cast<char>(port.ReceiveByte());
                                                 std::lock_guard lock(Lock);
                                                 Text.push_back(c);
                                               }
                                             });
  }
  std::string Get() {
    std::lock_guard lock(Lock);
    return Text;
  }
};

void Configure(comm::TComPort& port, int number) {
  port.SetComNumber(static_cast<uint16_t>(number));
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetDTR(false);
  port.SetRTS(false);
}

TEST(MockUsb, TheEnumeratedDeviceCarriesBytesBothWaysThroughThePort) {
  TMockUsb usb;
  TMockDevice device = usb.PlugIn();
  auto ports = platform::EnumerateUsbSerialPorts(kVexilora);
  ASSERT_TRUE(ports && ports->size() == 1u);

  comm::TComPort port;
  Configure(port, (*ports)[0].PortNumber);
  port.SetOpen(true);  // the mocked tty refuses TIOCEXCL and the modem ioctls; it still opens
  ASSERT_TRUE(port.Open());
  TReceived received;
  received.Attach(port);

  port.SendText("versw?\r\n");
  EXPECT_EQ(ReadMaster(device.Master, 8), "versw?\r\n");
  WriteMaster(device.Master, "\nOK 1.2\r");
  EXPECT_TRUE(WaitUntil([&] { return received.Get() == "\nOK 1.2\r"; }));
  port.SetOpen(false);
}

TEST(MockUsb, HangUpEndsReadsAndFailsWritesOnTheProgramsSide) {
  TMockUsb usb;
  TMockDevice device = usb.PlugIn();
  int fd = open(device.DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  WriteMaster(device.Master, "x");
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  char c;
  ASSERT_EQ(read(fd, &c, 1), 1);

  usb.HangUp(device);
  EXPECT_EQ(read(fd, &c, 1), 0);
  errno = 0;
  EXPECT_EQ(write(fd, "y", 1), -1);
  EXPECT_EQ(errno, EIO);
  close(fd);
  usb.PullOut(device);
}

TEST(MockUsb, AnOpenPortWhoseDeviceHangsUpAndVanishesStillCloses) {
  TMockUsb usb;
  TMockDevice device = usb.PlugIn();
  comm::TComPort port;
  Configure(port, comm::TCustomComPort::PortNumberForPath(device.DevicePath));
  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  port.SendText("boot\r\n");
  EXPECT_EQ(ReadMaster(device.Master, 6), "boot\r\n");

  usb.HangUp(device);
  usb.PullOut(device);
  port.SetOpen(false);  // must neither block nor throw
  EXPECT_FALSE(port.Open());
}

TEST(MockUsb, TestbedsFollowOneAnotherInOneProcess) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    TMockUsb usb;
    TMockDevice device = usb.PlugIn();
    EXPECT_EQ(device.DevicePath, "/dev/ttyACM0");
    auto ports = platform::EnumerateUsbSerialPorts(kVexilora);
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(ports->size(), 1u);
    usb.PullOut(device);
    EXPECT_TRUE(usb.Present().empty());
  }
}

}  // namespace
