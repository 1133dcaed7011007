// receive-allocs: heap allocations while a port receives a stream and an avail handler reads
// everything. Every global operator new of this program is counted while the stream runs.
//
//   receive-allocs [port|dispatcher]... [--bytes N] [--logging] [--trace N]
//
// port: a TComPort whose OnTriggerAvail (on the main thread) reads all unread bytes.
// dispatcher: a bare TPlatformDispatcher whose event handler (on the dispatch thread) does.
// --logging: the port traces and keeps its dispatch log, as the application's port does.
// --trace N: print the call stacks of the first N allocations that are not the read
// thread's data records.

#include <execinfo.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/Bench.h"
#include "comm/ComPort.h"
#include "comm/IoQueue.h"
#include "comm/PlatformDispatcher.h"
#include "platform/MessageQueue.h"
#include "platform/PortTable.h"

// ---- counting every allocation ------------------------------------------------------------

namespace {

constexpr size_t kSizeSlots = 2048;  // exact counts below this size, one slot above
constexpr size_t kMaxTraces = 64;
constexpr int kTraceDepth = 24;

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};
std::array<std::atomic<uint64_t>, kSizeSlots + 1> g_bySize{};
std::atomic<size_t> g_traceWanted{0};
std::atomic<size_t> g_traceTaken{0};
void* g_traces[kMaxTraces][kTraceDepth];
int g_traceDepths[kMaxTraces];
size_t g_traceSizes[kMaxTraces];
thread_local bool t_inHook = false;

void Count(size_t size) {
  if (!g_counting.load(std::memory_order_relaxed) || t_inHook) return;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_bySize[std::min(size, kSizeSlots)].fetch_add(1, std::memory_order_relaxed);
  if (size != sizeof(comm::TDataBuffer) && g_traceTaken.load(std::memory_order_relaxed) <
                                               g_traceWanted.load(std::memory_order_relaxed)) {
    const size_t slot = g_traceTaken.fetch_add(1);
    if (slot < g_traceWanted.load()) {
      t_inHook = true;
      g_traceDepths[slot] = backtrace(g_traces[slot], kTraceDepth);
      g_traceSizes[slot] = size;
      t_inHook = false;
    }
  }
}

void* Allocate(size_t size) {
  Count(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* AllocateAligned(size_t size, std::align_val_t align) {
  Count(size);
  const size_t a = static_cast<size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(size_t size, std::align_val_t a) { return AllocateAligned(size, a); }
void* operator new[](size_t size, std::align_val_t a) { return AllocateAligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

// ---- the stream ---------------------------------------------------------------------------

namespace {

using namespace bench;

struct TOptions {
  size_t Bytes = 4u << 20;
  bool Logging = false;
  size_t Traces = 0;
};

// Plays the device: writes the stream into the pty master once told to start.
class TStreamWriter {
 public:
  TStreamWriter(int fd, const std::string& data) : fd_(fd), data_(data) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TStreamWriter() {
    stop_.store(true);
    start_.Set();
    thread_.join();
  }
  void Go() { start_.Set(); }
  bool Failed() const { return failed_.load(); }

 private:
  void Run() {
    start_.Wait(platform::kInfinite);
    size_t done = 0;
    while (done < data_.size() && !stop_.load()) {
      const size_t n = std::min<size_t>(4096, data_.size() - done);
      ssize_t w = ::write(fd_, data_.data() + done, n);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        failed_.store(true);
        return;
      }
    }
  }

  int fd_;
  const std::string& data_;
  platform::TEvent start_{true, false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::thread thread_;
};

// What the handler saw, checked against the stream as it arrives.
struct TSink {
  explicit TSink(const std::string& expected) : Expected(expected) {}
  void Take(const uint8_t* bytes, int32_t n) {
    const size_t at = Received.load();
    if (n <= 0) return;
    if (at + static_cast<size_t>(n) > Expected.size() ||
        std::memcmp(Expected.data() + at, bytes, static_cast<size_t>(n)) != 0) {
      Corrupt.store(true);
    }
    Deliveries.fetch_add(1);
    Received.store(at + static_cast<size_t>(n));
  }
  const std::string& Expected;
  std::atomic<size_t> Received{0};
  std::atomic<uint64_t> Deliveries{0};
  std::atomic<bool> Corrupt{false};
};

void PrintTraces() {
  const size_t n = std::min(g_traceTaken.load(), g_traceWanted.load());
  for (size_t i = 0; i < n; ++i) {
    std::printf("  allocation of %zu bytes:\n", g_traceSizes[i]);
    std::fflush(stdout);
    backtrace_symbols_fd(g_traces[i], g_traceDepths[i], STDOUT_FILENO);
  }
}

bool Report(const std::string& label, const TOptions& o, const TSink& sink, bool finished,
            const comm::TBaseDispatcher* d) {
  (void)d;
  const uint64_t total = g_allocations.load();
  const uint64_t records = g_bySize[sizeof(comm::TDataBuffer)].load();
  const uint64_t limit = o.Bytes / comm::TDataBuffer::kCapacity;
  if (!finished || sink.Corrupt.load()) {
    std::printf("%s: FAILED (%zu of %zu bytes received%s)\n", label.c_str(), sink.Received.load(),
                o.Bytes, sink.Corrupt.load() ? ", data DIFFERENT" : "");
    return false;
  }
  std::printf(
      "%s: %llu heap allocations while receiving %zu bytes (goal <= %llu); %llu of them data "
      "records (%zu bytes each), %llu others; %llu deliveries\n",
      label.c_str(), static_cast<unsigned long long>(total), o.Bytes,
      static_cast<unsigned long long>(limit), static_cast<unsigned long long>(records),
      sizeof(comm::TDataBuffer), static_cast<unsigned long long>(total - records),
      static_cast<unsigned long long>(sink.Deliveries.load()));
  std::string others;
  for (size_t s = 0; s <= kSizeSlots; ++s) {
    const uint64_t c = g_bySize[s].load();
    if (c == 0 || s == sizeof(comm::TDataBuffer)) continue;
    char item[48];
    std::snprintf(item, sizeof item, " %llux%s%zu", static_cast<unsigned long long>(c),
                  s == kSizeSlots ? ">=" : "", s);
    others += item;
  }
  if (!others.empty())
    std::printf("  other allocations by size (count x bytes):%s\n", others.c_str());
  PrintTraces();
  std::fflush(stdout);
  return true;
}

void ResetCounts(const TOptions& o) {
  g_allocations.store(0);
  for (auto& c : g_bySize) c.store(0);
  g_traceTaken.store(0);
  g_traceWanted.store(std::min(o.Traces, kMaxTraces));
}

// Pumps the main loop until everything came or the limit passed.
bool PumpUntilReceived(const TSink& sink, size_t bytes, const TStreamWriter& writer) {
  const int64_t deadline = NowNs() + 120'000'000'000;
  while (sink.Received.load() < bytes && NowNs() < deadline && !writer.Failed() &&
         !sink.Corrupt.load()) {
    if (platform::PumpOneMessage() == platform::TPumpResult::None) platform::WaitForMessage(50);
  }
  return sink.Received.load() == bytes;
}

bool ThroughPort(const TOptions& o, const std::string& data) {
  Pty pty;
  TempDir dir;
  comm::TComPort port;
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetInSize(1030);
  port.SetOutSize(1030);
  if (o.Logging) {
    port.SetTraceName(dir / "COMM.TRC");
    port.SetLogName(dir / "COMM.LOG");
    port.SetTracing(comm::tlOn);
    port.SetLogging(comm::tlOn);
  }
  port.SetComNumber(comm::TCustomComPort::PortNumberForPath(pty.SlavePath()));
  port.SetOpen(true);
  TSink sink(data);
  std::vector<uint8_t> buffer(comm::kInputRingSize);
  port.OnTriggerAvail = [&](comm::TCustomComPort* cp, uint16_t count) {
    comm::TBaseDispatcher* d = cp->ActiveDispatcher();
    if (d == nullptr) return;
    const int32_t n = d->ReceiveBlock(buffer.data(), count);
    sink.Take(buffer.data(), n);
  };
  TStreamWriter writer(pty.Master(), data);
  ResetCounts(o);
  g_counting.store(true);
  writer.Go();
  const bool finished = PumpUntilReceived(sink, data.size(), writer);
  g_counting.store(false);
  const bool ok =
      Report(std::string("port receive") + (o.Logging ? " (tracing and logging on)" : ""), o, sink,
             finished, port.ActiveDispatcher());
  port.SetOpen(false);
  return ok;
}

bool ThroughDispatcher(const TOptions& o, const std::string& data) {
  Pty pty;
  comm::TBaseComponent owner;
  comm::TPlatformDispatcher d(&owner);
  const std::string name = "\\\\.\\COM" + std::to_string(platform::EnterPortPath(pty.SlavePath()));
  if (d.StartPort(name, 115200, 0, 8, 1, 1030, 1030, 0) != 0) {
    std::printf("dispatcher receive: StartPort failed\n");
    return false;
  }
  TSink sink(data);
  std::vector<uint8_t> buffer(comm::kInputRingSize);
  static int code;
  d.SetAvailLength(1);
  d.AddEventHandler(&code, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != comm::TriggerAvailMessage) return;
    const int32_t n = d.ReceiveBlock(buffer.data(), static_cast<int32_t>(wParam));
    sink.Take(buffer.data(), n);
  });
  TStreamWriter writer(pty.Master(), data);
  ResetCounts(o);
  g_counting.store(true);
  writer.Go();
  const bool finished = PumpUntilReceived(sink, data.size(), writer);
  g_counting.store(false);
  const bool ok = Report("dispatcher receive (event handler)", o, sink, finished, &d);
  d.RemoveEventHandler(&code);
  d.StopPort();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  std::vector<std::string> modes;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bytes" && i + 1 < argc) {
      o.Bytes = std::stoul(argv[++i]);
    } else if (a == "--trace" && i + 1 < argc) {
      o.Traces = std::stoul(argv[++i]);
    } else if (a == "--logging") {
      o.Logging = true;
    } else if (a == "port" || a == "dispatcher") {
      modes.push_back(a);
    } else {
      std::fprintf(stderr,
                   "usage: receive-allocs [port|dispatcher]... [--bytes N] [--logging] "
                   "[--trace N]\n");
      return 2;
    }
  }
  if (modes.empty()) modes = {"port"};
  platform::InitMainThread();
  const std::string data = Pattern(o.Bytes, 3);
  bool ok = true;
  try {
    for (const auto& m : modes) {
      ok = (m == "port" ? ThroughPort(o, data) : ThroughDispatcher(o, data)) && ok;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receive-allocs: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
