#pragma once
// The host side of the simulator tests: plain POSIX reads and writes on the slave of a pty
// whose master the simulator plays, a hand-made Xmodem block builder, and a fixture that
// starts the simulator with chosen options.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/Pty.h"
#include "tools/vexilora-sim/Simulator.h"

namespace simtest {

using Clock = std::chrono::steady_clock;

inline constexpr char kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;

class THost {
 public:
  explicit THost(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~THost() {
    if (fd_ >= 0) ::close(fd_);
  }
  THost(const THost&) = delete;
  THost& operator=(const THost&) = delete;

  int Fd() const { return fd_; }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        ADD_FAILURE() << "host write failed: " << std::strerror(errno);
        return;
      }
    }
  }

  // Reads until done(buffer) holds or ms pass; false on timeout or when the line is gone.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, uint32_t ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char chunk[4096];
    while (!done(buffer_)) {
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        gone_ = true;
        return false;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
  }

  // The next n bytes (fewer on timeout).
  std::string Bytes(size_t n, uint32_t ms = 10000) {
    ReadUntil([n](const std::string& b) { return b.size() >= n; }, ms);
    const std::string got = buffer_.substr(0, n);
    buffer_.erase(0, got.size());
    return got;
  }

  // The next reply line "\r\n" + text + "\r\n"; its text, or a description of what came.
  std::string Line(uint32_t ms = 10000) {
    auto complete = [](const std::string& b) {
      return b.size() >= 4 && (b.compare(0, 2, "\r\n") != 0 || b.find("\r\n", 2) != b.npos);
    };
    if (!ReadUntil(complete, ms)) return "<no line: '" + vexsim::Escape(Take()) + "'>";
    if (buffer_.compare(0, 2, "\r\n") != 0) return "<not a line: '" + vexsim::Escape(Take()) + "'>";
    const size_t end = buffer_.find("\r\n", 2);
    const std::string text = buffer_.substr(2, end - 2);
    buffer_.erase(0, end + 2);
    return text;
  }

  // Sends a command and returns the text of its reply line.
  std::string Ask(std::string_view command, uint32_t ms = 10000) {
    Send(command);
    return Line(ms);
  }

  // Everything read so far and not yet taken.
  std::string Take() {
    std::string all;
    all.swap(buffer_);
    return all;
  }
  bool Gone() const { return gone_; }

 private:
  int fd_ = -1;
  std::string buffer_;
  bool gone_ = false;
};

inline uint16_t Crc(std::string_view data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    crc ^= static_cast<uint16_t>(c << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
  }
  return crc;
}

enum class TCheck { Crc16, Checksum };

// A block as a sender puts it on the wire: data shorter than the block is filled with 0x1A.
inline std::string MakeBlock(uint8_t number, std::string data, size_t length,
                             TCheck check = TCheck::Crc16) {
  data.resize(length, '\x1A');
  std::string block;
  block += length == 1024 ? kStx : kSoh;
  block += static_cast<char>(number);
  block += static_cast<char>(255 - number);
  block += data;
  if (check == TCheck::Crc16) {
    const uint16_t crc = Crc(data);
    block += static_cast<char>(crc >> 8);
    block += static_cast<char>(crc & 0xFF);
  } else {
    uint8_t sum = 0;
    for (unsigned char c : data) sum = static_cast<uint8_t>(sum + c);
    block += static_cast<char>(sum);
  }
  return block;
}

// An image as the device expects one: arbitrary bytes with the zero-terminated version tag.
inline std::string MakeImage(size_t size, const std::string& version, uint32_t seed = 7) {
  std::string image(size, '\0');
  uint32_t x = seed;
  for (char& c : image) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  const std::string tag = std::string(1, '\0') + "VERSW=" + version + "\n" + std::string(1, '\0');
  if (size >= tag.size() + 16) image.replace(size / 2, tag.size(), tag);
  return image;
}

// What the device keeps of a transfer: the data in whole blocks of the given size.
inline std::string Padded(const std::string& data, size_t block) {
  std::string p = data;
  p.resize((data.size() + block - 1) / block * block, '\x1A');
  return p;
}

class SimTest : public ::testing::Test {
 protected:
  // Starts the device on the pty master, the host on its slave. Short waits keep tests fast.
  void Start(vexsim::TOptions options = {}) {
    if (options.HandshakeIntervalMs == vexsim::TOptions{}.HandshakeIntervalMs)
      options.HandshakeIntervalMs = 50;
    sim_ = std::make_unique<vexsim::TSimulator>(std::move(options));
    ASSERT_TRUE(sim_->Start(pty_.Master()));
    host_ = std::make_unique<THost>(pty_.SlavePath());
  }
  vexsim::TSimulator& Sim() { return *sim_; }
  THost& Host() { return *host_; }
  testsupport::PtyPair& Pty() { return pty_; }

  // From the bootloader, unlocked: wr_prog and the handshake that follows it.
  void EnterReceiver() {
    ASSERT_EQ(Host().Ask("wr_prog\r\n"), "wr_prog");
    ASSERT_TRUE(Host().ReadUntil([](const std::string& b) { return !b.empty(); }));
  }

  // Sends a block and returns the device's answer: ACK, NAK or its cancel (three CANs).
  // Handshake characters that the device sent before it saw the block are skipped.
  std::string SendBlock(const std::string& block) {
    Host().Take();
    Host().Send(block);
    auto answered = [](const std::string& b) {
      const size_t i = b.find_first_not_of('C');
      return i != std::string::npos && (b[i] != kCan || b.size() - i >= 3);
    };
    Host().ReadUntil(answered);
    const std::string all = Host().Take();
    const size_t i = all.find_first_not_of('C');
    return i == std::string::npos ? std::string() : all.substr(i);
  }

  // Sends the data as consecutive blocks from block 1; every one must be acknowledged.
  void SendImage(const std::string& image, size_t length = 1024, TCheck check = TCheck::Crc16) {
    uint8_t number = 1;
    for (size_t at = 0; at < image.size(); at += length, ++number) {
      ASSERT_EQ(SendBlock(MakeBlock(number, image.substr(at, length), length, check)),
                std::string(1, kAck))
          << "block " << at / length + 1;
    }
  }

  testsupport::PtyPair pty_;
  std::unique_ptr<THost> host_;
  std::unique_ptr<vexsim::TSimulator> sim_;
};

}  // namespace simtest
