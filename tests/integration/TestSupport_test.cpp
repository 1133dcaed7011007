// The test harness itself: the pty pair that plays a device and WaitUntil's pumping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/MessageQueue.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

namespace {

// Opens the slave side the way the code under test opens a device.
class SlaveFd {
 public:
  explicit SlaveFd(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~SlaveFd() {
    if (fd_ >= 0) close(fd_);
  }
  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

TEST(PtyPair, CarriesRawBytesBothWays) {
  PtyPair pty;
  SlaveFd device(pty.SlavePath());
  ASSERT_GE(device.Fd(), 0);

  // Every byte value, CR and LF included, passes untouched (raw mode on both sides).
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  ASSERT_EQ(write(device.Fd(), all.data(), all.size()), 256);
  EXPECT_EQ(pty.ReadFor(256, 5000), all);

  pty.Write("\nOK\r");
  std::string got;
  char buffer[16];
  while (got.size() < 4) {
    const ssize_t n = read(device.Fd(), buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "\nOK\r");
}

TEST(PtyPair, ReadsStopAtTheirLimits) {
  PtyPair pty;
  SlaveFd device(pty.SlavePath());
  EXPECT_EQ(pty.ReadFor(10, 5), "");  // nothing comes
  ASSERT_EQ(write(device.Fd(), "abc", 3), 3);
  EXPECT_EQ(pty.ReadFor(2, 5000), "ab");
  EXPECT_EQ(pty.ReadUntilIdle(50), "c");
}

TEST(PtyPair, MasterSeesNoHangUpWhileTheCodeUnderTestHasClosedTheSlave) {
  PtyPair pty;
  { SlaveFd device(pty.SlavePath()); }
  pty.Write("still here");  // would fail with EIO without the pair's own slave fd
  SlaveFd again(pty.SlavePath());
  char buffer[32];
  const ssize_t n = read(again.Fd(), buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "still here");
}

TEST(WaitUntil, PumpsTheMainThreadWhileWaiting) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    platform::RunOnMainThread([] {});  // finishes only if the waiting main thread pumps
    done = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_FALSE(WaitUntil([] { return false; }, 10));
}
