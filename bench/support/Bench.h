#pragma once
// Pieces shared by the benchmark programs: a monotonic clock, pseudo-terminals that stand in
// for the serial line, child processes (the sender under measurement, lrzsz, socat), a
// scripted Xmodem receiver that answers at once, a relay that paces a link like a real
// 115200 8N1 line, and small statistics helpers.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds.
int64_t NowNs();

// One character on a 115200 baud line with 8 data bits, no parity, 1 stop bit: 10 bit times.
constexpr double kLineBaud = 115200.0;
constexpr double kByteNs = 10.0 * 1e9 / kLineBaud;  // 86,805.6 ns
constexpr double kLineBytesPerSecond = kLineBaud / 10.0;

// Bytes that differ from block to block, so a misplaced block shows.
std::string Pattern(size_t size, uint32_t seed);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// The bytes an Xmodem receiver ends up with: the file filled up with 0x1A to whole blocks.
std::string PaddedToBlocks(const std::string& file, size_t block);

// A temporary folder removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A pseudo-terminal whose slave the program under measurement opens. The slave keeps the
// system's default (cooked, echoing) settings until its user switches it to raw mode, which
// is how the harness sees that the user has its device set up.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }
  // A fresh descriptor on the slave (for a child's standard input and output).
  int OpenSlave() const;
  // Waits until someone has the slave open and has switched echo off; false after ms.
  bool WaitRawUser(int ms) const;

 private:
  int master_ = -1;
  std::string slavePath_;
};

void MakeRaw(int fd);
void SetNonBlocking(int fd);

// A child process. Output goes to the given log file; stdio may be redirected to a fd.
class Child {
 public:
  Child() = default;
  ~Child();  // kills a child that still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // stdioFd >= 0 becomes standard input and output; standard error (and output when
  // stdioFd < 0) goes to logPath. cwd empty: the current folder.
  void Start(const std::vector<std::string>& argv, const std::string& logPath, int stdioFd = -1,
             const std::string& cwd = "");
  // Exit status (or 128 + signal); -1 when still running after ms.
  int Wait(int ms);
  bool Running();
  void Kill();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// ---- the scripted Xmodem receiver --------------------------------------------------------

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

struct ReceiverResult {
  bool Ok = false;
  std::string Error;
  std::string Data;  // the data bytes of every accepted block, fill included
  uint32_t Blocks = 0;
  uint32_t Naks = 0;
  uint32_t Duplicates = 0;
  uint32_t Garbage = 0;
  uint32_t Handshakes = 0;  // 'C' sent
  // Host turnaround: for each accepted block that is followed by another block, the moment
  // the ACK was written and the moment the first byte of the next block was read.
  std::vector<int64_t> AckWritten;
  std::vector<int64_t> NextBlockArrived;
  int64_t LastAckToEot = -1;  // the same for the block before EOT
};

// Plays an Xmodem-1K/CRC receiver on fd: 'C' (again after handshakeRetryMs while nothing
// came), then ACK every good block at once, NAK a damaged one, ACK the EOT. Ends on EOT,
// CAN, end of file, an idle limit of idleMs, or stop.
ReceiverResult ReceiveXmodem(int fd, int handshakeRetryMs, int idleMs,
                             const std::atomic<bool>& stop);

// ---- the paced link -----------------------------------------------------------------------

// One byte as the line carried it: when the relay took it from its source, when its first
// bit went on the line, when its stop bit ended (it is due at the far end), and when the
// relay actually handed it on.
struct LineByte {
  uint8_t Byte;
  int64_t Taken;
  int64_t LineStart;
  int64_t Due;
  int64_t Delivered;
};

// Relays bytes between two descriptors, each direction on its own like the two wires of a
// serial line: a byte goes on the line when it has been taken and the previous one has
// ended, and reaches the far end one character time later. Bytes that are due are handed
// on together, at the latest batchNs after the first of them is due; the last byte of a
// burst is handed on when it is due.
class PacedRelay {
 public:
  PacedRelay(int a, int b, double byteNs = kByteNs, int64_t batchNs = 1'000'000);
  ~PacedRelay();
  PacedRelay(const PacedRelay&) = delete;
  PacedRelay& operator=(const PacedRelay&) = delete;

  void Start();
  void Stop();  // joins both directions; the records below are then complete
  // What the line carried from a to b and from b to a.
  const std::vector<LineByte>& AToB() const { return forward_.Record; }
  const std::vector<LineByte>& BToA() const { return backward_.Record; }

 private:
  struct Direction {
    int In = -1;
    int Out = -1;
    std::vector<LineByte> Record;
    std::string Error;
  };
  void Run(Direction& d);

  double byteNs_;
  int64_t batchNs_;
  int stopFd_ = -1;
  Direction forward_;
  Direction backward_;
  std::thread forwardThread_;
  std::thread backwardThread_;
};

// ---- statistics ---------------------------------------------------------------------------

// The p-th percentile (0..100) by the nearest-rank rule; 0 for no values.
int64_t Percentile(std::vector<int64_t> values, double p);

std::string FormatMs(int64_t ns);
std::string FormatUs(int64_t ns);

}  // namespace bench
