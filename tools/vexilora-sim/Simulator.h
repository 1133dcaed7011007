#pragma once

// A stand-in for the Vexilora: its application and its bootloader with the password lock and
// the Xmodem receiver, played on any file descriptor (a pty master, a socket) in a thread of
// its own. Written on plain POSIX and independent of the communication library, so that it is
// a second opinion on the wire.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexsim {

enum class TMode { Application, Bootloader, Receiving };

const char* ModeName(TMode mode);

// One line of 115200 8N1: ten bit times a byte.
inline constexpr std::chrono::nanoseconds kByteTime{86806};

struct TOptions {
  std::string HardwareVersion = "2.0";
  std::string SoftwareVersion = "2.0.0.3400";
  // The device password as its bytes (Windows-1251); empty: the device has none.
  std::string Password;
  bool StartInBootloader = false;
  // At or above 0: the first power-up finds the device in its receiver, its application erased,
  // with this many blocks accepted, as a host that vanished in the middle of an update leaves
  // it (0: still asking for the first block with its handshake; more: waiting silently for the
  // next block). Overrides StartInBootloader.
  int StartReceivingAfter = -1;
  // Interval of the receiver's handshake characters; the first goes out with the wr_prog
  // reply, so a host sees a line feed followed by "CC" one interval later.
  uint32_t HandshakeIntervalMs = 1000;
  // The receiver asks for 8-bit checksums (NAK) instead of CRC-16 ('C').
  bool ChecksumHandshake = false;
  // Inside a block, a pause this long drops the partial block and answers NAK.
  uint32_t CharTimeoutMs = 1000;
  // Waiting for the next block: after this long without a byte the receiver NAKs; after ten
  // such silences it cancels and goes back to its commands.
  uint32_t BlockTimeoutMs = 10000;
  // Hold every byte in each direction to the line rate of 115200 8N1.
  bool PaceLine = false;
  // Keep every byte each way in memory for Transcript, FromHost and ToHost. A program that
  // plays the device for hours, or a test that measures its own memory over many updates,
  // turns it off; the transcript file is written either way.
  bool KeepTranscript = true;
  // Where to save each received image (empty: not saved) and the byte transcript.
  std::string ImagePath;
  std::string TranscriptPath;

  // Faults that real devices show. Commands are named by their line without its line end,
  // "pass=" naming every password command.
  bool Silent = false;               // answers nothing at all
  std::string UnendedReplyTo;        // this command's reply line begins but never ends
  std::vector<std::string> ErrorOn;  // these commands are answered with ERROR
  // From this command on (it included) the device hangs: it neither answers nor carries out
  // anything until it is powered up again.
  std::string SilentFrom;
  bool NakFirstBlock = false;       // the first arrival of block 1 is answered NAK
  bool NakEveryBlock = false;       // every block is answered NAK
  int CancelAfterBlock = -1;        // after this many accepted blocks, cancel (CAN CAN CAN)
  bool ErrorAfterTransfer = false;  // the received image is rejected: ERROR instead of OK
  int HangUpAfterBlock = -1;        // the device vanishes when this block arrives
  bool SingleByteReplies = false;   // replies go out one byte per write
  // After this many accepted blocks of a transfer (counting from 1), StrayLine goes out right
  // behind that block's ACK, once a transfer; the receiver then carries on as usual.
  int StrayLineAfterBlock = -1;
  std::string StrayLine = "\r\nOK\r\n";
  // The application that "run" starts after an update answers ERROR to versw?: until the
  // device is powered up again, or, with VersionErrorForever, for as long as it holds the
  // updated application (power cycles included).
  bool VersionErrorAfterRun = false;
  bool VersionErrorForever = false;
  // After an update the device reports this software version instead of the image's.
  std::string VersionAfterUpdate;
  // Each answer to what the host sent (reply lines, the receiver's ACK and NAK) goes out this
  // much later; the device reads nothing meanwhile. The receiver's own handshakes and
  // timeouts keep their time.
  uint32_t ReplyDelayMs = 0;
  bool DuplicateReplies = false;  // every reply line goes out twice
  // Called on the device thread at the moments a harness may break in: "cmd LINE" when a
  // command line has been read and before it is answered or carried out, "handshake" when the
  // receiver is about to send its first handshake character, "block K" when the first byte
  // after K accepted blocks arrives (the start of block K+1, or the EOT after the last). True:
  // the device vanishes right there, answering nothing more (HangUp runs).
  std::function<bool(const std::string& moment)> Interrupt;
  // How the device vanishes; the default closes the descriptor. Runs on the device thread,
  // which then ends.
  std::function<void(int fd)> HangUp;
};

enum class TDirection { FromHost, ToHost };

struct TChunk {
  TDirection Direction;
  std::chrono::steady_clock::time_point Time;
  std::string Bytes;
};

// The device compares password bytes in its code page, Windows-1251; a password typed in
// UTF-8 becomes those bytes here. False when a character has no Windows-1251 form.
bool Cp1251FromUtf8(const std::string& utf8, std::string& out);

// Renders bytes as the transcript file shows them: printable ASCII as is, \r \n \\ and \xNN.
std::string Escape(const std::string& bytes);
// The other way, for bytes given on a command line: \r \n \\ and \xNN become their bytes, every
// other character stays. False on any other escape.
bool Unescape(const std::string& text, std::string& out);

class TSimulator {
 public:
  explicit TSimulator(TOptions options = {});
  ~TSimulator();
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  // Powers the device up on fd (which stays the caller's, unless the default hang-up closes
  // it) and plays it in a thread until Stop. The descriptor is made non-blocking. The first
  // start follows StartInBootloader; a later one (a re-plug) comes up in the application when
  // it holds a complete one, else in the bootloader. False when already running.
  bool Start(int fd);
  // Ends the device thread; the device keeps what it learned (versions, flash contents).
  // Start and Stop belong to one controlling thread; the views below may be read anywhere.
  void Stop();

  // Thread-safe views for tests and tools.
  bool Running() const;
  bool HungUp() const;
  TMode Mode() const;
  std::string SoftwareVersion() const;
  std::string HardwareVersion() const;
  bool Unlocked() const;
  bool ApplicationValid() const;
  // The data of the last transfer that ended with EOT (with the sender's fill of its last
  // block, as a device writes it to flash) and how many transfers ended so.
  std::string ReceivedImage() const;
  uint32_t TransfersEnded() const;
  uint32_t BlocksAccepted() const;
  uint32_t NaksSent() const;
  std::vector<TChunk> Transcript() const;
  std::string FromHost() const;
  std::string ToHost() const;
  // Every byte received while the device was reading commands, as received (with the line
  // feed that ends the "wr_prog\r\n" that started a transfer).
  std::string CommandBytes() const;
  // The command lines understood so far, without their line ends.
  std::vector<std::string> Commands() const;
  // Bytes received from the host whose handling (replies included) has finished.
  uint64_t BytesHandled() const;

 private:
  struct TState;
  void Run(int fd, int stopFd);
  std::unique_ptr<TState> state_;
  std::thread thread_;
  int stopFd_ = -1;  // written by Stop to end the device thread
  int stopRead_ = -1;
};

}  // namespace vexsim
