// The dispatcher on real ptys: the dispatcher opens the slave, the test plays the device on
// the master.

#include "comm/Dispatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/PlatformDispatcher.h"
#include "platform/PortTable.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

using namespace comm;

namespace {

// Exposes the ring indices so that the wrap can be checked where the bytes land.
class TTestDispatcher : public TPlatformDispatcher {
 public:
  using TPlatformDispatcher::TPlatformDispatcher;
  ~TTestDispatcher() override { Shutdown(); }
  int32_t Head() {
    std::lock_guard<std::recursive_mutex> g(InputLock());
    return inHead_;
  }
  int32_t Tail() {
    std::lock_guard<std::recursive_mutex> g(InputLock());
    return inTail_;
  }
  // A pty has no modem lines: a test that needs them sets them here (-1: ask the device).
  std::atomic<int> modemLines{-1};
  uint8_t ReadModemLines() override {
    int lines = modemLines.load();
    return lines < 0 ? TPlatformDispatcher::ReadModemLines() : static_cast<uint8_t>(lines);
  }
  int ReadThreadId() { return readThread_ ? readThread_->NativeId() : 0; }
  int WriteThreadId() { return writeThread_ ? writeThread_->NativeId() : 0; }
  int DispatchThreadId() { return dispatchThread_ ? dispatchThread_->NativeId() : 0; }
  int32_t WriterResult() { return writeThread_ ? writeThread_->ReturnValue() : 0; }
  using TBaseDispatcher::CloseRunning;
  bool WriterEnded() { return writeThread_ && writeThread_->Ended(); }
  std::atomic<int> serviceRechecks{0};
  void RecheckHandlerService(int32_t change) override {
    ++serviceRechecks;
    TPlatformDispatcher::RecheckHandlerService(change);
  }
};

std::string DeviceName(const std::string& path) {
  return "\\\\.\\COM" + std::to_string(platform::EnterPortPath(path));
}

struct Harness {
  PtyPair pty;
  TBaseComponent owner;
  std::string name = DeviceName(pty.SlavePath());
  std::unique_ptr<TTestDispatcher> d = std::make_unique<TTestDispatcher>(&owner);

  int32_t Start(int32_t outSize = 1030) {
    return d->StartPort(name, 115200, 0, 8, 1, 1030, outSize, 0);
  }
};

// Waits for cond without serving the main-thread queue: a worker thread's call to the main
// thread stays pending meanwhile, as it does while the main thread is busy elsewhere.
bool WaitNotServing(const std::function<bool()>& cond, uint32_t timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::atomic<int> g_procedureCalls{0};
void CountingProcedure(uint32_t, uint32_t, int32_t) { ++g_procedureCalls; }
void OtherProcedure(uint32_t, uint32_t, int32_t) { --g_procedureCalls; }

// How often the thread has given up the processor of its own accord: once per wait that
// blocked, including each wait that ran into its time limit.
long WaitsOf(int tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

// Holds one thread of this process: a signal sent to it runs a handler that waits on its
// thread until released (the thread is then as good as descheduled, whatever it was doing).
std::atomic<bool> g_hold{false};
std::atomic<bool> g_held{false};
void HoldingHandler(int) {
  g_held = true;
  while (g_hold.load()) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  g_held = false;
}
class TThreadHold {
 public:
  explicit TThreadHold(int tid) {
    struct sigaction action {};
    action.sa_handler = HoldingHandler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGRTMIN + 1, &action, nullptr);
    g_hold = true;
    held_ = syscall(SYS_tgkill, getpid(), tid, SIGRTMIN + 1) == 0 &&
            WaitNotServing([] { return g_held.load(); });
  }
  ~TThreadHold() { Release(); }
  bool Held() const { return held_; }
  void Release() {
    g_hold = false;
    WaitNotServing([] { return !g_held.load(); });
  }

 private:
  bool held_ = false;
};

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

}  // namespace

TEST(DispatcherOpen, ReportsMissingAndBusyDevicesAsTheirSystemErrors) {
  Harness h;
  TBaseComponent owner;
  {
    TPlatformDispatcher missing(&owner);
    EXPECT_EQ(
        missing.StartPort(DeviceName("/dev/no-such-tty-here"), 115200, 0, 8, 1, 1030, 1030, 0), -2);
    EXPECT_EQ(missing.StartPort("\\\\.\\COM999", 115200, 0, 8, 1, 1030, 1030, 0), -2);
    EXPECT_EQ(missing.DeviceHandle(), -1);
  }
  ASSERT_EQ(h.Start(), 0);
  TPlatformDispatcher second(&owner);
  EXPECT_EQ(second.StartPort(h.name, 115200, 0, 8, 1, 1030, 1030, 0), -5);
  EXPECT_FALSE(second.ThreadsRunning());
}

TEST(DispatcherTable, HandlesAreIndicesAndEmptyEntriesAreReused) {
  TBaseComponent owner;
  auto first = std::make_unique<TPlatformDispatcher>(&owner);
  auto second = std::make_unique<TPlatformDispatcher>(&owner);
  const int32_t base = first->Handle();
  EXPECT_EQ(second->Handle(), base + 1);
  {
    std::lock_guard<std::recursive_mutex> g(DispatcherTableLock());
    EXPECT_EQ(FindDispatcher(base), first.get());
  }
  first.reset();
  EXPECT_EQ(FindDispatcher(base), nullptr);
  TPlatformDispatcher third(&owner);
  EXPECT_EQ(third.Handle(), base);
  second.reset();
  EXPECT_EQ(DispatcherTableSize(), base + 1);  // empty entries at the end are removed
}

TEST(DispatcherTriggers, HandleAllocationAndTheSearchBeyondTheCounter) {
  TBaseComponent owner;
  TPlatformDispatcher d(&owner);
  EXPECT_EQ(d.NewStatusTrigger(3), 11);
  EXPECT_EQ(d.DropTrigger(8), -5003);
  EXPECT_EQ(d.DropTrigger(11), 0);
  EXPECT_EQ(d.NewStatusTrigger(6), -1002);
  EXPECT_EQ(d.DropTrigger(1), 0);  // the avail trigger: off, even when it was off
  EXPECT_EQ(d.ArmTimerTrigger(11, 1, true), -5003);
  // The counter hands out 16 .. 32760 (8 went to the status trigger), then the search finds
  // only handles up to 4096.
  int32_t last = 0;
  for (int i = 0; i < 4094; ++i) last = d.NewTimerTrigger();
  EXPECT_EQ(last, 32760);
  EXPECT_EQ(d.NewTimerTrigger(), 8);
  EXPECT_EQ(d.DropTrigger(16), 0);
  EXPECT_EQ(d.NewTimerTrigger(), 16);
  for (int32_t h = 24; h <= 4096; h += 8) ASSERT_NE(d.NewTimerTrigger(), 0);
  EXPECT_EQ(d.NewTimerTrigger(), -5001);
  EXPECT_EQ(d.NewStatusTrigger(1), -5001);
}

TEST(DispatcherTriggers, SnapshotAndRestoreKeepHandlesAndStates) {
  TBaseComponent owner;
  TPlatformDispatcher d(&owner);
  int32_t timer = d.NewTimerTrigger();
  int32_t status = d.NewStatusTrigger(StatusOutputFree);
  ASSERT_EQ(d.ArmStatusTrigger(status, 100, true), 0);
  d.SetAvailLength(1);
  TSavedTriggers saved;
  d.SnapshotTriggers(saved);
  d.DropAllTriggers();
  EXPECT_TRUE(d.StatusTriggers().empty());
  d.RestoreTriggers(saved);
  EXPECT_EQ(d.AvailLength(), 1);
  ASSERT_EQ(d.TimerTriggers().size(), 1u);
  EXPECT_EQ(d.TimerTriggers()[0].Handle, timer);
  ASSERT_EQ(d.StatusTriggers().size(), 1u);
  EXPECT_EQ(d.StatusTriggers()[0].Handle, status);
  EXPECT_TRUE(d.StatusTriggers()[0].Armed);
  EXPECT_EQ(d.StatusTriggers()[0].Value, 100);
}

TEST(DispatcherData, BytesFlowBothWaysInOrderAtVolume) {
  Harness h;
  ASSERT_EQ(h.Start(4096), 0);
  const std::string down = Pattern(3 << 20, 1);  // device -> host
  const std::string up = Pattern(3 << 20, 2);    // host -> device
  std::string received;
  std::mutex lock;
  std::atomic<size_t> receivedCount{0};
  std::vector<uint8_t> chunk(kInputRingSize);
  h.d->AddEventHandler(&received, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerAvailMessage) return;
    ASSERT_EQ(h.d->ReceiveBlock(chunk.data(), static_cast<int32_t>(wParam)),
              static_cast<int32_t>(wParam));
    std::lock_guard<std::mutex> g(lock);
    received.append(reinterpret_cast<const char*>(chunk.data()), wParam);
    receivedCount.store(received.size());
  });
  h.d->SetAvailLength(1);

  std::string echoed;
  std::thread device([&] {
    // The device writes its whole stream while reading everything the host sends.
    size_t sent = 0;
    std::vector<char> buf(65536);
    while (sent < down.size() || echoed.size() < up.size()) {
      pollfd fds{h.pty.Master(), static_cast<short>(POLLIN | (sent < down.size() ? POLLOUT : 0)),
                 0};
      if (poll(&fds, 1, 10000) <= 0) break;
      if (fds.revents & POLLIN) {
        ssize_t n = read(h.pty.Master(), buf.data(), buf.size());
        if (n > 0) echoed.append(buf.data(), static_cast<size_t>(n));
      }
      if ((fds.revents & POLLOUT) && sent < down.size()) {
        ssize_t n =
            write(h.pty.Master(), down.data() + sent, std::min<size_t>(4096, down.size() - sent));
        if (n > 0) sent += static_cast<size_t>(n);
      }
    }
  });

  size_t offset = 0;
  while (offset < up.size()) {
    int32_t n = std::min<int32_t>(1000, static_cast<int32_t>(up.size() - offset));
    int32_t r = h.d->SendBlock(up.data() + offset, n);
    if (r == -3006) {
      ASSERT_TRUE(WaitUntil([&] { return h.d->OutputFree() >= n; }));
      continue;
    }
    ASSERT_EQ(r, 0);
    offset += static_cast<size_t>(n);
  }
  device.join();
  ASSERT_TRUE(WaitUntil([&] { return receivedCount.load() == down.size(); }, 30000));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_TRUE(received == down) << "received bytes differ from what the device sent";
  EXPECT_TRUE(echoed == up) << "the device got " << echoed.size() << " of " << up.size();
}

TEST(DispatcherRing, WrapsAt8192AndHandsBytesBackInOrder) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  // No handler and no avail trigger: bytes stay in the ring until the test reads them.
  h.pty.Write(Pattern(8000, 3));
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 8000; }));
  std::vector<char> sink(8000);
  ASSERT_EQ(h.d->ReceiveBlock(sink.data(), 8000), 8000);
  EXPECT_EQ(h.d->Tail(), 8000);

  const std::string wrapped = Pattern(400, 4);
  h.pty.Write(wrapped);
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 400; }));
  EXPECT_EQ(h.d->Head(), 208);  // 192 bytes at the end, 208 at the start
  std::string got(401, '\0');
  EXPECT_EQ(h.d->ReceiveBlock(got.data(), 401), -3007);  // one more than held: nothing taken
  EXPECT_EQ(h.d->InputUsed(), 400);
  uint8_t third = 0;
  ASSERT_EQ(h.d->ByteAt(3, third), 0);
  EXPECT_EQ(third, static_cast<uint8_t>(wrapped[2]));
  ASSERT_EQ(h.d->ReceiveBlock(got.data(), 400), 400);
  got.resize(400);
  EXPECT_EQ(got, wrapped);
  EXPECT_FALSE(h.d->ByteWaiting());
}

TEST(DispatcherRing, AFullRingHoldsFurtherInputBackWithoutLosingIt) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  h.d->BeginDispatchLog(0);
  const std::string data = Pattern(8192 + 100, 5);
  h.pty.Write(data);
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 8192 && h.d->InputQueue().Count() > 0; }));
  EXPECT_EQ(h.d->InputFree(), 0);
  EXPECT_TRUE(h.d->ByteWaiting());
  // Each pass that finds the ring full says so in the dispatch log.
  auto fullNotices = [&] {
    int n = 0;
    while (auto r = h.d->LogQueue().PopFirst()) {
      auto* log = static_cast<TLogBuffer*>(r.get());
      if (log->LogKind == 1 && log->SubKind == 8 &&
          std::string(reinterpret_cast<const char*>(log->Bytes()), log->Size) ==
              "Dispatch buffer full.")
        ++n;
    }
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return fullNotices() > 0; }));

  uint8_t b = 0;
  ASSERT_EQ(h.d->ReceiveByte(b), 0);
  EXPECT_EQ(b, static_cast<uint8_t>(data[0]));
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputFree() == 0; }));  // one byte moved in
  std::string rest(8192, '\0');
  ASSERT_EQ(h.d->ReceiveBlock(rest.data(), 8192), 8192);
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 99; }));
  std::string tail(99, '\0');
  ASSERT_EQ(h.d->ReceiveBlock(tail.data(), 99), 99);
  EXPECT_EQ(std::string(1, static_cast<char>(b)) + rest + tail, data);
}

TEST(DispatcherRing, ADeviceThatOutrunsItsReaderIsHeldBackAtTheQueueBoundAndLosesNothing) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  // The device sends 2 MiB as fast as the pty takes them; nobody reads yet.
  const std::string data = Pattern(2 << 20, 11);
  std::atomic<size_t> written{0};
  std::atomic<bool> release{false};
  std::thread device([&] {
    const int fd = h.pty.Master();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (written.load() < data.size()) {
      pollfd p{fd, POLLOUT, 0};
      // A pty that takes nothing for half a second holds the device back: report it and
      // wait until the test starts reading.
      if (poll(&p, 1, 500) == 0 && !release.load()) {
        release.wait(false);
        continue;
      }
      const ssize_t n = write(fd, data.data() + written.load(),
                              std::min<size_t>(65536, data.size() - written.load()));
      if (n > 0) written += static_cast<size_t>(n);
    }
  });
  // The ring fills, then the queue up to its bound; then the read thread stops reading.
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == kInputRingSize; }));
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputQueue().AtLimit(); }));
  // One record may go past the bound: the one read when the queue was just below it.
  EXPECT_LE(h.d->InputQueue().ByteCount(), kInputQueueLimit + TDataBuffer::kCapacity);
  EXPECT_LT(written.load(), data.size()) << "the whole flood was taken in";

  // Reading makes room; everything arrives, in order.
  release.store(true);
  release.notify_all();
  std::string got;
  std::vector<char> buf(kInputRingSize);
  uint32_t mostQueued = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
    mostQueued = std::max(mostQueued, h.d->InputQueue().ByteCount());
    const int32_t n = h.d->InputUsed();
    if (n > 0 && h.d->ReceiveBlock(buf.data(), n) == n) {
      got.append(buf.data(), static_cast<size_t>(n));
    } else {
      std::this_thread::yield();
    }
  }
  device.join();
  EXPECT_LE(mostQueued, kInputQueueLimit + TDataBuffer::kCapacity);
  EXPECT_TRUE(got == data) << "got " << got.size() << " bytes, not the ones sent";
}

TEST(DispatcherOutput, ABlockThatExactlyFitsIsTakenAndOneMoreByteIsRefused) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  // The device stops the line with XOFF: nothing more leaves, the writer holds on to what it
  // has taken, and the output ring then stays exactly as the test fills it.
  ASSERT_EQ(h.d->SetSoftwareFlow(900, 100, 1), 0);
  h.pty.Write("\x13");
  std::string received;
  size_t xs = 0;
  // Single bytes leave until the stop has taken effect; then one stays queued, and with the
  // line stopped nothing reaches the device however long it waits.
  ASSERT_TRUE(WaitUntil([&] {
    if (h.d->OutputUsed() == 0) {
      EXPECT_EQ(h.d->SendBlock("x", 1), 0);
      ++xs;
    }
    std::string got = h.pty.ReadUntilIdle(100);
    received += got;
    return got.empty() && h.d->OutputUsed() > 0;
  }));
  const int32_t free = h.d->OutputFree();
  ASSERT_GT(free, 0);
  const std::string block(static_cast<size_t>(free) + 1, 'y');
  EXPECT_EQ(h.d->SendBlock(block.data(), free + 1), -3006);  // one too many: nothing taken
  EXPECT_EQ(h.d->OutputFree(), free);
  EXPECT_EQ(h.d->SendBlock(block.data(), free), 0);
  EXPECT_EQ(h.d->OutputUsed(), 1030);  // the full flag: head equals tail
  EXPECT_EQ(h.d->OutputFree(), 0);
  EXPECT_EQ(h.d->SendBlock("z", 1), -3006);
  EXPECT_EQ(h.d->SendBlock(block.data(), 0), 0);
  // XON: everything drains, in order.
  h.pty.Write("\x11");
  const std::string expected = std::string(xs, 'x') + std::string(static_cast<size_t>(free), 'y');
  ASSERT_TRUE(WaitUntil([&] {
    received += h.pty.ReadUntilIdle(20);
    return received.size() >= expected.size() && h.d->OutputUsed() == 0;
  }));
  EXPECT_EQ(received, expected);
}

TEST(DispatcherDelivery, AvailIsCoalescedAndTheRingDropsWhatTheGreediestHandlerRead) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  h.pty.Write("0123456789");
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 10; }));

  std::mutex lock;
  std::vector<uint32_t> counts;
  std::string firstSaw, secondSaw;
  h.d->AddEventHandler(&firstSaw, [&](uint32_t msg, uint32_t wParam, int32_t lParam) {
    if (msg != TriggerAvailMessage) return;
    EXPECT_EQ(lParam >> 16, h.d->Handle());
    char buf[5];
    int32_t n = std::min<int32_t>(5, static_cast<int32_t>(wParam));
    ASSERT_EQ(h.d->ReceiveBlock(buf, n), n);
    std::lock_guard<std::mutex> g(lock);
    counts.push_back(wParam);
    firstSaw.append(buf, static_cast<size_t>(n));
  });
  h.d->AddEventHandler(&secondSaw, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerAvailMessage) return;
    char buf[2];
    int32_t n = std::min<int32_t>(2, static_cast<int32_t>(wParam));
    ASSERT_EQ(h.d->ReceiveBlock(buf, n), n);
    std::lock_guard<std::mutex> g(lock);
    secondSaw.append(buf, static_cast<size_t>(n));
  });
  h.d->SetAvailLength(1);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return !counts.empty();
  }));
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 5; }));
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(counts, std::vector<uint32_t>{10});
    EXPECT_EQ(firstSaw, "01234");
    EXPECT_EQ(secondSaw, "01");  // the same first bytes: reads in a delivery only peek
  }
  // The five unread bytes are not announced again until more arrive.
  h.pty.Write("A");
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return counts.size() == 2;
  }));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(counts[1], 6u);
  EXPECT_EQ(firstSaw, "0123456789");
}

// Everything a reader can take during a delivery, without consuming (reads there only peek).
std::string ReadAll(TBaseDispatcher& d) {
  std::string bytes;
  uint8_t b = 0;
  while (d.ByteWaiting() && d.ReceiveByte(b) == 0) bytes.push_back(static_cast<char>(b));
  return bytes;
}

std::atomic<TBaseDispatcher*> g_lateDispatcher{nullptr};
std::mutex g_lateLock;
std::vector<std::string> g_lateSaw;
void LateReader(uint32_t msg, uint32_t, int32_t) {
  if (msg != TriggerAvailMessage) return;
  std::string bytes = ReadAll(*g_lateDispatcher.load());
  std::lock_guard<std::mutex> g(g_lateLock);
  g_lateSaw.push_back(std::move(bytes));
}

// A handler that clears the input during a delivery discards the bytes held then for the whole
// delivery, not only when it ends: the handler reads none of them afterwards, and neither does
// a handler called after it, one registered during the delivery included (as a transfer
// started from a packet's event is). Bytes that arrive later are announced and read as usual.
TEST(DispatcherDelivery, BytesClearedInADeliveryAreGoneForEveryLaterReader) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  TBaseDispatcher* d = h.d.get();
  g_lateDispatcher = d;
  {
    std::lock_guard<std::mutex> g(g_lateLock);
    g_lateSaw.clear();
  }
  std::mutex lock;
  std::string clearerSaw, afterClear;
  std::vector<std::pair<int32_t, bool>> secondSaw;  // unread bytes and ByteWaiting
  int deliveries = 0;
  h.d->AddEventHandler(&clearerSaw, [&, d](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerAvailMessage) return;
    std::lock_guard<std::mutex> g(lock);
    if (++deliveries > 1) {
      clearerSaw += ReadAll(*d);
      return;
    }
    if (wParam < 6) {  // all six bytes in one delivery
      --deliveries;
      return;
    }
    char two[2];
    EXPECT_EQ(d->ReceiveBlock(two, 2), 2);
    clearerSaw.append(two, 2);
    d->ClearInput();
    EXPECT_EQ(d->InputUsed(), 0);
    afterClear = ReadAll(*d);
    d->AddProcedureHandler(LateReader);
  });
  // Counts only: a reading handler here would consume bytes that arrived ahead of the rest.
  h.d->AddEventHandler(&secondSaw, [&, d](uint32_t msg, uint32_t, int32_t) {
    if (msg != TriggerAvailMessage) return;
    const int32_t used = d->InputUsed();
    const bool waiting = d->ByteWaiting();
    std::lock_guard<std::mutex> g(lock);
    secondSaw.push_back({used, waiting});
  });
  h.d->SetAvailLength(1);
  h.pty.Write("abcdef");
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(g_lateLock);
    return !g_lateSaw.empty();
  }));
  EXPECT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 0; }));
  h.pty.Write("xyz");
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(g_lateLock);
    return g_lateSaw.size() == 2;
  }));
  h.d->RemoveProcedureHandler(LateReader);
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(clearerSaw, "abxyz");
  EXPECT_EQ(afterClear, "");
  ASSERT_GE(secondSaw.size(), 2u);
  EXPECT_EQ(secondSaw[secondSaw.size() - 2], std::make_pair(0, false));
  EXPECT_EQ(secondSaw.back(), std::make_pair(3, true));
  std::lock_guard<std::mutex> late(g_lateLock);
  EXPECT_EQ(g_lateSaw, (std::vector<std::string>{"", "xyz"}));
}

TEST(DispatcherDelivery, NoHandlerConsumesNothingAndRemovedHandlersAreSkipped) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  h.d->SetAvailLength(1);
  h.pty.Write("abc");
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 3; }));

  std::atomic<int> selfRemovingCalls{0}, otherCalls{0};
  const void* selfKey = &selfRemovingCalls;
  h.d->AddEventHandler(selfKey, [&](uint32_t msg, uint32_t, int32_t) {
    if (msg != TriggerAvailMessage) return;
    ++selfRemovingCalls;
    h.d->RemoveEventHandler(selfKey);
  });
  h.d->AddEventHandler(&otherCalls, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerAvailMessage) return;
    std::vector<char> buf(wParam);
    h.d->ReceiveBlock(buf.data(), static_cast<int32_t>(wParam));
    ++otherCalls;
  });
  h.pty.Write("d");
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() == 1; }));
  h.pty.Write("e");
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() == 2; }));
  EXPECT_EQ(selfRemovingCalls.load(), 1);
  EXPECT_EQ(h.d->InputUsed(), 0);
}

TEST(DispatcherTimers, FireOnceWithinTheirTicksAndReuseTheInterval) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  std::mutex lock;
  std::vector<std::pair<uint32_t, std::chrono::steady_clock::time_point>> fired;
  h.d->AddEventHandler(&fired, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerTimerMessage) return;
    std::lock_guard<std::mutex> g(lock);
    fired.emplace_back(wParam, std::chrono::steady_clock::now());
  });
  auto firedCount = [&] {
    std::lock_guard<std::mutex> g(lock);
    return fired.size();
  };
  int32_t zero = h.d->NewTimerTrigger();
  int32_t three = h.d->NewTimerTrigger();
  ASSERT_EQ(h.d->ArmTimerTrigger(zero, 0, true), 0);  // due at the next tick change
  ASSERT_TRUE(WaitUntil([&] { return firedCount() == 1; }));
  EXPECT_EQ(fired[0].first, static_cast<uint32_t>(zero));

  auto armed = std::chrono::steady_clock::now();
  ASSERT_EQ(h.d->ArmTimerTrigger(three, 3, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return firedCount() == 2; }));
  EXPECT_EQ(fired[1].first, static_cast<uint32_t>(three));
  // More than three tick changes must pass: at least two whole ticks.
  EXPECT_GE(fired[1].second - armed, std::chrono::milliseconds(2 * 55));
  int32_t left = -1;
  EXPECT_EQ(h.d->TimerTicksLeft(three, left), 0);
  EXPECT_EQ(left, 0);  // never negative

  // Re-armed with 0 ticks: the earlier interval (3) again; it fires once per arming.
  armed = std::chrono::steady_clock::now();
  ASSERT_EQ(h.d->ArmTimerTrigger(three, 0, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return firedCount() == 3; }));
  EXPECT_GE(fired[2].second - armed, std::chrono::milliseconds(2 * 55));
  ASSERT_EQ(h.d->ArmTimerTrigger(zero, 5, true), 0);
  ASSERT_EQ(h.d->ArmTimerTrigger(zero, 0, false), 0);  // deactivated: never fires
  ASSERT_EQ(h.d->ArmTimerTrigger(three, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return firedCount() == 4; }));
  EXPECT_EQ(fired[3].first, static_cast<uint32_t>(three));
}

TEST(DispatcherStatus, OutputTriggersFireOnceWithTheirCounts) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  std::mutex lock;
  std::vector<std::pair<uint32_t, int32_t>> fired;  // handle, data
  h.d->AddEventHandler(&fired, [&](uint32_t msg, uint32_t wParam, int32_t lParam) {
    if (msg != TriggerStatusMessage) return;
    std::lock_guard<std::mutex> g(lock);
    fired.emplace_back(wParam, lParam & 0xFFFF);
  });
  auto last = [&]() -> std::pair<uint32_t, int32_t> {
    std::lock_guard<std::mutex> g(lock);
    return fired.empty() ? std::pair<uint32_t, int32_t>{0, 0} : fired.back();
  };
  int32_t sent = h.d->NewStatusTrigger(StatusOutputSent);
  int32_t used = h.d->NewStatusTrigger(StatusOutputUsed);
  int32_t free = h.d->NewStatusTrigger(StatusOutputFree);
  EXPECT_EQ(sent & 7, StatusOutputSent);

  ASSERT_EQ(h.d->ArmStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(h.d->SendBlock("hello", 5), 0);
  ASSERT_TRUE(WaitUntil([&] { return last().first == static_cast<uint32_t>(sent); }));
  EXPECT_EQ(h.pty.ReadFor(5, 5000), "hello");

  ASSERT_EQ(h.d->ArmStatusTrigger(used, 0, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return last().first == static_cast<uint32_t>(used); }));
  EXPECT_EQ(last().second, 0);

  ASSERT_EQ(h.d->ArmStatusTrigger(free, 1030, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return last().first == static_cast<uint32_t>(free); }));
  EXPECT_EQ(last().second, 1030);
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(fired.size(), 3u);  // each fired once: armed triggers disarm when they fire
  }
  for (const auto& t : h.d->StatusTriggers()) EXPECT_FALSE(t.Armed);
}

TEST(DispatcherStatus, ModemLineChangesKeepTheirDeltaBitsThroughTheInputPass) {
  Harness h;
  h.d->modemLines.store(0x30);  // CTS and DSR up
  ASSERT_EQ(h.Start(), 0);
  EXPECT_EQ(h.d->ModemStatusByte(), 0x30);
  std::atomic<uint32_t> modemFired{0};
  std::atomic<int> avails{0};
  h.d->AddEventHandler(&modemFired, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg == TriggerStatusMessage) modemFired.store(wParam);
    if (msg == TriggerAvailMessage) {
      std::vector<char> buf(wParam);
      h.d->ReceiveBlock(buf.data(), static_cast<int32_t>(wParam));
      ++avails;
    }
  });
  h.d->SetAvailLength(1);
  int32_t modem = h.d->NewStatusTrigger(StatusModem);
  ASSERT_EQ(h.d->ArmStatusTrigger(modem, 0x10, true), 0);  // watch CTS

  // CTS drops; the device reports it as a CTS event.
  h.d->modemLines.store(0x20);
  h.d->InputQueue().Push(std::make_unique<TStatusBuffer>(EV_CTS));
  ASSERT_TRUE(WaitUntil([&] { return modemFired.load() == static_cast<uint32_t>(modem); }));
  // A later pass (this byte's delivery comes after the pass's modem-status step) still shows
  // which line changed: DSR up, CTS down, DCTS set.
  h.pty.Write("x");
  ASSERT_TRUE(WaitUntil([&] { return avails.load() == 1; }));
  EXPECT_EQ(h.d->ModemStatusByte(), 0x21);
  // Reading the status hands the deltas out once.
  EXPECT_EQ(h.d->ModemStatusNow(), 0x21);
  EXPECT_EQ(h.d->ModemStatusByte(), 0x20);
}

TEST(DispatcherHandlers, RemovalRechecksHandlerServiceOnlyForAHandlerThatIsNotThere) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  int a = 0, b = 0;
  h.d->AddEventHandler(&a, [](uint32_t, uint32_t, int32_t) {});
  h.d->AddProcedureHandler(CountingProcedure);
  const int before = h.d->serviceRechecks.load();
  h.d->RemoveEventHandler(&a);
  h.d->RemoveProcedureHandler(CountingProcedure);
  EXPECT_EQ(h.d->serviceRechecks.load(), before);
  h.d->RemoveEventHandler(&a);  // already gone
  h.d->RemoveEventHandler(&b);  // never there
  h.d->RemoveProcedureHandler(OtherProcedure);
  h.d->RemoveWindowHandler(12345);
  EXPECT_EQ(h.d->serviceRechecks.load(), before + 4);
}

TEST(DispatcherClose, AHandlerThatStopsThePortEndsTheDeliveryAndTheThreadsReleaseTheBuffers) {
  for (bool fromMainThread : {false, true}) {
    SCOPED_TRACE(fromMainThread ? "closed through a main-thread call"
                                : "closed on the dispatch thread");
    Harness h;
    ASSERT_EQ(h.Start(), 0);
    std::atomic<int> firstCalls{0}, secondCalls{0};
    TBaseDispatcher* d = h.d.get();
    h.d->AddEventHandler(&firstCalls, [&, d](uint32_t msg, uint32_t, int32_t) {
      if (msg != TriggerAvailMessage) return;
      ++firstCalls;
      if (fromMainThread) {
        RunOnMainThread(d->DispatchThread(), [d] { d->StopPort(); });
      } else {
        d->StopPort();
      }
    });
    h.d->AddEventHandler(&secondCalls, [&](uint32_t, uint32_t, int32_t) { ++secondCalls; });
    h.d->SetAvailLength(1);
    h.pty.Write("x");
    ASSERT_TRUE(WaitUntil([&] { return !h.d->ThreadsRunning() && h.d->LiveThreadCount() == 0; }));
    EXPECT_EQ(firstCalls.load(), 1);
    EXPECT_EQ(secondCalls.load(), 0);
    EXPECT_TRUE(h.d->ClosePending());
    EXPECT_TRUE(h.d->BuffersReleased());
    EXPECT_EQ(h.d->DeviceHandle(), -1);
    h.d.reset();  // the destructor only releases again
  }
}

// A device that vanishes while the write thread waits for room in it and the dispatch thread
// delivers to a handler that waits for the main thread (as a packet's or a transfer's events
// do). The writer ends with the write failure, and its end waits for that delivery, which
// waits for the main thread, which stops the port meanwhile. The stop's output purge must not
// wait for an acknowledgement that a writer out of its loop never gives.
TEST(DispatcherClose, TheOutputPurgeOfAVanishedDeviceWaitsForNoStoppedWriter) {
  // About every other round the writer sees the hang-up itself; when the read thread's stop
  // request reaches it first, it acknowledges and ends, and the round proves nothing.
  int exercised = 0;
  int round = 0;
  for (; round < 200 && exercised < 3; ++round) {
    Harness h;
    ASSERT_EQ(h.Start(60000), 0);
    std::atomic<int> mainCalls{0};
    TBaseDispatcher* d = h.d.get();
    h.d->AddEventHandler(&mainCalls, [&, d](uint32_t msg, uint32_t, int32_t) {
      if (msg == TriggerAvailMessage) RunOnMainThread(d->DispatchThread(), [&] { ++mainCalls; });
    });
    h.d->SetAvailLength(1);
    // More than a pty takes while nobody reads its far side: the writer waits for room.
    const std::string block = Pattern(50000, 7);
    ASSERT_EQ(h.d->SendBlock(block.data(), static_cast<int32_t>(block.size())), 0);
    h.pty.Write("x");
    ASSERT_TRUE(WaitNotServing([&] {
      int waiting = 0;
      return h.d->DispatchActive() && h.d->OutputUsed() == 0 &&
             ioctl(h.pty.Master(), FIONREAD, &waiting) == 0 && waiting >= 2048;
    }));

    h.pty.CloseMaster();  // the line hangs up
    ASSERT_TRUE(WaitNotServing([&] {
      return h.d->DeviceFailed() && (h.d->WriterResult() == -160 || h.d->WriterEnded());
    }));
    const bool writerFailed = h.d->WriterResult() == -160;
    h.d->StopPort();
    if (writerFailed) {
      ++exercised;
      EXPECT_EQ(h.d->LastOutputPurge(), TPurgeWait::pwWriterStopped) << "round " << round;
    }
    EXPECT_EQ(h.d->DeviceHandle(), -1);
    ASSERT_TRUE(WaitUntil([&] { return !h.d->ThreadsRunning(); }));
    EXPECT_EQ(mainCalls.load(), 1);  // served while the stop waited for the threads
  }
  EXPECT_EQ(exercised, 3) << "in " << round << " rounds";
}

// An output purge ends only with the write thread's answer to it. Two signals that are not
// that answer: one left on the start event (every thread start sets it, and so does the end
// of the dispatch thread), and the late answer to an earlier purge that gave up waiting. The
// writer is held meanwhile, so neither may end a purge as answered (each then runs into the
// purge's 5 s limit).
TEST(DispatcherClose, AnOutputPurgeEndsOnlyWithTheWritersAnswerToIt) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  const int writer = h.d->WriteThreadId();
  ASSERT_NE(writer, 0);
  {
    TThreadHold hold(writer);
    ASSERT_TRUE(hold.Held());
    h.d->StartEvent().Set();
    h.d->ClearOutput();
    EXPECT_EQ(h.d->LastOutputPurge(), TPurgeWait::pwNoAnswer);
    // The writer answers that purge late: once it waits again, it has.
    const long waits = WaitsOf(writer);
    hold.Release();
    ASSERT_TRUE(WaitUntil([&] { return WaitsOf(writer) > waits; }));
  }
  {
    TThreadHold hold(writer);
    ASSERT_TRUE(hold.Held());
    h.d->ClearOutput();
    EXPECT_EQ(h.d->LastOutputPurge(), TPurgeWait::pwNoAnswer);
  }
  // A writer free to answer does so.
  h.d->ClearOutput();
  EXPECT_EQ(h.d->LastOutputPurge(), TPurgeWait::pwAcknowledged);
  const std::string after = "after";
  ASSERT_EQ(h.d->SendBlock(after.data(), 5), 0);
  EXPECT_EQ(h.pty.ReadFor(5, 5000), after);
}

// After a device failure the dispatch thread closes the device as it ends. A stop from the main
// thread meanwhile returns only once the device is closed, serving the main thread's queue
// while it waits: here the failing read thread's last delivery waits for the main thread, and
// the dispatch thread's close waits for the read thread.
TEST(DispatcherClose, AStopDuringTheDispatchThreadsOwnCloseReturnsWithTheDeviceClosed) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  TBaseDispatcher* d = h.d.get();
  std::atomic<int> mainCalls{0};
  h.d->AddEventHandler(&mainCalls, [&, d](uint32_t msg, uint32_t, int32_t) {
    if (msg == TriggerStatusMessage) RunOnMainThread(d->DispatchThread(), [&] { ++mainCalls; });
  });
  const int32_t line = h.d->NewStatusTrigger(StatusLine);
  ASSERT_GT(line, 0);
  ASSERT_EQ(h.d->ArmStatusTrigger(line, 1, true), 0);

  h.pty.CloseMaster();  // the line hangs up
  ASSERT_TRUE(WaitNotServing([&] { return h.d->CloseRunning() && h.d->DeviceFailed(); }));
  ASSERT_GE(h.d->DeviceHandle(), 0);
  h.d->StopPort();
  EXPECT_EQ(h.d->DeviceHandle(), -1);
  EXPECT_FALSE(h.d->CloseRunning());
  EXPECT_EQ(mainCalls.load(), 1);
  EXPECT_TRUE(WaitUntil([&] { return !h.d->ThreadsRunning(); }));
  EXPECT_TRUE(h.d->BuffersReleased());
}

TEST(DispatcherFailure, ADeviceThatVanishesEndsTheThreadsAndFiresLineStatus) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  std::atomic<uint32_t> lineHandle{0};
  std::atomic<uint64_t> received{0};
  std::vector<char> buf(kInputRingSize);
  h.d->AddEventHandler(&lineHandle, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg == TriggerStatusMessage) lineHandle.store(wParam);
    if (msg == TriggerAvailMessage) {
      h.d->ReceiveBlock(buf.data(), static_cast<int32_t>(wParam));
      received += wParam;
    }
  });
  h.d->SetAvailLength(1);
  int32_t line = h.d->NewStatusTrigger(StatusLine);
  ASSERT_EQ(h.d->ArmStatusTrigger(line, 0x0F, true), 0);

  std::atomic<bool> stop{false};
  std::thread host([&] {
    // Keep the host side sending while the device goes away.
    while (!stop.load()) {
      int32_t r = h.d->SendBlock("ping", 4);
      if (r != 0 && r != -3006) break;
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 20; ++i) h.pty.Write(Pattern(1000, static_cast<uint32_t>(i)));
  ASSERT_TRUE(WaitUntil([&] { return received.load() >= 20000; }));
  h.pty.CloseSlaveFd();
  h.pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return !h.d->ThreadsRunning(); }));
  stop.store(true);
  host.join();
  EXPECT_EQ(lineHandle.load(), static_cast<uint32_t>(line));
  EXPECT_EQ(h.d->LineErrors(), -1);
  EXPECT_NE(h.d->LastOsError(), 0);
  EXPECT_TRUE(h.d->BuffersReleased());
  // The dispatcher stays safe to use: everything reports an error, nothing touches the rings.
  EXPECT_EQ(h.d->SendBlock("x", 1), -3004);
  char c;
  EXPECT_EQ(h.d->ReceiveBlock(&c, 1), -3007);
  uint8_t b;
  EXPECT_EQ(h.d->ReceiveByte(b), -3007);
  EXPECT_EQ(h.d->InputUsed(), 0);
  EXPECT_FALSE(h.d->TakeBreak());
  EXPECT_EQ(h.d->TakeLineError(), 10);
  EXPECT_EQ(h.d->TakeLineError(), 0);
  h.d->StopPort();
  h.d.reset();
}

TEST(DispatcherFailure, ActiveTimersFireOnceWhenTheDeviceFails) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  std::mutex lock;
  std::vector<uint32_t> fired;
  std::atomic<bool> failedSeen{false};
  h.d->AddEventHandler(&fired, [&](uint32_t msg, uint32_t wParam, int32_t) {
    if (msg != TriggerTimerMessage) return;
    failedSeen.store(h.d->DeviceFailed());
    std::lock_guard<std::mutex> g(lock);
    fired.push_back(wParam);
  });
  const int32_t waiting = h.d->NewTimerTrigger();
  const int32_t idle = h.d->NewTimerTrigger();               // never armed
  ASSERT_EQ(h.d->ArmTimerTrigger(waiting, 20000, true), 0);  // some 18 minutes
  EXPECT_FALSE(h.d->DeviceFailed());

  h.pty.CloseSlaveFd();
  h.pty.CloseMaster();
  // Nothing else would ever fire it: the dispatch thread ends with the device.
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return !fired.empty();
  }));
  ASSERT_TRUE(WaitUntil([&] { return !h.d->ThreadsRunning(); }));
  EXPECT_TRUE(h.d->DeviceFailed());
  EXPECT_TRUE(failedSeen.load());
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(fired, std::vector<uint32_t>{static_cast<uint32_t>(waiting)});
  (void)idle;
}

TEST(DispatcherIdle, OnlyTheDispatchTickWakesAnIdlePort) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  const int reader = h.d->ReadThreadId(), writer = h.d->WriteThreadId();
  const int dispatcher = h.d->DispatchThreadId();
  ASSERT_NE(reader, 0);
  ASSERT_NE(writer, 0);
  ASSERT_NE(dispatcher, 0);
  // Measured against the dispatch thread's own 50 ms tick rather than the clock, so that a
  // busy machine slows both alike.
  const long readBefore = WaitsOf(reader), writeBefore = WaitsOf(writer);
  const long dispatchBefore = WaitsOf(dispatcher);
  ASSERT_TRUE(WaitUntil([&] { return WaitsOf(dispatcher) >= dispatchBefore + 20; }));
  EXPECT_LE(WaitsOf(reader) - readBefore, 1);
  EXPECT_LE(WaitsOf(writer) - writeBefore, 1);

  // Sleeping without a time limit, they still wake for work and for the stop.
  h.d->SendBlock("ping", 4);
  EXPECT_EQ(h.pty.ReadFor(4, 5000), "ping");
  h.pty.Write("pong");
  ASSERT_TRUE(WaitUntil([&] { return h.d->InputUsed() == 4; }));
  h.d->StopPort();
  EXPECT_TRUE(h.d->WaitThreadsEnded(10000));
}

// A writer whose device takes no more sleeps until it does: it does not wake meanwhile (as it
// did, ten times a second, to look for a stop), and it goes on as soon as the device takes
// bytes again. A purge or a stop wakes it at once (the purge tests above).
TEST(DispatcherIdle, AWriterWaitingForRoomSleepsUntilTheDeviceTakesMore) {
  Harness h;
  ASSERT_EQ(h.Start(60000), 0);
  const int writer = h.d->WriteThreadId(), dispatcher = h.d->DispatchThreadId();
  ASSERT_NE(writer, 0);
  // More than a pty takes while nobody reads its far side.
  const std::string block = Pattern(50000, 11);
  ASSERT_EQ(h.d->SendBlock(block.data(), static_cast<int32_t>(block.size())), 0);
  ASSERT_TRUE(WaitUntil([&] {
    int waiting = 0;
    return h.d->OutputUsed() == 0 && ioctl(h.pty.Master(), FIONREAD, &waiting) == 0 &&
           waiting >= 2048;
  }));
  const long writeBefore = WaitsOf(writer), dispatchBefore = WaitsOf(dispatcher);
  ASSERT_TRUE(WaitUntil([&] { return WaitsOf(dispatcher) >= dispatchBefore + 20; }));
  EXPECT_LE(WaitsOf(writer) - writeBefore, 1);  // at most the wait it was just going into
  EXPECT_TRUE(h.pty.ReadFor(block.size(), 20000) == block);
}

TEST(DispatcherLifecycle, OpenAndClose200TimesLeaksNoDescriptorsOrThreads) {
  PtyPair pty;
  TBaseComponent owner;
  const std::string name = DeviceName(pty.SlavePath());
  auto cycle = [&] {
    TPlatformDispatcher d(&owner);
    ASSERT_EQ(d.StartPort(name, 115200, 0, 8, 1, 1030, 1030, 0), 0);
    ASSERT_EQ(d.SendBlock("z", 1), 0);
    d.StopPort();
  };
  cycle();  // first use settles lazily created process-wide state
  pty.ReadUntilIdle(50);
  const int fds = CountEntries("/proc/self/fd");
  const int tasks = CountEntries("/proc/self/task");
  for (int i = 0; i < 200; ++i) {
    cycle();
    if (HasFatalFailure()) return;
  }
  pty.ReadUntilIdle(50);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == tasks; }));
}

TEST(DispatcherLine, ApplyLineChangesTheDeviceOnlyWhenSomethingDiffers) {
  Harness h;
  ASSERT_EQ(h.Start(), 0);
  auto line = h.d->QueryLine();
  EXPECT_EQ(line.Baud, 115200);
  EXPECT_EQ(line.DataBits, 8);
  EXPECT_EQ(line.Parity, 0);
  EXPECT_EQ(line.StopBits, 1);
  EXPECT_EQ(h.d->ApplyLine(0, 5, 9, 3), 0);  // keep everything
  EXPECT_EQ(h.d->ApplyLine(9600, 5, 9, 2), 0);
  line = h.d->QueryLine();  // (a pty keeps 8 data bits and no parity whatever is asked)
  EXPECT_EQ(line.Baud, 9600);
  EXPECT_EQ(line.StopBits, 2);
  EXPECT_EQ(h.d->ApplyLine(1234567, 5, 9, 3), -22);  // no such baud on this line: EINVAL
  EXPECT_EQ(h.d->ApplyLine(0, 5, 5, 1), 0);
  EXPECT_EQ(h.d->DeviceStateRecord().StopBits, ONE5STOPBITS);  // 5 data bits force 1.5
  EXPECT_EQ(h.d->SetUserData(0, nullptr), -1002);
  EXPECT_EQ(h.d->SetUserData(4, nullptr), -1002);
  int x = 0;
  EXPECT_EQ(h.d->SetUserData(2, &x), 0);
  EXPECT_EQ(h.d->GetUserData(2), &x);
  EXPECT_EQ(h.d->SetHardwareFlow(10, 20, 3), -1002);    // full below resume
  EXPECT_EQ(h.d->SetHardwareFlow(2000, 10, 3), -1002);  // full above the input queue
  EXPECT_EQ(h.d->SetSoftwareFlow(900, 100, 3), 0);
  auto flow = h.d->QueryFlow();
  EXPECT_EQ(flow.SoftwareOptions, 3u);
  EXPECT_EQ(flow.XonChar, 17);
  EXPECT_EQ(flow.XoffChar, 19);
  EXPECT_EQ(h.d->SoftwareFlowOff(), 0);
  EXPECT_EQ(h.d->QueryFlow().SoftwareOptions, 0u);
}

TEST(DispatcherInputQueue, ReadDeviceCopiesAcrossRecordsAndStopsAtAStatusRecord) {
  TBaseComponent owner;
  TPlatformDispatcher d(&owner);  // not started: the test fills the input queue itself
  auto data = [](uint32_t used, char fill) {
    auto r = TDataBuffer::Create();
    std::memset(r->Bytes(), fill, used);
    r->Used = used;
    return r;
  };
  d.InputQueue().Push(data(256, 'a'));
  d.InputQueue().Push(data(88, 'b'));
  EXPECT_EQ(d.InputPending(), 256);  // the first record only
  std::vector<uint8_t> buf(300);
  EXPECT_EQ(d.ReadDevice(buf.data(), 300), 300);
  EXPECT_EQ(buf[255], 'a');
  EXPECT_EQ(buf[256], 'b');
  ASSERT_EQ(d.InputQueue().Count(), 1u);
  auto* rest = static_cast<TDataBuffer*>(d.InputQueue().PeekFirst());
  EXPECT_EQ(rest->ReadPos, 44u);
  d.InputQueue().Release(rest);

  // A status record holds back the data behind it.
  d.InputQueue().Clear();
  d.InputQueue().Push(std::make_unique<TStatusBuffer>(EV_CTS));
  d.InputQueue().Push(data(10, 'c'));
  EXPECT_EQ(d.InputPending(), 0);
  EXPECT_EQ(d.ReadDevice(buf.data(), 10), 0);
  EXPECT_EQ(d.InputQueue().Count(), 2u);
  // Clearing spares a record that a reader holds.
  TIOBuffer* held = d.InputQueue().PeekFirst();
  d.InputQueue().Clear();
  EXPECT_EQ(d.InputQueue().Count(), 1u);
  d.InputQueue().Release(held);
  d.InputQueue().Clear();
  EXPECT_TRUE(d.InputQueue().Empty());
  EXPECT_EQ(d.InputQueue().ByteCount(), 0u);
  EXPECT_EQ(d.OutputPending(), 0);
  EXPECT_EQ(d.PurgeDevice(0), 0);  // no writer: nothing done
}
