// Interoperability with an independent Xmodem receiver: lrzsz's rx, attached through socat
// with pipes (rx is unreliable directly on a pty). xmodem-send must deliver files of every
// interesting size byte-exact (rx keeps the 0x1A fill of the last block); the component's
// status reports are checked against the same receiver in-process.
//
// rx sends its first 'C' as it starts and the next one only ~14 s later, and the transmitter
// discards anything received before its transfer starts; socat therefore starts rx a moment
// after the sender has opened the device, so the first 'C' is not lost.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/ComPort.h"
#include "protocol/Protocol.h"
#include "tests/protocol/TransferFixture.h"
#include "tests/support/ChildProcess.h"

namespace {

using prototest::Pattern;
using prototest::ReadFile;
using prototest::TempDir;
using prototest::WriteFile;
using Clock = std::chrono::steady_clock;

#ifndef XMODEM_SEND_PATH
#error "XMODEM_SEND_PATH must name the xmodem-send program"
#endif

bool OnPath(const char* program) {
  const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// rx in its own folder behind socat; the sender opens Device().
class Receiver {
 public:
  explicit Receiver(const TempDir& dir)
      : dir_(dir),
        socat_({"socat", "PTY,link=" + Device() + ",raw,echo=0,wait-slave,pty-interval=0.02",
                "SYSTEM:sleep 0.5; exec rx -c -b out.bin,pipes"},
               dir.Path(), dir / "receiver.log") {}

  std::string Device() const { return dir_ / "ttyV0"; }
  std::string Received() const { return ReadFile(dir_ / "out.bin"); }
  std::string Log() const { return ReadFile(dir_ / "receiver.log"); }

  // The pty link appears once socat is set up.
  ::testing::AssertionResult Ready(uint32_t ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    struct stat st {};
    while (::lstat(Device().c_str(), &st) != 0) {
      if (!socat_.Started() || !socat_.Running() || Clock::now() >= deadline) {
        return ::testing::AssertionFailure()
               << "socat made no pty link (" << socat_.Describe() << "); it said:\n"
               << Log();
      }
      socat_.Wait(10);
    }
    return ::testing::AssertionSuccess();
  }

  // rx ends after the transfer, and socat with it.
  ::testing::AssertionResult Finished(uint32_t ms) {
    if (socat_.Wait(ms) && socat_.ExitedWith(0)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "receiver did not end cleanly (" << socat_.Describe() << "); socat and rx said:\n"
           << Log();
  }

 private:
  const TempDir& dir_;
  ChildProcess socat_;
};

std::string Padded(const std::string& file, size_t block) {
  std::string p = file;
  p.resize((file.size() + block - 1) / block * block, '\x1A');
  return p;
}

class Lrzsz : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("rx") || !OnPath("socat"))
      FAIL() << "lrzsz's rx and socat are needed (scripts/setup installs them)";
  }
};

TEST_F(Lrzsz, XmodemSendDeliversEverySizeByteExact) {
  const std::vector<size_t> sizes = {0, 1, 127, 128, 1023, 1024, 1025, 37648, 300000};
  struct Transfer {
    size_t Size;
    TempDir Dir;
    std::string File;
    std::unique_ptr<Receiver> Rx;
    std::unique_ptr<ChildProcess> Sender;
  };
  // All transfers run at once, each on its own pty with its own receiver.
  std::vector<std::unique_ptr<Transfer>> transfers;
  for (size_t size : sizes) {
    auto t = std::make_unique<Transfer>();
    t->Size = size;
    t->File = Pattern(size, static_cast<uint32_t>(size) + 1);
    WriteFile(t->Dir / "source.bin", t->File);
    t->Rx = std::make_unique<Receiver>(t->Dir);
    transfers.push_back(std::move(t));
  }
  for (auto& t : transfers) {
    ASSERT_TRUE(t->Rx->Ready(10000)) << "size " << t->Size;
    t->Sender = std::make_unique<ChildProcess>(
        std::vector<std::string>{XMODEM_SEND_PATH, t->Rx->Device(), t->Dir / "source.bin"},
        t->Dir.Path(), t->Dir / "sender.log");
    ASSERT_TRUE(t->Sender->Started()) << "cannot start " << XMODEM_SEND_PATH;
  }
  for (auto& t : transfers) {
    SCOPED_TRACE("size " + std::to_string(t->Size));
    ASSERT_TRUE(t->Sender->Wait(90000)) << "xmodem-send still running; it said:\n"
                                        << ReadFile(t->Dir / "sender.log") << "\nrx said:\n"
                                        << t->Rx->Log();
    EXPECT_TRUE(t->Sender->ExitedWith(0)) << t->Sender->Describe() << "; it said:\n"
                                          << ReadFile(t->Dir / "sender.log") << "\nrx said:\n"
                                          << t->Rx->Log();
    ASSERT_TRUE(t->Rx->Finished(10000));
    const std::string received = t->Rx->Received();
    EXPECT_EQ(received.size(), Padded(t->File, 1024).size());
    EXPECT_TRUE(received == Padded(t->File, 1024)) << "received bytes differ";
  }
}

TEST_F(Lrzsz, ComponentReportsTheTransferToARealReceiver) {
  TempDir dir;
  const std::string file = Pattern(37648, 77);
  WriteFile(dir / "firmware.bin", file);
  Receiver rx(dir);
  ASSERT_TRUE(rx.Ready(10000));

  comm::TComPort port;
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetInSize(1030);
  port.SetOutSize(1030);  // room for exactly one 1K block, as the update utility has
  port.SetComNumber(comm::TCustomComPort::PortNumberForPath(rx.Device()));
  port.SetOpen(true);

  comm::TProtocol protocol;
  protocol.SetComPort(&port);
  protocol.SetProtocolType(comm::ptXmodem1K);
  protocol.SetHandshakeWait(1092);
  protocol.SetStatusInterval(1);
  protocol.SetFileMask(dir / "firmware.bin");
  std::vector<prototest::TReport> reports;
  std::vector<int32_t> finish;
  protocol.OnProtocolStatus = [&](comm::TCustomProtocol* p, uint16_t options) {
    reports.push_back({options, p->ProtocolStatus(), p->BytesTransferred(), p->FileLength()});
  };
  protocol.OnProtocolFinish = [&](comm::TCustomProtocol*, int32_t code) { finish.push_back(code); };

  protocol.StartTransmit();
  ASSERT_TRUE(WaitUntil([&] { return !finish.empty(); }, 60000)) << "rx said:\n" << rx.Log();
  port.SetOpen(false);
  ASSERT_TRUE(rx.Finished(10000));

  EXPECT_EQ(finish, std::vector<int32_t>{0});
  EXPECT_TRUE(rx.Received() == Padded(file, 1024));
  EXPECT_EQ(protocol.Record().RawBytesTransferred, 37888);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front().Options, comm::soFirstReport);
  EXPECT_EQ(reports.back().Options, comm::soLastReport);
  EXPECT_EQ(reports.back().Status, comm::psEndFile);
  EXPECT_EQ(reports.back().Bytes, 37888);
  // Progress grows, and never counts more than the blocks sent. It may drop by one block
  // while a freshly queued block still has a block's worth of bytes in the output buffer
  // (those are discounted), and no further.
  int32_t highest = 0;
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_GE(reports[i].Bytes, highest - 1024) << i;
    EXPECT_LE(reports[i].Bytes, 37888) << i;
    highest = std::max(highest, reports[i].Bytes);
  }
}

}  // namespace
