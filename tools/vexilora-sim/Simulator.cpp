#include "tools/vexilora-sim/Simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vexsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;

// Longer command lines are not commands; the device answers them with ERROR once they end.
constexpr size_t kMaxLine = 128;
// Consecutive bad blocks or silences after which the receiver gives up.
constexpr int kMaxReceiveErrors = 10;
// A host that has its side of the line closed: look again after this pause.
constexpr int kNoHostPauseMs = 20;

uint16_t Crc16(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

// The version an image announces: the text after the first "VERSW=" up to the first byte that
// cannot be part of it (its line feed, a zero, the fill). No tag: nothing.
std::optional<std::string> ImageVersion(const std::string& image) {
  const size_t at = image.find("VERSW=");
  if (at == std::string::npos) return std::nullopt;
  std::string version;
  for (size_t i = at + 6; i < image.size() && version.size() < 64; ++i) {
    const unsigned char c = static_cast<unsigned char>(image[i]);
    if (c <= 0x20 || c >= 0x7F) break;
    version += static_cast<char>(c);
  }
  return version;
}

bool MatchesCommand(const std::string& line, const std::string& command) {
  if (command.empty()) return false;
  if (line == command) return true;
  // "pass=" names every password command.
  return command.back() == '=' && line.compare(0, command.size(), command) == 0;
}

bool MatchesAny(const std::string& line, const std::vector<std::string>& commands) {
  return std::any_of(commands.begin(), commands.end(),
                     [&](const std::string& c) { return MatchesCommand(line, c); });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* ModeName(TMode mode) {
  switch (mode) {
    case TMode::Application:
      return "application";
    case TMode::Bootloader:
      return "bootloader";
    case TMode::Receiving:
      return "receiving";
  }
  return "?";
}

bool Cp1251FromUtf8(const std::string& utf8, std::string& out) {
  iconv_t cd = ::iconv_open("CP1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = utf8;
  std::string converted(in.size() + 1, '\0');  // never longer than its UTF-8 form
  char* src = in.data();
  size_t srcLeft = in.size();
  char* dst = converted.data();
  size_t dstLeft = converted.size();
  const size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  ::iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return false;
  converted.resize(converted.size() - dstLeft);
  out = converted;
  return true;
}

std::string Escape(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string& out) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case '\\':
        bytes += '\\';
        break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  out = bytes;
  return true;
}

// Everything the device knows and does. The device thread changes it under Lock; the views
// read it under the same lock. Output produced by a step is collected in Out and written by
// the thread after the step, outside the lock.
struct TSimulator::TState {
  explicit TState(TOptions o) : Options(std::move(o)) {}

  const TOptions Options;
  const Clock::time_point Born = Clock::now();
  mutable std::mutex Lock;

  // What survives a power cycle.
  bool Started = false;
  bool AppValid = true;
  std::string Software;
  bool ImageMute = false;  // the application in flash never tells its version
  // The session.
  TMode Mode = TMode::Application;
  bool Unlocked = false;
  bool Stuck = false;        // a begun reply never ended: the device answers nothing any more
  bool MuteOnRun = false;    // the next "run" starts an application that cannot say its version
  bool VersionMute = false;  // the running application cannot say its version
  bool Running = false;
  bool HungUp = false;
  std::string Line;
  bool LineOverflow = false;

  // The Xmodem receiver.
  enum class TRx { Handshake, WaitBlock, Block } Rx = TRx::Handshake;
  Clock::time_point NextHandshake;
  Clock::time_point LastByte;
  std::string Block;  // block number, complement, data, check
  size_t BlockLength = 0;
  uint8_t Expected = 1;
  int Accepted = 0;
  int Errors = 0;
  int CanCount = 0;
  bool FirstNakDone = false;
  bool LineFeedPending = false;  // the line feed of a "wr_prog\r\n" still belongs to it
  std::string Image;
  bool HangUpNow = false;

  // Records.
  std::string ReceivedImage;
  uint32_t TransfersEnded = 0;
  uint32_t BlocksAccepted = 0;
  uint32_t NaksSent = 0;
  std::vector<TChunk> Transcript;
  std::string CommandBytes;
  std::vector<std::string> Commands;
  uint64_t BytesHandled = 0;
  FILE* TranscriptFile = nullptr;

  std::string Out;

  size_t CheckLength() const { return Options.ChecksumHandshake ? 1 : 2; }

  void Record(TDirection direction, const char* data, size_t size) {
    TChunk chunk{direction, Clock::now(), std::string(data, size)};
    if (TranscriptFile != nullptr) {
      const double seconds = std::chrono::duration<double>(chunk.Time - Born).count();
      std::fprintf(TranscriptFile, "%12.6f %s %s\n", seconds,
                   direction == TDirection::FromHost ? "H>D" : "D>H", Escape(chunk.Bytes).c_str());
      std::fflush(TranscriptFile);
    }
    if (Options.KeepTranscript) Transcript.push_back(std::move(chunk));
  }

  void ReplyLine(const std::string& text) {
    Out += "\r\n" + text + "\r\n";
    if (Options.DuplicateReplies) Out += "\r\n" + text + "\r\n";
  }

  void Reply(const std::string& line, const std::string& text) {
    if (MatchesCommand(line, Options.UnendedReplyTo)) {
      Out += "\r\n" + text;
      Stuck = true;
      return;
    }
    ReplyLine(text);
  }

  void PowerUp() {
    if (!Started) {
      Started = true;
      Software = Options.SoftwareVersion;
      Mode = Options.StartInBootloader ? TMode::Bootloader : TMode::Application;
      if (Options.StartReceivingAfter >= 0) {
        StartReceiver();
        if (Options.StartReceivingAfter > 0) {
          // Past the handshake: the first 'C' has long gone out, the receiver waits for a block.
          Out.clear();
          Rx = TRx::WaitBlock;
          Accepted = Options.StartReceivingAfter;
          Expected = static_cast<uint8_t>(Accepted + 1);
        }
      }
    } else {
      Mode = AppValid ? TMode::Application : TMode::Bootloader;
    }
    Unlocked = false;
    Stuck = false;
    MuteOnRun = false;
    VersionMute = false;
    HungUp = false;
    HangUpNow = false;
    Line.clear();
    LineOverflow = false;
  }

  void Execute(const std::string& line) {
    Commands.push_back(line);
    if (Options.Interrupt && Options.Interrupt("cmd " + line)) {
      HangUpNow = true;
      return;
    }
    if (MatchesCommand(line, Options.SilentFrom)) Stuck = true;
    if (Options.Silent || Stuck) return;
    if (MatchesAny(line, Options.ErrorOn)) {
      Reply(line, "ERROR");
      return;
    }
    if (Mode == TMode::Application) {
      if (line == "versw?") {
        Reply(line, VersionMute || ImageMute ? "ERROR" : "VERSW=" + Software);
      } else if (line == "boot") {
        Reply(line, "BOOTLOADER");
        Mode = TMode::Bootloader;  // the device restarts into its bootloader, locked again
        Unlocked = false;
      } else {
        Reply(line, "ERROR");  // "loader" included: the application is not the loader
      }
      return;
    }
    const bool locked = !Options.Password.empty() && !Unlocked;
    if (line == "loader") {
      Reply(line, "OK");
    } else if (line == "verhw?") {
      Reply(line, "VERHW=" + Options.HardwareVersion);
    } else if (line == "pass?") {
      Reply(line, locked ? "PASSWORD ERROR" : "OK");
    } else if (line.compare(0, 5, "pass=") == 0) {
      if (Options.Password.empty() || line.substr(5) == Options.Password) {
        Unlocked = true;
        Reply(line, "OK");
      } else {
        Reply(line, "ERROR");
      }
    } else if (line == "wr_prog") {
      if (locked) {
        Reply(line, "ERROR");
        return;
      }
      Reply(line, "wr_prog");
      if (Stuck) return;
      StartReceiver();
      LineFeedPending = true;
    } else if (line == "run") {
      if (AppValid) {
        Reply(line, "OK");
        Mode = TMode::Application;
        VersionMute = VersionMute || MuteOnRun;
        MuteOnRun = false;
      } else {
        Reply(line, "ERROR");  // nothing to run: the flash was erased for programming
      }
    } else {
      Reply(line, "ERROR");
    }
  }

  void CommandByte(uint8_t b) {
    CommandBytes += static_cast<char>(b);
    if (b == '\r' || b == '\n') {
      if (LineOverflow) {
        Commands.push_back(Line);
        if (!Options.Silent && !Stuck) ReplyLine("ERROR");
      } else if (!Line.empty()) {
        Execute(Line);
      }
      Line.clear();
      LineOverflow = false;
      return;
    }
    // Other control bytes are line noise (for instance the tail of a cancel sequence).
    if (b < 0x20 || b == 0x7F) return;
    if (Line.size() < kMaxLine) {
      Line += static_cast<char>(b);
    } else {
      LineOverflow = true;
    }
  }

  // Programming begins: the application is erased, the receiver asks for the first block.
  void StartReceiver() {
    AppValid = false;
    Mode = TMode::Receiving;
    Rx = TRx::Handshake;
    Expected = 1;
    Accepted = 0;
    Errors = 0;
    CanCount = 0;
    FirstNakDone = false;
    LineFeedPending = false;
    Image.clear();
    Block.clear();
    if (Options.Interrupt && Options.Interrupt("handshake")) {
      HangUpNow = true;
      return;
    }
    Out += static_cast<char>(Options.ChecksumHandshake ? kNak : 'C');
    NextHandshake = Clock::now() + std::chrono::milliseconds(Options.HandshakeIntervalMs);
    LastByte = Clock::now();
  }

  void EndReceiver() {
    Mode = TMode::Bootloader;
    Line.clear();
    LineOverflow = false;
  }

  void Nak(bool counts) {
    Out += static_cast<char>(kNak);
    ++NaksSent;
    if (counts && ++Errors >= kMaxReceiveErrors) {
      Out += std::string(3, static_cast<char>(kCan));
      EndReceiver();
    }
  }

  void Finish() {
    Out += static_cast<char>(kAck);
    ++TransfersEnded;
    ReceivedImage = Image;
    if (!Options.ImagePath.empty()) {
      if (FILE* f = std::fopen(Options.ImagePath.c_str(), "wb")) {
        std::fwrite(Image.data(), 1, Image.size(), f);
        std::fclose(f);
      } else {
        std::fprintf(stderr, "vexilora-sim: cannot save the image to %s: %s\n",
                     Options.ImagePath.c_str(), std::strerror(errno));
      }
    }
    const std::optional<std::string> version = ImageVersion(Image);
    EndReceiver();
    if (!version || Options.ErrorAfterTransfer) {
      ReplyLine("ERROR");
      return;
    }
    Software = Options.VersionAfterUpdate.empty() ? *version : Options.VersionAfterUpdate;
    AppValid = true;
    ImageMute = Options.VersionErrorForever;
    MuteOnRun = Options.VersionErrorAfterRun;
    ReplyLine("OK");
  }

  void CheckBlock() {
    Rx = TRx::WaitBlock;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(Block.data());
    const uint8_t number = b[0];
    const uint8_t* data = b + 2;
    bool good = static_cast<uint8_t>(number + b[1]) == 0xFF;
    if (good && Options.ChecksumHandshake) {
      uint8_t sum = 0;
      for (size_t i = 0; i < BlockLength; ++i) sum = static_cast<uint8_t>(sum + data[i]);
      good = sum == data[BlockLength];
    } else if (good) {
      const uint16_t crc = Crc16(data, BlockLength);
      good = data[BlockLength] == (crc >> 8) && data[BlockLength + 1] == (crc & 0xFF);
    }
    if (!good) {
      Nak(true);
      return;
    }
    if (number == Expected) {
      if (Options.HangUpAfterBlock == Accepted + 1) {
        HangUpNow = true;
        return;
      }
      if (Options.CancelAfterBlock == Accepted) {
        Out += std::string(3, static_cast<char>(kCan));
        EndReceiver();
        return;
      }
      if (Options.NakEveryBlock || (Options.NakFirstBlock && Accepted == 0 && !FirstNakDone)) {
        FirstNakDone = true;
        Nak(false);
        return;
      }
      Image.append(reinterpret_cast<const char*>(data), BlockLength);
      ++Expected;
      ++Accepted;
      ++BlocksAccepted;
      Errors = 0;
      Out += static_cast<char>(kAck);
      if (Accepted == Options.StrayLineAfterBlock) Out += Options.StrayLine;
      return;
    }
    if (Accepted > 0 && number == static_cast<uint8_t>(Expected - 1)) {
      Out += static_cast<char>(kAck);  // our ACK was lost: the sender repeats the block
      return;
    }
    Nak(true);
  }

  void ReceiverByte(uint8_t b, Clock::time_point now) {
    if (LineFeedPending) {
      LineFeedPending = false;
      if (b == '\n') {
        CommandBytes += '\n';
        return;
      }
    }
    LastByte = now;
    if (Rx == TRx::Block) {
      Block += static_cast<char>(b);
      if (Block.size() == 2 + BlockLength + CheckLength()) CheckBlock();
      return;
    }
    if (b == kCan) {
      if (++CanCount >= 2) EndReceiver();  // the sender cancels; one CAN may be line noise
      return;
    }
    CanCount = 0;
    if ((b == kSoh || b == kStx || b == kEot) && Options.Interrupt &&
        Options.Interrupt("block " + std::to_string(Accepted))) {
      HangUpNow = true;
      return;
    }
    if (b == kSoh || b == kStx) {
      Rx = TRx::Block;
      BlockLength = b == kSoh ? 128 : 1024;
      Block.clear();
    } else if (b == kEot) {
      Finish();
    }
    // Anything else between blocks is noise, like the line feed that ends "wr_prog\r\n".
  }

  void Input(const char* data, size_t size, Clock::time_point now) {
    for (size_t i = 0; i < size && !HangUpNow; ++i) {
      const uint8_t b = static_cast<uint8_t>(data[i]);
      if (Mode == TMode::Receiving) {
        ReceiverByte(b, now);
      } else {
        CommandByte(b);
      }
    }
  }

  std::optional<Clock::time_point> NextDeadline() const {
    if (Mode != TMode::Receiving) return std::nullopt;
    switch (Rx) {
      case TRx::Handshake:
        return NextHandshake;
      case TRx::Block:
        return LastByte + std::chrono::milliseconds(Options.CharTimeoutMs);
      case TRx::WaitBlock:
        return LastByte + std::chrono::milliseconds(Options.BlockTimeoutMs);
    }
    return std::nullopt;
  }

  void Tick(Clock::time_point now) {
    const std::optional<Clock::time_point> deadline = NextDeadline();
    if (!deadline || now < *deadline) return;
    switch (Rx) {
      case TRx::Handshake:
        Out += static_cast<char>(Options.ChecksumHandshake ? kNak : 'C');
        NextHandshake = now + std::chrono::milliseconds(Options.HandshakeIntervalMs);
        break;
      case TRx::Block:  // the rest of the block never came
      case TRx::WaitBlock:
        Rx = TRx::WaitBlock;
        Block.clear();
        LastByte = now;
        Nak(true);
        break;
    }
  }
};

TSimulator::TSimulator(TOptions options) : state_(std::make_unique<TState>(std::move(options))) {
  if (!state_->Options.TranscriptPath.empty()) {
    state_->TranscriptFile = std::fopen(state_->Options.TranscriptPath.c_str(), "w");
    if (state_->TranscriptFile == nullptr) {
      std::fprintf(stderr, "vexilora-sim: cannot write the transcript %s: %s\n",
                   state_->Options.TranscriptPath.c_str(), std::strerror(errno));
    }
  }
}

TSimulator::~TSimulator() {
  Stop();
  if (state_->TranscriptFile != nullptr) std::fclose(state_->TranscriptFile);
}

bool TSimulator::Start(int fd) {
  if (thread_.joinable()) {
    std::lock_guard<std::mutex> lock(state_->Lock);
    if (state_->Running) return false;
  }
  Stop();  // a thread that ended on its own (hang-up, end of file) is joined here
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  stopFd_ = pipeFds[1];
  stopRead_ = pipeFds[0];
  const int stopRead = stopRead_;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  {
    std::lock_guard<std::mutex> lock(state_->Lock);
    state_->PowerUp();
    state_->Running = true;
  }
  thread_ = std::thread([this, fd, stopRead] { Run(fd, stopRead); });
  return true;
}

void TSimulator::Stop() {
  if (stopFd_ >= 0) {
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &b, 1);
  }
  if (thread_.joinable()) thread_.join();
  if (stopFd_ >= 0) ::close(stopFd_);
  if (stopRead_ >= 0) ::close(stopRead_);
  stopFd_ = stopRead_ = -1;
  std::lock_guard<std::mutex> lock(state_->Lock);
  state_->Running = false;
}

void TSimulator::Run(int fd, int stopFd) {
  TState& s = *state_;
  const TOptions& o = s.Options;
  bool stop = false;

  // Waits until the time point or a stop request; false on a stop request.
  auto sleepUntil = [&](Clock::time_point until) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return true;
      pollfd p{stopFd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) > 0) {
        stop = true;
        return false;
      }
    }
  };

  // The bytes are recorded as they go on the line, before the write: whatever a host has
  // read is in the transcript already.
  auto writeAll = [&](const char* data, size_t size) {
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      s.Record(TDirection::ToHost, data, size);
    }
    size_t done = 0;
    while (done < size && !stop) {
      // A socket whose peer is gone must not raise SIGPIPE in the host program.
      ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data + done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) > 0 && (p[1].revents & POLLIN)) stop = true;
        continue;
      }
      return;  // nobody listens (a pty whose other side is closed): the bytes go nowhere
    }
  };

  Clock::time_point outClock{};
  Clock::time_point inClock{};
  auto send = [&](const std::string& bytes) {
    size_t slice = bytes.size();
    if (o.PaceLine) slice = 16;
    if (o.SingleByteReplies) slice = 1;
    for (size_t at = 0; at < bytes.size() && !stop; at += slice) {
      const size_t n = std::min(slice, bytes.size() - at);
      if (o.PaceLine) {
        outClock = std::max(outClock, Clock::now()) + kByteTime * static_cast<int64_t>(n);
        if (!sleepUntil(outClock)) break;
      }
      writeAll(bytes.data() + at, n);
      if (o.SingleByteReplies && !o.PaceLine && at + n < bytes.size()) {
        // A gap, so that the host's reads see the bytes one at a time.
        if (!sleepUntil(Clock::now() + std::chrono::milliseconds(1))) break;
      }
    }
  };

  // Takes the step's output and a hang-up request from the state.
  auto flush = [&]() {
    std::string out;
    bool hangUp = false;
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      out.swap(s.Out);
      hangUp = s.HangUpNow;
    }
    if (!out.empty()) send(out);
    return hangUp;
  };

  bool hangUp = false;
  char buffer[1024];
  while (!stop && !hangUp) {
    std::optional<Clock::time_point> deadline;
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      deadline = s.NextDeadline();
    }
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = ::poll(p, 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN) break;
    if (p[0].revents & POLLNVAL) break;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        const Clock::time_point arrived = Clock::now();
        {
          std::lock_guard<std::mutex> lock(s.Lock);
          s.Record(TDirection::FromHost, buffer, static_cast<size_t>(n));
        }
        if (o.PaceLine) {
          // The bytes reach the device at the line rate: the last one only now.
          inClock = std::max(inClock, arrived) + kByteTime * n;
          if (!sleepUntil(inClock)) break;
        }
        bool answered = false;
        {
          std::lock_guard<std::mutex> lock(s.Lock);
          s.Input(buffer, static_cast<size_t>(n), Clock::now());
          answered = !s.Out.empty();
        }
        if (answered && o.ReplyDelayMs > 0 &&
            !sleepUntil(Clock::now() + std::chrono::milliseconds(o.ReplyDelayMs))) {
          break;
        }
        hangUp = flush();
        std::lock_guard<std::mutex> lock(s.Lock);
        s.BytesHandled += static_cast<uint64_t>(n);
        continue;
      }
      if (n == 0) break;  // the other end of a socket or pipe is gone
      if (errno == EIO || (p[0].revents & POLLHUP)) {
        // A pty master whose host side is closed: the host may open it again.
        if (!sleepUntil(Clock::now() + std::chrono::milliseconds(kNoHostPauseMs))) break;
      } else if (errno != EAGAIN && errno != EINTR) {
        break;
      }
    }
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      s.Tick(Clock::now());
    }
    hangUp = flush() || hangUp;
  }

  if (hangUp) {
    if (o.HangUp) {
      o.HangUp(fd);
    } else {
      ::close(fd);
    }
  }
  std::lock_guard<std::mutex> lock(s.Lock);
  s.HungUp = hangUp;
  s.Running = false;
}

#define VEXSIM_VIEW(type, name, expr)               \
  type TSimulator::name() const {                   \
    std::lock_guard<std::mutex> lock(state_->Lock); \
    return expr;                                    \
  }

VEXSIM_VIEW(bool, Running, state_->Running)
VEXSIM_VIEW(bool, HungUp, state_->HungUp)
VEXSIM_VIEW(TMode, Mode, state_->Mode)
VEXSIM_VIEW(std::string, SoftwareVersion, state_->Software)
VEXSIM_VIEW(std::string, HardwareVersion, state_->Options.HardwareVersion)
VEXSIM_VIEW(bool, Unlocked, state_->Unlocked)
VEXSIM_VIEW(bool, ApplicationValid, state_->AppValid)
VEXSIM_VIEW(std::string, ReceivedImage, state_->ReceivedImage)
VEXSIM_VIEW(uint32_t, TransfersEnded, state_->TransfersEnded)
VEXSIM_VIEW(uint32_t, BlocksAccepted, state_->BlocksAccepted)
VEXSIM_VIEW(uint32_t, NaksSent, state_->NaksSent)
VEXSIM_VIEW(std::vector<TChunk>, Transcript, state_->Transcript)
VEXSIM_VIEW(std::string, CommandBytes, state_->CommandBytes)
VEXSIM_VIEW(std::vector<std::string>, Commands, state_->Commands)
VEXSIM_VIEW(uint64_t, BytesHandled, state_->BytesHandled)

#undef VEXSIM_VIEW

std::string TSimulator::FromHost() const {
  std::lock_guard<std::mutex> lock(state_->Lock);
  std::string all;
  for (const TChunk& c : state_->Transcript)
    if (c.Direction == TDirection::FromHost) all += c.Bytes;
  return all;
}

std::string TSimulator::ToHost() const {
  std::lock_guard<std::mutex> lock(state_->Lock);
  std::string all;
  for (const TChunk& c : state_->Transcript)
    if (c.Direction == TDirection::ToHost) all += c.Bytes;
  return all;
}

}  // namespace vexsim
