#pragma once
// Shared pieces of the protocol tests: a temporary folder, file contents, the expected wire
// form of Xmodem blocks, and a port + protocol component pair on a pty whose master side a
// scripted receiver plays on a thread of its own while the test's main thread pumps the
// component's events.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comm/ComPort.h"
#include "protocol/Protocol.h"
#include "protocol/ProtocolEngine.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

namespace prototest {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "xmodem-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Bytes that differ from block to block, so a misplaced block shows.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of `length` data bytes from offset of file, filled up with 0x1A.
inline std::string BlockData(const std::string& file, size_t offset, size_t length) {
  std::string data = offset < file.size() ? file.substr(offset, length) : std::string();
  data.resize(length, '\x1A');
  return data;
}

// The reference CRC: bit by bit, polynomial 0x1021, initial 0 (CRC-16/XMODEM).
inline uint16_t ReferenceCrc(const std::string& data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    crc ^= static_cast<uint16_t>(c << 8);
    for (int i = 0; i < 8; ++i)
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

// A block as it must appear on the wire.
inline std::string WireBlock(uint32_t number, const std::string& data, bool crc) {
  std::string b;
  b += data.size() == 1024 ? '\x02' : '\x01';
  b += static_cast<char>(number & 0xFF);
  b += static_cast<char>(255 - (number & 0xFF));
  b += data;
  if (crc) {
    const uint16_t c = ReferenceCrc(data);
    b += static_cast<char>(c >> 8);
    b += static_cast<char>(c & 0xFF);
  } else {
    uint32_t sum = 0;
    for (unsigned char ch : data) sum += ch;
    b += static_cast<char>(sum & 0xFF);
  }
  return b;
}

inline const std::string kCancelSequence = "\x18\x18\x18\x08\x08\x08";

// A status report as the component's event saw it.
struct TReport {
  uint16_t Options;
  int32_t Status;
  int32_t Bytes;
  int32_t Length;
};

// A port on a pty and a protocol component bound to it, with every event recorded.
class TransferFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetComNumber(comm::TCustomComPort::PortNumberForPath(pty.SlavePath()));
    port.SetOpen(true);
    protocol.SetComPort(&port);
    protocol.SetProtocolType(comm::ptXmodem1K);
    protocol.SetStatusInterval(1);
    protocol.OnProtocolStatus = [this](comm::TCustomProtocol* p, uint16_t options) {
      reports.push_back({options, p->ProtocolStatus(), p->BytesTransferred(), p->FileLength()});
    };
    protocol.OnProtocolFinish = [this](comm::TCustomProtocol*, int32_t code) {
      finishCodes.push_back(code);
    };
    protocol.OnProtocolError = [this](comm::TCustomProtocol*, int32_t code) {
      errors.push_back(code);
    };
    protocol.OnProtocolLog = [this](comm::TCustomProtocol*, uint16_t log) { logs.push_back(log); };
  }

  void TearDown() override {
    if (peer_.joinable()) peer_.join();
  }

  // Writes the file to send and points the component's mask at it.
  std::string UseFile(const std::string& contents, const std::string& name = "image.bin") {
    const std::string path = dir / name;
    WriteFile(path, contents);
    protocol.SetFileMask(path);
    return path;
  }

  // Runs the receiver's script on its own thread.
  void Peer(std::function<void()> script) {
    peerDone = false;
    peer_ = std::thread([this, script = std::move(script)] {
      script();
      peerDone = true;
    });
  }

  // Waits (pumping the component's events) until the finish event came and the receiver's
  // script has ended.
  bool WaitFinished(uint32_t ms = 20000) {
    const bool ok = WaitUntil([this] { return !finishCodes.empty() && peerDone.load(); }, ms);
    if (peer_.joinable()) peer_.join();
    return ok;
  }

  // Receiver side: the next n bytes from the transmitter (what came within the limit).
  std::string Take(size_t n, uint32_t ms = 5000) { return pty.ReadFor(n, ms); }
  void Say(const std::string& bytes) { pty.Write(bytes); }

  TempDir dir;
  PtyPair pty;
  comm::TComPort port;
  comm::TProtocol protocol;
  std::vector<TReport> reports;
  std::vector<int32_t> finishCodes;
  std::vector<int32_t> errors;
  std::vector<uint16_t> logs;
  std::atomic<bool> peerDone{false};

 private:
  std::thread peer_;
};

}  // namespace prototest
