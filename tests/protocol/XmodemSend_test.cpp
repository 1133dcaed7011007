// xmodem-send run as a user runs it, against a receiver that the test plays on a pty: the
// transfer's outcome on a noisy line, Ctrl-C and the other signals, files that cannot be
// sent, and what the tool says.
//
// The noise property: a correct Xmodem-1K receiver whose line back to the sender carries
// seeded random bytes (at random moments, and now and then just before a reply). Whatever
// the noise does, a run may end only in one of two ways: the sender exits 0 and the
// receiver holds the whole file after an acknowledged EOT, or the sender exits 1. The
// suite runs a few noise rates with 20 seeds each; XMODEM_NOISE_SEEDS=N runs N seeds per
// rate (a soak run, for example N=500) and XMODEM_NOISE_FIRST_SEED=S starts at seed S;
// XMODEM_NOISE_WAIT_MS bounds the wait for one sender (90 s by default). The Ctrl-C test
// takes XMODEM_SIGNAL_TRIES tries (20 by default).

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/TransferFixture.h"
#include "tests/support/ChildProcess.h"

#ifndef XMODEM_SEND_PATH
#error "XMODEM_SEND_PATH must name the xmodem-send program"
#endif

namespace {

using prototest::Pattern;
using prototest::ReadFile;
using prototest::ReferenceCrc;
using prototest::TempDir;
using prototest::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr char kSOH = 0x01, kSTX = 0x02, kEOT = 0x04, kACK = 0x06, kNAK = 0x15, kCAN = 0x18;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}

// A correct Xmodem receiver (CRC-16, 1024- and 128-byte blocks) on the master side of a pty.
// Its replies are exact; the noise is extra bytes on the same line.
class NoisyReceiver {
 public:
  struct TNoise {
    uint32_t EveryUs;             // mean gap between bytes sent at random moments (0: none)
    uint32_t BeforeReplyPercent;  // chance of a random byte just before a reply
  };

  NoisyReceiver(int master, uint32_t seed, TNoise noise)
      : master_(master), random_(seed), noise_(noise) {}

  // Runs until the EOT is acknowledged, a CAN arrives, or the sender has ended and the line
  // has been quiet for a moment.
  void Run(const std::atomic<bool>& senderEnded) {
    const auto giveUp = Clock::now() + std::chrono::seconds(120);
    // The sender discards what came before its transfer started: ask until it answers.
    auto nextAsk = Clock::now();
    bool answered = false;
    uint32_t expected = 1;
    while (Clock::now() < giveUp) {
      if (!answered && Clock::now() >= nextAsk) {
        Write("C");
        nextAsk = Clock::now() + std::chrono::milliseconds(100);
      }
      const int c = ReadByte(answered ? 200 : 50);
      if (c < 0) {
        if (senderEnded.load()) return;
        continue;
      }
      answered = true;
      if (c == kEOT) {
        Reply(kACK);
        EotSeen = true;
        return;
      }
      if (c == kCAN) {
        Cancelled = true;
        return;
      }
      if (c != kSTX && c != kSOH) continue;  // a stray byte between blocks
      const size_t size = c == kSTX ? 1024 : 128;
      std::string rest;
      for (size_t i = 0; i < size + 4; ++i) {
        const int b = ReadByte(1000);
        if (b < 0) break;
        rest.push_back(static_cast<char>(b));
      }
      const std::string data = rest.size() == size + 4 ? rest.substr(2, size) : std::string();
      const uint16_t crc = rest.size() == size + 4
                               ? static_cast<uint16_t>((static_cast<uint8_t>(rest[size + 2]) << 8) |
                                                       static_cast<uint8_t>(rest[size + 3]))
                               : 0;
      const uint8_t number = rest.empty() ? 0 : static_cast<uint8_t>(rest[0]);
      if (rest.size() != size + 4 || static_cast<uint8_t>(rest[1]) != 255 - number ||
          ReferenceCrc(data) != crc) {
        ReadUntilQuiet();
        Reply(kNAK);
        continue;
      }
      if (number == (expected & 0xFF)) {
        Blocks.push_back({static_cast<uint32_t>(Data.size()), static_cast<uint32_t>(size)});
        Data += data;
        ++expected;
        noiseOn_ = true;
        Reply(kACK);
      } else if (number == ((expected - 1) & 0xFF)) {
        Reply(kACK);  // a copy of the block before: already stored
      } else {
        Write(std::string(3, kCAN));
        SequenceError = true;
        return;
      }
    }
  }

  bool EotSeen = false;
  bool Cancelled = false;
  bool SequenceError = false;
  std::string Data;
  // Where each stored block begins in Data and how long it is, in the order stored.
  struct TBlock {
    uint32_t Offset;
    uint32_t Size;
  };
  std::vector<TBlock> Blocks;
  uint32_t NoiseBytes = 0;

 private:
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        return;
      }
    }
  }

  void Reply(char answer) {
    std::string out;
    if (noiseOn_ && percent_(random_) < noise_.BeforeReplyPercent) {
      out.push_back(static_cast<char>(byte_(random_)));
      ++NoiseBytes;
    }
    out.push_back(answer);
    Write(out);
  }

  void ScheduleNoise() {
    std::uniform_int_distribution<uint32_t> gap(noise_.EveryUs / 2, noise_.EveryUs * 3 / 2);
    nextNoise_ = Clock::now() + std::chrono::microseconds(gap(random_));
  }

  // The next byte from the sender, -1 after ms without one; noise goes out meanwhile.
  int ReadByte(uint32_t ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (pos_ < buffer_.size()) return static_cast<uint8_t>(buffer_[pos_++]);
      buffer_.clear();
      pos_ = 0;
      char chunk[4096];
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.assign(chunk, static_cast<size_t>(n));
        continue;
      }
      const auto now = Clock::now();
      if (noiseOn_ && noise_.EveryUs > 0) {
        if (nextNoise_ == Clock::time_point{}) ScheduleNoise();
        if (now >= nextNoise_) {
          Write(std::string(1, static_cast<char>(byte_(random_))));
          ++NoiseBytes;
          ScheduleNoise();
          continue;
        }
      }
      if (now >= deadline) return -1;
      auto until = deadline;
      if (noiseOn_ && noise_.EveryUs > 0 && nextNoise_ < until) until = nextNoise_;
      const auto waitUs =
          std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>((waitUs + 999) / 1000));
    }
  }

  void ReadUntilQuiet() {
    while (ReadByte(50) >= 0) {
    }
  }

  int master_;
  std::mt19937 random_;
  std::uniform_int_distribution<uint32_t> byte_{0, 255};
  std::uniform_int_distribution<uint32_t> percent_{0, 99};
  TNoise noise_;
  bool noiseOn_ = false;  // from the first good block on
  Clock::time_point nextNoise_{};
  std::string buffer_;
  size_t pos_ = 0;
};

// One transfer of a file to a noisy receiver.
struct NoisyRun {
  NoisyRun(uint32_t seed, NoisyReceiver::TNoise noise, const std::string& file)
      : Seed(seed), Receiver(pty.Master(), seed, noise) {
    WriteFile(dir / "source.bin", file);
    Sender = std::make_unique<ChildProcess>(
        std::vector<std::string>{XMODEM_SEND_PATH, pty.SlavePath(), dir / "source.bin"}, dir.Path(),
        dir / "sender.log");
    Thread = std::thread([this] { Receiver.Run(SenderEnded); });
  }
  ~NoisyRun() {
    SenderEnded = true;
    if (Thread.joinable()) Thread.join();
  }

  // Waits for the sender, then for the receiver; true when both ended in time.
  bool Finish() {
    const bool ended = Sender->Wait(EnvNumber("XMODEM_NOISE_WAIT_MS", 90000));
    SenderEnded = true;
    Thread.join();
    return ended;
  }

  uint32_t Seed;
  TempDir dir;
  PtyPair pty;
  NoisyReceiver Receiver;
  std::unique_ptr<ChildProcess> Sender;
  std::atomic<bool> SenderEnded{false};
  std::thread Thread;
};

// The receiver holds the file: its bytes, then nothing but fill.
bool HoldsFile(const std::string& received, const std::string& file) {
  if (received.size() < file.size() || received.compare(0, file.size(), file) != 0) return false;
  return received.find_first_not_of('\x1A', file.size()) == std::string::npos;
}

// What the receiver holds, said so that a mismatch can be traced: the EOT, the blocks stored
// (how many of each size) and where its data first differs from the file, in which block.
std::string DescribeReceived(const NoisyReceiver& receiver, const std::string& file) {
  const std::string& data = receiver.Data;
  std::string text = receiver.EotSeen ? "saw the EOT" : "never saw an EOT";
  size_t big = 0, small = 0;
  for (const NoisyReceiver::TBlock& b : receiver.Blocks) (b.Size == 1024 ? big : small) += 1;
  text += " and holds " + std::to_string(data.size()) + " bytes of " + std::to_string(file.size()) +
          " in " + std::to_string(big) + " 1024-byte and " + std::to_string(small) +
          " 128-byte blocks";
  size_t at = 0;
  while (at < data.size() && at < file.size() && data[at] == file[at]) ++at;
  if (at == file.size()) {
    const size_t fill = data.find_first_not_of('\x1A', file.size());
    if (fill == std::string::npos) return text + " (all of the file)";
    at = fill;
  } else if (at == data.size()) {
    return text + "; its data is the file's first " + std::to_string(at) + " bytes";
  }
  for (size_t i = 0; i < receiver.Blocks.size(); ++i) {
    const NoisyReceiver::TBlock& b = receiver.Blocks[i];
    if (at >= b.Offset && at < b.Offset + b.Size) {
      text += "; its data first differs at offset " + std::to_string(at) + ", in stored block " +
              std::to_string(i + 1) + " (number " + std::to_string((i + 1) & 0xFF) + ", " +
              std::to_string(b.Size) + " bytes from offset " + std::to_string(b.Offset) + ")";
      const size_t found = file.find(data.substr(b.Offset, std::min<size_t>(b.Size, 64)));
      if (found != std::string::npos)
        text += ", which holds the file's bytes from offset " + std::to_string(found);
      break;
    }
  }
  return text;
}

TEST(XmodemSendNoise, SucceedsOnlyWithTheWholeFileDelivered) {
  const uint32_t seeds = EnvNumber("XMODEM_NOISE_SEEDS", 20);
  const uint32_t firstSeed = EnvNumber("XMODEM_NOISE_FIRST_SEED", 1);
  const std::vector<NoisyReceiver::TNoise> rates = {{5000, 5}, {2000, 10}, {500, 25}};
  constexpr uint32_t kParallel = 4;

  int succeeded = 0, failed = 0;
  for (const NoisyReceiver::TNoise& noise : rates) {
    for (uint32_t first = firstSeed; first < firstSeed + seeds; first += kParallel) {
      std::vector<std::unique_ptr<NoisyRun>> runs;
      for (uint32_t seed = first; seed < std::min<uint32_t>(first + kParallel, firstSeed + seeds);
           ++seed) {
        const std::string file = Pattern(64 * 1024 + seed % 700, seed);
        runs.push_back(std::make_unique<NoisyRun>(seed, noise, file));
      }
      for (auto& run : runs) {
        SCOPED_TRACE("noise every " + std::to_string(noise.EveryUs) + " us, " +
                     std::to_string(noise.BeforeReplyPercent) + "% before replies, seed " +
                     std::to_string(run->Seed));
        const bool ended = run->Finish();
        const std::string log = ReadFile(run->dir / "sender.log");
        ASSERT_TRUE(ended) << "xmodem-send still running; the receiver holds "
                           << run->Receiver.Data.size() << " bytes"
                           << (run->Receiver.EotSeen ? " and saw the EOT" : "")
                           << (run->Receiver.Cancelled ? " and was cancelled" : "")
                           << ", noise bytes " << run->Receiver.NoiseBytes << "; it said:\n"
                           << log;
        const std::string file = Pattern(64 * 1024 + run->Seed % 700, run->Seed);
        if (run->Sender->ExitedWith(0)) {
          ++succeeded;
          EXPECT_TRUE(run->Receiver.EotSeen && HoldsFile(run->Receiver.Data, file))
              << "the sender reported success, but the receiver "
              << DescribeReceived(run->Receiver, file)
              << "; noise bytes: " << run->Receiver.NoiseBytes << "; it said:\n"
              << log;
        } else {
          ++failed;
          EXPECT_TRUE(run->Sender->ExitedWith(1)) << run->Sender->Describe() << "; it said:\n"
                                                  << log;
        }
      }
    }
  }
  std::printf("noise runs: %d succeeded, %d failed cleanly\n", succeeded, failed);
}

// A receiver scripted on the pty's master: asks for CRC until the sender answers, reads and
// acknowledges whole blocks.
class ScriptedReceiver {
 public:
  explicit ScriptedReceiver(PtyPair& pty) : pty_(pty) {}

  // Asks with 'C' until a block begins; false when none came within ms.
  bool Start(uint32_t ms = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      pty_.Write("C");
      seen_ = pty_.ReadFor(1, 100);
      if (!seen_.empty()) return true;
    }
    return false;
  }
  // The rest of a 1K block (its first byte may have come with Start).
  std::string Block() {
    std::string b = seen_ + pty_.ReadFor(1029 - seen_.size(), 5000);
    seen_.clear();
    return b;
  }
  void Say(const std::string& bytes) { pty_.Write(bytes); }
  // Everything the sender still sends until the line is quiet or sender has ended and
  // the line stays quiet.
  std::string Rest(ChildProcess& sender, uint32_t ms = 20000) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      got += pty_.ReadUntilIdle(100);
      if (sender.Wait(0)) {
        got += pty_.ReadUntilIdle(100);
        break;
      }
    }
    return got;
  }

 private:
  PtyPair& pty_;
  std::string seen_;
};

std::vector<std::string> SenderArgs(const std::string& device, const std::string& file) {
  return {XMODEM_SEND_PATH, device, file};
}

// Ctrl-C (and the other ways a terminal ends a program) cancel the transfer: the receiver
// gets the cancel sequence, whatever the sender was doing at that moment, and the sender
// exits 1 naming the cancel. Each signal is tried while a block is awaited and right after an
// acknowledgement (when the next block is on its way out).
TEST(XmodemSendSignals, CancelReachesTheReceiver) {
  const uint32_t tries = EnvNumber("XMODEM_SIGNAL_TRIES", 20);
  struct Case {
    const char* Name;
    int Signal;
  };
  for (const Case c : {Case{"SIGINT", SIGINT}, Case{"SIGTERM", SIGTERM}, Case{"SIGHUP", SIGHUP}}) {
    uint32_t delivered = 0;
    const uint32_t count = c.Signal == SIGINT ? tries : std::max<uint32_t>(tries / 4, 2);
    for (uint32_t i = 0; i < count; ++i) {
      SCOPED_TRACE(std::string(c.Name) + " try " + std::to_string(i));
      TempDir dir;
      PtyPair pty;
      WriteFile(dir / "source.bin", Pattern(200000, i + 1));
      ChildProcess sender(SenderArgs(pty.SlavePath(), dir / "source.bin"), dir.Path(),
                          dir / "sender.log");
      ScriptedReceiver rx(pty);
      ASSERT_TRUE(rx.Start());
      ASSERT_EQ(rx.Block().size(), 1029u);
      if (i % 2 == 1) {
        rx.Say("\x06");
        ASSERT_EQ(rx.Block().size(), 1029u);
        rx.Say("\x06");  // the third block leaves as the signal comes
      }
      sender.Signal(c.Signal);
      const std::string rest = rx.Rest(sender);
      ASSERT_TRUE(sender.Wait(20000)) << ReadFile(dir / "sender.log");
      const std::string log = ReadFile(dir / "sender.log");
      EXPECT_TRUE(sender.ExitedWith(1)) << sender.Describe() << "; it said:\n" << log;
      EXPECT_NE(log.find("xmodem-send: transfer to " + pty.SlavePath() +
                         " failed: Cancel requested (-6005)\n"),
                std::string::npos)
          << log;
      const bool got =
          rest.size() >= 6 && rest.compare(rest.size() - 6, 6, prototest::kCancelSequence) == 0;
      EXPECT_TRUE(got) << "the receiver got " << rest.size()
                       << " bytes, not ending in the cancel sequence";
      delivered += got ? 1 : 0;
    }
    std::printf("%s: cancel sequence delivered in %u of %u tries\n", c.Name, delivered, count);
  }
}

// What is not a regular file is refused before the device is opened: the tool exits 2 at
// once (a named pipe without a writer must not hold it) and the device hears nothing.
TEST(XmodemSendFiles, OnlyRegularFilesAreSent) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
  for (const std::string& file : {std::string("/dev/zero"), dir / "folder", dir / "pipe"}) {
    SCOPED_TRACE(file);
    PtyPair pty;
    ChildProcess sender(SenderArgs(pty.SlavePath(), file), dir.Path(), dir / "sender.log");
    ASSERT_TRUE(sender.Wait(20000)) << "xmodem-send still running";
    const std::string log = ReadFile(dir / "sender.log");
    EXPECT_TRUE(sender.ExitedWith(2)) << sender.Describe() << "; it said:\n" << log;
    EXPECT_EQ(log, "xmodem-send: " + file + ": not a regular file\n");
    EXPECT_EQ(pty.ReadUntilIdle(50), "");
  }
}

// A reader of the tool's output that went away costs the lines, not the transfer.
TEST(XmodemSendOutput, AClosedOutputStreamDoesNotEndTheTransfer) {
  TempDir dir;
  PtyPair pty;
  const std::string file = Pattern(5000, 3);
  WriteFile(dir / "source.bin", file);
  ChildProcess sender(SenderArgs(pty.SlavePath(), dir / "source.bin"), dir.Path(), "",
                      ChildProcess::TStdout::PipeBoth);
  sender.CloseStdoutPipe();  // xmodem-send ... 2>&1 | head -c0
  ScriptedReceiver rx(pty);
  ASSERT_TRUE(rx.Start());
  std::string received;
  for (int i = 0; i < 5; ++i) {
    received += rx.Block().substr(3, 1024);
    rx.Say("\x06");
  }
  EXPECT_EQ(pty.ReadFor(1, 5000), "\x04");
  rx.Say("\x06");
  ASSERT_TRUE(sender.Wait(20000));
  EXPECT_TRUE(sender.ExitedWith(0)) << sender.Describe();
  EXPECT_TRUE(received.compare(0, file.size(), file) == 0);
}

// The last status line says how the transfer ended, also when the status itself does not:
// a file that gets shorter while it is sent ends with the read error, not with "OK".
TEST(XmodemSendOutput, TheLastStatusLineShowsTheFailure) {
  TempDir dir;
  PtyPair pty;
  WriteFile(dir / "source.bin", Pattern(20000, 5));
  ChildProcess sender(SenderArgs(pty.SlavePath(), dir / "source.bin"), dir.Path(),
                      dir / "sender.log");
  ScriptedReceiver rx(pty);
  ASSERT_TRUE(rx.Start());
  ASSERT_EQ(rx.Block().size(), 1029u);
  // The first 8192 bytes are read ahead; the next reload finds the file short.
  ASSERT_EQ(::truncate((dir / "source.bin").c_str(), 5000), 0);
  rx.Say("\x06");
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(rx.Block().size(), 1029u) << i;
    rx.Say("\x06");
  }
  EXPECT_EQ(rx.Rest(sender), prototest::kCancelSequence);
  ASSERT_TRUE(sender.Wait(20000));
  EXPECT_TRUE(sender.ExitedWith(1)) << sender.Describe();
  const std::string log = ReadFile(dir / "sender.log");
  const std::string failure = "Attempt to read beyond end of file (-100)";
  EXPECT_EQ(log, "8192 of 20000 bytes (40%)  " + failure + "\nxmodem-send: transfer to " +
                     pty.SlavePath() + " failed: " + failure + "\n");
}

// Whatever goes wrong with the device, the message names it.
TEST(XmodemSendOutput, ADeviceThatCannotBeOpenedIsNamed) {
  TempDir dir;
  WriteFile(dir / "source.bin", "data");
  const std::string device = dir / "no-such-tty";
  ChildProcess sender(SenderArgs(device, dir / "source.bin"), dir.Path(), dir / "sender.log");
  ASSERT_TRUE(sender.Wait(20000));
  EXPECT_TRUE(sender.ExitedWith(2)) << sender.Describe();
  EXPECT_EQ(ReadFile(dir / "sender.log"), "xmodem-send: cannot open " + device +
                                              ": ie_BadId - Specified comport doesn't exist\n");
}

}  // namespace
