// xmodem-send: sends one file to an Xmodem receiver on a serial device with the library's
// protocol component.
//
//   xmodem-send [--baud N] [--checksum|--crc|--1k] DEVICE FILE
//
// --checksum: 128-byte blocks with an 8-bit checksum; --crc: 128-byte blocks with CRC-16;
// --1k (the default): 1024-byte blocks with CRC-16. The receiver's handshake character has
// the last word on the block check. Exit status 0 when the receiver acknowledged the end of
// the file, 1 when the transfer failed (the finish code's text is printed), 2 for a usage
// error, a file that is not a regular readable file or a device that cannot be opened.
// Ctrl-C (also SIGTERM and SIGHUP) cancels the transfer. A closed output stream costs the
// status lines, never the transfer.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "comm/ComPort.h"
#include "comm/ErrorText.h"
#include "platform/MessageQueue.h"
#include "protocol/Protocol.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Usage() {
  std::fprintf(stderr,
               "usage: xmodem-send [--baud N] [--checksum|--crc|--1k] DEVICE FILE\n"
               "  --baud N     line speed (default 115200)\n"
               "  --checksum   128-byte blocks, 8-bit checksum\n"
               "  --crc        128-byte blocks, CRC-16\n"
               "  --1k         1024-byte blocks, CRC-16 (default)\n");
}

struct TOptions {
  int32_t Baud = 115200;
  comm::TProtocolType Type = comm::ptXmodem1K;
  std::string Device;
  std::string File;
};

bool ParseOptions(int argc, char** argv, TOptions& options) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--baud" && i + 1 < argc) {
      char* end = nullptr;
      const long baud = std::strtol(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || baud <= 0) return false;
      options.Baud = static_cast<int32_t>(baud);
    } else if (arg == "--checksum") {
      options.Type = comm::ptXmodem;
    } else if (arg == "--crc") {
      options.Type = comm::ptXmodemCRC;
    } else if (arg == "--1k") {
      options.Type = comm::ptXmodem1K;
    } else if (arg == "-h" || arg == "--help") {
      return false;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return false;
    } else if (positional == 0) {
      options.Device = arg;
      ++positional;
    } else if (positional == 1) {
      options.File = arg;
      ++positional;
    } else {
      return false;
    }
  }
  return positional == 2;
}

// Ctrl-C, SIGTERM and SIGHUP (the terminal went away) are taken by a thread of their own
// (blocked everywhere else), which hands the cancel to the main thread. SIGUSR1 tells it to
// end.
class TSignalWatcher {
 public:
  TSignalWatcher(comm::TProtocol& protocol, const std::string& device)
      : protocol_(protocol), device_(device) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { Watch(); });
  }
  ~TSignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  TSignalWatcher(const TSignalWatcher&) = delete;
  TSignalWatcher& operator=(const TSignalWatcher&) = delete;

 private:
  void Watch() {
    for (;;) {
      int sig = 0;
      if (sigwait(&set_, &sig) != 0 || sig == SIGUSR1) return;
      platform::RunOnMainThread([this] {
        try {
          protocol_.CancelProtocol();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "\nxmodem-send: %s: %s\n", device_.c_str(), e.what());
        }
      });
    }
  }

  comm::TProtocol& protocol_;
  const std::string& device_;
  sigset_t set_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return kExitUsage;
  }
  if (options.File.size() > comm::kMaxPathText) {
    std::fprintf(stderr, "xmodem-send: file name longer than %zu characters\n", comm::kMaxPathText);
    return kExitUsage;
  }
  if (::access(options.File.c_str(), R_OK) != 0) {
    std::perror(("xmodem-send: " + options.File).c_str());
    return kExitUsage;
  }
  // Only a regular file is sent (a folder, a pipe or a device has no length that is its
  // content); said here, before the device is touched.
  struct stat st {};
  if (::stat(options.File.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "xmodem-send: %s: not a regular file\n", options.File.c_str());
    return kExitUsage;
  }

  // A reader that went away (xmodem-send ... 2>&1 | head -c1) costs the lines it would have
  // read, not the transfer: the write fails with EPIPE and the line is lost.
  ::signal(SIGPIPE, SIG_IGN);

  platform::InitMainThread();

  comm::TComPort port;
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(options.Baud);
  comm::TProtocol protocol;
  // Blocked before the port starts its threads, so the watcher alone takes the signals.
  TSignalWatcher watcher(protocol, options.Device);

  try {
    port.SetComNumber(comm::TCustomComPort::PortNumberForPath(options.Device));
    port.SetOpen(true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodem-send: cannot open %s: %s\n", options.Device.c_str(), e.what());
    return kExitUsage;
  }

  protocol.SetComPort(&port);
  protocol.SetProtocolType(options.Type);
  protocol.SetStatusInterval(1);
  protocol.SetHandshakeWait(1092);
  // The file is sent by the name it was given, not by a search or an upper-cased name.
  protocol.SetUpcaseFileNames(false);
  protocol.OnProtocolNextFile = [&](comm::TCustomProtocol*, std::string& name) {
    name = options.File;
  };

  const bool tty = ::isatty(STDERR_FILENO) != 0;
  int32_t lastShown = -1;
  protocol.OnProtocolStatus = [&](comm::TCustomProtocol* p, uint16_t report) {
    const int32_t sent = std::min(p->BytesTransferred(), p->FileLength());
    if (report != comm::soLastReport && (sent == lastShown || !tty)) return;
    lastShown = sent;
    const int32_t length = p->FileLength();
    const int percent = length > 0 ? static_cast<int>(int64_t{sent} * 100 / length) : 100;
    // The last line says how the transfer ended: an error the status does not show (a file
    // that got shorter while it was sent ends with status OK) is named instead.
    const int32_t error = p->Record().ErrorCode;
    const std::string status = report == comm::soLastReport && error != 0
                                   ? comm::ErrorText(error) + " (" + std::to_string(error) + ")"
                                   : p->StatusText(p->ProtocolStatus());
    std::fprintf(stderr, "%s%d of %d bytes (%d%%)  %s%s", tty ? "\r" : "", sent, length, percent,
                 status.c_str(), tty ? "\x1b[K" : "");
    if (report == comm::soLastReport || !tty) std::fputc('\n', stderr);
    std::fflush(stderr);
  };

  int32_t finishCode = 0;
  protocol.OnProtocolFinish = [&](comm::TCustomProtocol*, int32_t code) {
    finishCode = code;
    platform::Quit(0);
  };

  const auto start = std::chrono::steady_clock::now();
  try {
    protocol.StartTransmit();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodem-send: %s: %s\n", options.Device.c_str(), e.what());
    return kExitFailed;
  }
  platform::Run();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  try {
    port.SetOpen(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodem-send: closing %s: %s\n", options.Device.c_str(), e.what());
  }

  if (finishCode != 0) {
    std::fprintf(stderr, "xmodem-send: transfer to %s failed: %s (%d)\n", options.Device.c_str(),
                 comm::ErrorText(finishCode).c_str(), finishCode);
    return kExitFailed;
  }
  std::fprintf(stderr, "xmodem-send: sent %d bytes to %s in %.2f s\n", protocol.FileLength(),
               options.Device.c_str(), seconds);
  return 0;
}
