// The dispatcher itself: the table that hands out dispatcher handles, the re-entrant lock,
// starting and stopping a port (open, buffers, threads, release) and the per-port user data
// and option bits. Line control and the rings live in DispatcherBuffers.cpp, triggers and
// their delivery in DispatcherTriggers.cpp, the worker threads in DispatcherThreads.cpp and
// the trace and log recorders in DispatcherRecorders.cpp.

#include "comm/Dispatcher.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Clock.h"

namespace comm {

namespace {

constexpr int32_t kRing = kInputRingSize;

std::vector<TBaseDispatcher*>& Table() {
  static std::vector<TBaseDispatcher*> table;
  return table;
}

}  // namespace

// ---- re-entrant lock ----------------------------------------------------------------------

void TReentrantLock::lock() {
  std::unique_lock<std::mutex> g(m_);
  const auto self = std::this_thread::get_id();
  cv_.wait(g, [&] { return depth_ == 0 || owner_ == self; });
  owner_ = self;
  ++depth_;
}

bool TReentrantLock::try_lock_for(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> g(m_);
  const auto self = std::this_thread::get_id();
  if (!cv_.wait_for(g, limit, [&] { return depth_ == 0 || owner_ == self; })) return false;
  owner_ = self;
  ++depth_;
  return true;
}

void TReentrantLock::unlock() {
  std::lock_guard<std::mutex> g(m_);
  if (--depth_ == 0) {
    owner_ = std::thread::id();
    cv_.notify_all();
  }
}

// ---- dispatcher table ----------------------------------------------------------------------

std::recursive_mutex& DispatcherTableLock() {
  static std::recursive_mutex lock;
  return lock;
}

TBaseDispatcher* FindDispatcher(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(DispatcherTableLock());
  auto& table = Table();
  if (handle < 0 || handle >= static_cast<int32_t>(table.size())) return nullptr;
  return table[static_cast<size_t>(handle)];
}

int32_t DispatcherTableSize() {
  std::lock_guard<std::recursive_mutex> guard(DispatcherTableLock());
  return static_cast<int32_t>(Table().size());
}

// ---- lifecycle -----------------------------------------------------------------------------

TBaseDispatcher::TBaseDispatcher(TBaseComponent* owner) : owner_(owner) {
  inputQueue_.SetByteLimit(kInputQueueLimit);
  std::lock_guard<std::recursive_mutex> guard(DispatcherTableLock());
  auto& table = Table();
  auto it = std::find(table.begin(), table.end(), nullptr);
  if (it != table.end()) {
    *it = this;
    handle_ = static_cast<int32_t>(it - table.begin());
  } else {
    table.push_back(this);
    handle_ = static_cast<int32_t>(table.size() - 1);
  }
}

TBaseDispatcher::~TBaseDispatcher() {
  // The most-derived destructor has run Shutdown(): no thread runs any more.
  JoinAllThreads();
  std::lock_guard<std::recursive_mutex> guard(DispatcherTableLock());
  auto& table = Table();
  if (handle_ >= 0 && handle_ < static_cast<int32_t>(table.size()) &&
      table[static_cast<size_t>(handle_)] == this) {
    table[static_cast<size_t>(handle_)] = nullptr;
  }
  while (!table.empty() && table.back() == nullptr) table.pop_back();
}

void TBaseDispatcher::Shutdown() {
  if (shutDown_.exchange(true)) return;
  if (closePending_.load()) {
    ReleaseBuffers();
  } else {
    StopPort();
  }
  // Worker threads may still be finishing (an abandoned dispatch thread waits for the main
  // thread): serve the main-thread queue until every one has ended.
  bool quitSeen = false;
  while (liveThreadCount_.load() > 0) {
    if (platform::IsMainThread() && !quitSeen) {
      platform::TPumpResult r;
      while ((r = platform::PumpOneMessage()) == platform::TPumpResult::Dispatched) {
      }
      if (r == platform::TPumpResult::Quit) quitSeen = true;
      if (liveThreadCount_.load() == 0) break;
      if (!quitSeen) {
        platform::WaitForMessage(50);
        continue;
      }
    }
    startEvent_.Wait(10);
  }
  JoinAllThreads();
}

void TBaseDispatcher::JoinAllThreads() {
  for (auto* t : {&readThread_, &writeThread_, &statusThread_, &dispatchThread_}) {
    if (*t && !(*t)->IsCurrentThread()) (*t)->Join();
  }
}

int32_t TBaseDispatcher::StartPort(const std::string& deviceName, int32_t baud, int32_t parity,
                                   int32_t dataBits, int32_t stopBits, int32_t inSize,
                                   int32_t outSize, uint32_t options) {
  // 1.
  ringFlag_.store(false);
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    inBuf_.reset();
  }
  {
    std::lock_guard<std::recursive_mutex> g(outputLock_);
    outBuf_.reset();
  }
  dispatchActive_.store(false);
  handlersDirty_.store(false);
  // 2. The signalling events live as long as the dispatcher; a new start begins unsignalled.
  startEvent_.Reset();
  // 3.
  if (!deviceName.empty()) deviceName_ = deviceName;
  int32_t r = OpenDevice(deviceName_, inSize, outSize);
  if (r < 0) {
    int32_t code = (r == -8) ? -8 : -lastOsError_.load();
    if (code == 0) code = -1;
    StopPort();
    return code;
  }
  // 4.
  r = ResizeQueues(inSize, outSize);
  if (r != 0) {
    StopPort();
    return r;
  }
  // 5.
  if (outSize < 0) outSize = 0;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    inBuf_.reset(new (std::nothrow) uint8_t[kRing]());
    inFull_ = false;
    peekCount_ = 0;
    inHead_ = 0;
    inTail_ = 0;
  }
  {
    std::lock_guard<std::recursive_mutex> g(outputLock_);
    outBuf_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(std::max(outSize, 1))]());
    outHead_ = 0;
    outTail_ = 0;
    outFull_ = false;
    outSize_ = outSize;
  }
  if (!inBuf_ || !outBuf_) {
    StopPort();
    return -8;
  }
  inSize_.store(inSize);
  lastError_.store(0);
  deviceFailed_.store(false);
  outSentPending_.store(false);
  closePending_.store(false);
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    rs485Mode_ = false;
    baseAddress_ = 0;
    // 6.
    GetDeviceState(dcb_);
    // 7.
    if (options & kOptionHwFlowDtr) {
      dtrAuto_ = true;
    } else {
      dtrAuto_ = false;
      SetDtrLine((options & kOptionDtrOn) != 0);
    }
    if (options & kOptionHwFlowRts) {
      rtsAuto_ = true;
    } else {
      rtsAuto_ = false;
      SetRtsLine((options & kOptionRtsOn) != 0);
    }
  }
  // 8.
  DropAllTriggers();
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    scanPosition_ = 0;
    inHead_ = 0;
    inTail_ = 0;
    lastAvailNotice_ = 0;
    pulledTotal_ = 0;
    peekMode_ = false;
  }
  ResetStatusHits();
  // 9.
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    modemStatus_ = 0;
  }
  RefreshModemStatus(0xF0);
  // 10.
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    lastBaud_ = 115200;
  }
  // 11.
  r = ApplyLine(baud, parity, dataBits, stopBits);
  if (r != 0) {
    StopPort();
    return r;
  }
  // 12.
  RefreshLineErrors();
  // 13.
  DiscardTrace();
  logOn_.store(false);
  logQueue_.Clear();
  logLimit_.store(0);
  logBaseTime_.store(platform::timeGetTime());
  // 14.
  StartThreads();
  return 0;
}

void TBaseDispatcher::StopPort() {
  if (deviceHandle_.load() >= 0) {
    ClearOutput();
    ClearInput();
    CloseDevice();
  }
  if (dispatchActive_.load()) {
    closePending_.store(true);
  } else {
    ReleaseBuffers();
  }
}

void TBaseDispatcher::ReleaseBuffers() {
  releaseOnDispatchExit_.store(false);
  if (threadsRunning_.load()) StopThreads();
  {
    std::lock_guard<std::recursive_mutex> g(outputLock_);
    outBuf_.reset();
    outHead_ = 0;
    outTail_ = 0;
    outFull_ = false;
  }
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    inBuf_.reset();
    inHead_ = 0;
    inTail_ = 0;
    inFull_ = false;
    peekCount_ = 0;
  }
}

bool TBaseDispatcher::WaitThreadsEnded(uint32_t ms) {
  std::unique_lock<std::mutex> g(threadsEndedLock_);
  return threadsEnded_.wait_for(g, std::chrono::milliseconds(ms),
                                [this] { return !threadsRunning_.load(); });
}

bool TBaseDispatcher::BuffersReleased() const {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  return !inBuf_;
}

// ---- other ---------------------------------------------------------------------------------

int32_t TBaseDispatcher::SetUserData(int32_t slot, void* pointer) {
  if (slot < 1 || slot > 3) return -1002;
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  userData_[slot - 1] = pointer;
  return 0;
}

void* TBaseDispatcher::GetUserData(int32_t slot) {
  if (slot < 1 || slot > 3) return nullptr;
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  return userData_[slot - 1];
}

void TBaseDispatcher::SetOptionBits(uint32_t bits) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  optionBits_ |= bits;
}

void TBaseDispatcher::ClearOptionBits(uint32_t bits) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  optionBits_ &= ~bits;
}

uint32_t TBaseDispatcher::OptionBits() const {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  return optionBits_;
}

}  // namespace comm
