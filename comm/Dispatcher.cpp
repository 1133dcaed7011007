#include "comm/Dispatcher.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "comm/Exceptions.h"
#include "platform/Clock.h"

namespace comm {

namespace {

constexpr int32_t kRing = kInputRingSize;

std::vector<TBaseDispatcher*>& Table() {
  static std::vector<TBaseDispatcher*> table;
  return table;
}

// Sets a flag for the lifetime of a scope, clearing it on every way out.
struct TCounterGuard {
  explicit TCounterGuard(std::atomic<int32_t>& c) : counter(c) { counter.fetch_add(1); }
  ~TCounterGuard() { counter.fetch_sub(1); }
  std::atomic<int32_t>& counter;
};

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

// ---- worker thread base --------------------------------------------------------------------

TDispatcherThread::~TDispatcherThread() { Join(); }

void TDispatcherThread::Start() {
  running_.store(true);
  ended_.store(false);
  endedEvent_.Reset();
  thread_ = std::thread([this] { Run(); });
}

void TDispatcherThread::Run() {
  id_.store(std::this_thread::get_id());
  tid_.store(static_cast<int32_t>(::syscall(SYS_gettid)));
  Execute();
  running_.store(false);
}

void TDispatcherThread::Join() {
  std::lock_guard<std::mutex> guard(joinLock_);
  if (thread_.joinable()) thread_.join();
}

bool TDispatcherThread::IsCurrentThread() const { return id_.load() == std::this_thread::get_id(); }

void TDispatcherThread::MarkEnded() {
  ended_.store(true);
  endedEvent_.Set();
  platform::WakeMainThread();
}

// ---- run on the main thread ----------------------------------------------------------------

void RunOnMainThread(TDispatcherThread* thread, const std::function<void()>& fn) {
  if (thread == nullptr || platform::IsMainThread()) {
    fn();
    return;
  }
  TBaseDispatcher& d = thread->Dispatcher();
  TCounterGuard waiting(d.mainThreadCalls_);
  platform::RunOnMainThread(fn);
}

// ---- lifecycle -----------------------------------------------------------------------------

TBaseDispatcher::TBaseDispatcher(TBaseComponent* owner) : owner_(owner) {
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

// ---- line control --------------------------------------------------------------------------

namespace {

int32_t TranslateBaud(uint32_t value) {
  switch (value) {
    case 0xFEFF:
      return 115200;
    case 0xFF10:
      return 110;
    case 0xFF11:
      return 300;
    case 0xFF12:
      return 600;
    case 0xFF13:
      return 1200;
    case 0xFF14:
      return 2400;
    case 0xFF15:
      return 4800;
    case 0xFF16:
      return 9600;
    case 0xFF17:
      return 14400;
    case 0xFF18:
      return 19200;
    case 0xFF1B:
      return 38400;
    case 0xFF1F:
      return 56000;
    case 0xFF23:
      return 128000;
    case 0xFF27:
      return 256000;
    default:
      return static_cast<int32_t>(value);
  }
}

bool SameFlags(const TDeviceState& a, const TDeviceState& b) {
  return a.fBinary == b.fBinary && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
         a.fOutxDsrFlow == b.fOutxDsrFlow && a.fDtrControl == b.fDtrControl &&
         a.fRtsControl == b.fRtsControl && a.fDsrSensitivity == b.fDsrSensitivity &&
         a.fTXContinueOnXoff == b.fTXContinueOnXoff && a.fOutX == b.fOutX && a.fInX == b.fInX &&
         a.fNull == b.fNull;
}

}  // namespace

int32_t TBaseDispatcher::ApplyLine(int32_t baud, int32_t parity, int32_t dataBits,
                                   int32_t stopBits) {
  TDeviceState current;
  TDeviceState wanted;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    GetDeviceState(dcb_);
    current = dcb_;
  }
  wanted = current;
  wanted.fBinary = true;
  wanted.fParity = false;
  wanted.fDsrSensitivity = false;
  wanted.fTXContinueOnXoff = true;
  wanted.fNull = false;
  if (stopBits != 3) stopBits = std::clamp(stopBits, 1, 2);
  uint32_t newBaud = baud == 0 ? current.BaudRate : static_cast<uint32_t>(baud);
  uint8_t newParity = parity == 5 ? current.Parity : static_cast<uint8_t>(parity);
  uint8_t newSize = dataBits == 9 ? current.ByteSize : static_cast<uint8_t>(dataBits);
  uint8_t newStop;
  if (stopBits == 3) {
    newStop = newSize == 5 ? static_cast<uint8_t>(ONE5STOPBITS) : current.StopBits;
  } else {
    newStop = static_cast<uint8_t>(stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS);
    if (newSize == 5) newStop = ONE5STOPBITS;
  }
  if (newBaud == current.BaudRate && newParity == current.Parity && newSize == current.ByteSize &&
      newStop == current.StopBits && SameFlags(wanted, current)) {
    return 0;
  }
  DrainBeforeLineChange();
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  dcb_.BaudRate = newBaud;
  dcb_.Parity = newParity;
  dcb_.ByteSize = newSize;
  dcb_.StopBits = newStop;
  dcb_.fBinary = wanted.fBinary;
  dcb_.fParity = wanted.fParity;
  dcb_.fDsrSensitivity = wanted.fDsrSensitivity;
  dcb_.fTXContinueOnXoff = wanted.fTXContinueOnXoff;
  dcb_.fNull = wanted.fNull;
  return CommitDeviceState(dcb_);
}

TBaseDispatcher::TLineSettings TBaseDispatcher::QueryLine() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  return {TranslateBaud(dcb_.BaudRate), dcb_.Parity, dcb_.ByteSize,
          dcb_.StopBits == ONESTOPBIT ? 1 : 2};
}

void TBaseDispatcher::DrainBeforeLineChange() {
  for (int i = 0; i < 5000 && OutputUsed() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  TDeviceState state;
  uint32_t baud;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    GetDeviceState(dcb_);
    state = dcb_;
    baud = static_cast<uint32_t>(TranslateBaud(lastBaud_));
  }
  if (baud == 0) baud = 115200;
  int64_t bits = state.ByteSize + 2;
  if (state.Parity != NOPARITY) bits += 1;
  if (state.StopBits != ONESTOPBIT) bits += 1;
  int64_t t = (10000000 / static_cast<int64_t>(baud)) * bits * 18;
  if (t < 10000) t *= 2;
  std::this_thread::sleep_for(std::chrono::milliseconds((t + 9999) / 10000));
}

int32_t TBaseDispatcher::CommitDeviceState(TDeviceState& record) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (!dtrAuto_) record.fDtrControl = dtrState_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  if (!rtsAuto_) record.fRtsControl = rtsState_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  int32_t result = SetDeviceState(record);
  lastBaud_ = record.BaudRate;
  SetDtrLine(dtrState_);
  if (!rs485Mode_) SetRtsLine(rtsState_);
  return result;
}

int32_t TBaseDispatcher::SetDtrLine(bool on) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (dtrAuto_) return 1;
  int32_t r = LineFunction(on ? SETDTR : CLRDTR);
  dtrState_ = on;
  return r < 0 ? -1002 : r;
}

int32_t TBaseDispatcher::SetRtsLine(bool on) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (rtsAuto_) return 1;
  int32_t r = LineFunction(on ? SETRTS : CLRRTS);
  rtsState_ = on;
  return r < 0 ? -1002 : r;
}

uint8_t TBaseDispatcher::RefreshModemStatus(uint8_t mask) {
  uint8_t lines = ReadModemLines();
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  modemStatus_ = (lines & 0xF0u) | (modemStatus_ & 0x0Fu);
  if (ringFlag_.exchange(false)) modemStatus_ |= 0x04;
  uint8_t result = static_cast<uint8_t>(modemStatus_);
  modemStatus_ &= mask;
  return result;
}

uint8_t TBaseDispatcher::ModemStatusNow() { return RefreshModemStatus(0xF0); }

bool TBaseDispatcher::CarrierPresent() { return (RefreshModemStatus(0xF7) & 0x80) != 0; }

uint8_t TBaseDispatcher::ModemStatusByte() const {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  return static_cast<uint8_t>(modemStatus_);
}

void TBaseDispatcher::UpdateModemDeltas() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  uint32_t old = modemStatus_;
  RefreshModemStatus(0xFF);
  modemStatus_ |= ((old >> 4) ^ (modemStatus_ >> 4)) & 0x0F;
}

int32_t TBaseDispatcher::LineErrors() const { return lastError_.load(); }

void TBaseDispatcher::RefreshLineErrors() {
  TDeviceStatus status;
  int32_t bits = ReadDeviceErrors(status);
  lastError_.fetch_or(bits & 0x1F);
}

int32_t TBaseDispatcher::TakeLineError() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  int32_t e = lastError_.load();
  if (e == -1) {
    lastError_.store(0);
    return 10;
  }
  static constexpr struct {
    int32_t bit;
    int32_t code;
  } kOrder[] = {{0x01, 1}, {0x02, 2}, {0x04, 3}, {0x08, 4}};
  for (const auto& o : kOrder) {
    if (e & o.bit) {
      lastError_.fetch_and(~0x0F);
      return o.code;
    }
  }
  if (e & 0x10) {
    lastError_.fetch_and(~0x0F);
    return 9;
  }
  return 0;
}

bool TBaseDispatcher::TakeBreak() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  int32_t e = lastError_.load();
  if (e == -1) return false;
  bool brk = (e & 0x10) != 0;
  lastError_.fetch_and(~0x10);
  return brk;
}

void TBaseDispatcher::SendLineBreak(int32_t ticks, bool yield) {
  SetBreak(true);
  WaitTicks(ticks, yield);
  SetBreak(false);
}

int32_t TBaseDispatcher::SetHardwareFlow(int32_t full, int32_t resume, uint32_t options) {
  if (full < resume || inSize_.load() < full) return -1002;
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  dcb_.fDtrControl = DTR_CONTROL_DISABLE;
  dcb_.fRtsControl = RTS_CONTROL_DISABLE;
  dcb_.fOutxCtsFlow = false;
  dcb_.fOutxDsrFlow = false;
  dtrAuto_ = false;
  rtsAuto_ = false;
  if (options & 1) {
    dcb_.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dtrAuto_ = true;
  } else if (dtrState_) {
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
  }
  if (options & 2) {
    dcb_.fRtsControl = RTS_CONTROL_HANDSHAKE;
    rtsAuto_ = true;
  } else if (rtsState_) {
    dcb_.fRtsControl = RTS_CONTROL_ENABLE;
  }
  dcb_.XoffLim = static_cast<uint16_t>(inSize_.load() - full);
  dcb_.XonLim = static_cast<uint16_t>(resume);
  if (options & 4) dcb_.fOutxDsrFlow = true;
  if (options & 8) dcb_.fOutxCtsFlow = true;
  return CommitDeviceState(dcb_);
}

int32_t TBaseDispatcher::SetSoftwareFlow(int32_t full, int32_t resume, uint32_t options) {
  if (full < resume || inSize_.load() < full) return -1002;
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  if (options & 2) {
    dcb_.fInX = true;
    dcb_.XoffLim = static_cast<uint16_t>(inSize_.load() - full);
    dcb_.XonLim = static_cast<uint16_t>(resume);
  }
  if (options & 1) dcb_.fOutX = true;
  if (options & 3) {
    dcb_.XonChar = 17;
    dcb_.XoffChar = 19;
  }
  return CommitDeviceState(dcb_);
}

int32_t TBaseDispatcher::SoftwareFlowOff() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  dcb_.fInX = false;
  dcb_.fOutX = false;
  return CommitDeviceState(dcb_);
}

int32_t TBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  dcb_.XonChar = xon;
  dcb_.XoffChar = xoff;
  return CommitDeviceState(dcb_);
}

TBaseDispatcher::TFlowSettings TBaseDispatcher::QueryFlow() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  GetDeviceState(dcb_);
  TFlowSettings f{0, 0, dcb_.XonChar, dcb_.XoffChar};
  if (dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE) f.HardwareOptions |= 1;
  if (dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE) f.HardwareOptions |= 2;
  if (dcb_.fOutxDsrFlow) f.HardwareOptions |= 4;
  if (dcb_.fOutxCtsFlow) f.HardwareOptions |= 8;
  if (dcb_.fInX) f.SoftwareOptions |= 2;
  if (dcb_.fOutX) f.SoftwareOptions |= 1;
  return f;
}

int32_t TBaseDispatcher::ResizeQueues(int32_t inSize, int32_t outSize) {
  if (!SizeDeviceQueues(inSize, outSize)) {
    int32_t e = lastOsError_.load();
    return e != 0 ? -e : -1;
  }
  inSize_.store(inSize);
  return 0;
}

// ---- input ring ----------------------------------------------------------------------------

int32_t TBaseDispatcher::InputHeld() const {
  if (inHead_ > inTail_) return inHead_ - inTail_;
  if (inHead_ < inTail_) return inHead_ + kRing - inTail_;
  return inFull_ ? kRing : 0;
}

int32_t TBaseDispatcher::InputUsed() {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_) return 0;
  int32_t held = InputHeld();
  return peekMode_ ? held - peekCount_ : held;
}

int32_t TBaseDispatcher::InputFree() {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_) return 0;
  int32_t free = kRing - InputHeld();
  return peekMode_ ? free + peekCount_ : free;
}

bool TBaseDispatcher::ByteWaiting() {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_) return false;
  if (!peekMode_) return inHead_ != inTail_ || inFull_;
  return (inTail_ + peekCount_) % kRing != inHead_ || (inFull_ && peekCount_ < kRing);
}

int32_t TBaseDispatcher::ByteAt(int32_t n, uint8_t& byte) {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_ || n < 1 || InputHeld() < n) return -3007;
  byte = inBuf_[static_cast<size_t>((inTail_ + n - 1) % kRing)];
  return 0;
}

int32_t TBaseDispatcher::ReceiveByte(uint8_t& byte) {
  int32_t r;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    if (peekMode_) {
      ++peekCount_;
      r = ByteAt(peekCount_, byte);
      if (r != 0) --peekCount_;
    } else {
      r = ByteAt(1, byte);
      if (r == 0) {
        inTail_ = (inTail_ + 1) % kRing;
        inFull_ = false;
      }
    }
  }
  if (r == 0 && traceOn_.load(std::memory_order_relaxed)) RecordTraceByte(kTraceReceived, byte);
  return r;
}

int32_t TBaseDispatcher::ReadAhead(void* buffer, int32_t offset, int32_t count, int32_t* endPos) {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_ || count < 0 || offset < 0) return -3007;
  if (offset + count > InputHeld()) return -3007;
  int32_t start = (inTail_ + offset) % kRing;
  int32_t first = std::min(count, kRing - start);
  auto* out = static_cast<uint8_t*>(buffer);
  if (first > 0) std::memcpy(out, inBuf_.get() + start, static_cast<size_t>(first));
  if (count > first) std::memcpy(out + first, inBuf_.get(), static_cast<size_t>(count - first));
  if (endPos != nullptr) *endPos = (start + count) % kRing;
  return count;
}

int32_t TBaseDispatcher::ReceiveBlock(void* buffer, int32_t count) {
  int32_t r;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    if (peekMode_) {
      r = ReadAhead(buffer, peekCount_, count);
      if (r >= 0) peekCount_ += count;
    } else {
      int32_t end = 0;
      r = ReadAhead(buffer, 0, count, &end);
      if (r >= 0) {
        inTail_ = end;
        if (count > 0) inFull_ = false;
      }
    }
  }
  if (r > 0 && traceOn_.load(std::memory_order_relaxed)) {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (int32_t i = 0; i < r; ++i) RecordTraceByte(kTraceReceived, bytes[i]);
  }
  return r;
}

int32_t TBaseDispatcher::ClearInput() {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  int32_t r = PurgeDevice(1);
  if (!inBuf_) return r;
  if (peekMode_) {
    maxPeekCount_ = InputHeld();
  } else {
    inTail_ = inHead_;
    peekCount_ = 0;
  }
  inFull_ = false;
  {
    std::lock_guard<std::recursive_mutex> s(stateLock_);
    for (auto& t : dataTriggers_) {
      std::fill(t.MatchState.begin(), t.MatchState.end(), 0);
      t.Matched = false;
    }
  }
  return r;
}

bool TBaseDispatcher::PullInput() {
  const uint8_t* logFrom[2] = {nullptr, nullptr};
  int32_t logCount[2] = {0, 0};
  bool full;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    if (!inBuf_) return false;
    full = inFull_;
    if (!full) {
      int32_t waiting = InputPending();
      comStatus_.InQue = static_cast<uint32_t>(waiting);
      if (waiting == 0) return false;
      int32_t free, contiguous;
      if (inHead_ == inTail_) {
        free = kRing;
        contiguous = kRing - inHead_;
      } else if (inHead_ > inTail_) {
        free = inTail_ + kRing - inHead_;
        contiguous = kRing - inHead_;
      } else {
        free = inTail_ - inHead_;
        contiguous = free;
      }
      int32_t take = std::min(waiting, free);
      int32_t second = take > contiguous ? take - contiguous : 0;
      int32_t n = ReadDevice(inBuf_.get() + inHead_, contiguous);
      if (n < 0) {
        n = 0;
        NoteReadFailure(-1);
      }
      logFrom[0] = inBuf_.get() + inHead_;
      logCount[0] = n;
      inHead_ += n;
      if (n < contiguous) second = 0;
      if (inHead_ == kRing) inHead_ = 0;
      if (n > 0) inFull_ = (inHead_ == inTail_);
      pulledTotal_ += static_cast<uint64_t>(n);
      if (second > 0) {
        n = ReadDevice(inBuf_.get() + inHead_, second);
        if (n < 0) {
          n = -n;
          NoteReadFailure(-1);
        }
        logFrom[1] = inBuf_.get() + inHead_;
        logCount[1] = n;
        inHead_ += n;
        if (inHead_ == kRing) inHead_ = 0;
        inFull_ = (inHead_ == inTail_);
        pulledTotal_ += static_cast<uint64_t>(n);
      }
      if (logOn_.load(std::memory_order_relaxed)) {
        // Recorded while the bytes cannot be overwritten (the ring is ours under the lock).
        for (int i = 0; i < 2; ++i) {
          if (logFrom[i] != nullptr && (i == 0 || logCount[i] > 0)) {
            RecordLogEntry(logk::Dispatch, logk::ReadCom, static_cast<uint32_t>(logCount[i]),
                           logFrom[i], logCount[i]);
          }
        }
      }
      return true;
    }
  }
  if (logOn_.load(std::memory_order_relaxed)) {
    RecordLogText(logk::Dispatch, 8, 0, "Dispatch buffer full.");
  }
  return true;
}

// ---- output --------------------------------------------------------------------------------

int32_t TBaseDispatcher::SendByte(uint8_t b) { return SendBlock(&b, 1); }

int32_t TBaseDispatcher::SendBlock(const void* data, int32_t length) {
  if (length <= 0) return 0;
  int32_t result = 0;
  int32_t n;
  {
    std::lock_guard<std::recursive_mutex> g(outputLock_);
    // After a device failure the rings are gone: nothing can be sent any more.
    if (!outBuf_) return -3004;
    int32_t free = outSize_ - OutputPending();
    if (free < length) return -3006;
    if (free == length) outFull_ = true;
    n = WriteDevice(static_cast<const uint8_t*>(data), length);
    if (n <= 0) {
      n = -n;
      result = -3004;
      TDeviceStatus status;
      lastError_.store(ReadDeviceErrors(status));
    }
    outSentPending_.store(true);
  }
  if (logOn_.load(std::memory_order_relaxed)) {
    RecordLogEntry(logk::Dispatch, logk::WriteCom, static_cast<uint32_t>(n), data, n);
  }
  if (traceOn_.load(std::memory_order_relaxed) && n > 0) {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (int32_t i = 0; i < n; ++i) RecordTraceByte(kTraceSent, bytes[i]);
  }
  return result;
}

int32_t TBaseDispatcher::OutputUsed() {
  std::lock_guard<std::recursive_mutex> g(outputLock_);
  RefreshLineErrors();
  return OutputPending();
}

int32_t TBaseDispatcher::OutputFree() { return outSize_ - OutputUsed(); }

int32_t TBaseDispatcher::ClearOutput() { return PurgeDevice(0); }

int32_t TBaseDispatcher::InputPending() { return 0; }

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

// ---- triggers ------------------------------------------------------------------------------

int32_t TBaseDispatcher::AllocTriggerHandle() {
  if (handleCounter_ < 4096) return handleCounter_++ * 8;
  for (int32_t h = 8; h <= 4096; h += 8) {
    bool used = false;
    for (const auto& t : timerTriggers_) used = used || t.Handle == h;
    for (const auto& t : statusTriggers_) used = used || (t.Handle & ~7) == h;
    for (const auto& t : dataTriggers_) used = used || t.Handle == h;
    if (!used) return h;
  }
  return 0;
}

int32_t TBaseDispatcher::NewTimerTrigger() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  int32_t h = AllocTriggerHandle();
  if (h < 8) return -5001;
  TTimerTrigger t;
  t.Handle = h;
  timerTriggers_.push_back(t);
  RecordLogEntry(logk::TrigAllc, logk::Timer, static_cast<uint32_t>(h), nullptr, 0);
  return h;
}

int32_t TBaseDispatcher::NewStatusTrigger(int32_t kind) {
  if (kind > 5 || kind < 0) return -1002;
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  int32_t h = AllocTriggerHandle() | kind;
  if (h < 8) return -5001;
  TStatusTrigger t;
  t.Handle = h;
  t.Kind = kind;
  statusTriggers_.push_back(t);
  uint8_t k = static_cast<uint8_t>(kind);
  RecordLogEntry(logk::TrigAllc, logk::Status, static_cast<uint32_t>(h), &k, 1);
  return h;
}

int32_t TBaseDispatcher::DropTrigger(int32_t handle) {
  if (handle == kAvailTriggerHandle) {
    availLength_.store(0);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (handle == 0) return -5003;
  for (auto it = timerTriggers_.begin(); it != timerTriggers_.end(); ++it) {
    if (it->Handle == handle) {
      timerTriggers_.erase(it);
      RecordLogEntry(logk::TrigDisp, logk::TimerSub, static_cast<uint32_t>(handle), nullptr, 0);
      return 0;
    }
  }
  for (auto it = statusTriggers_.begin(); it != statusTriggers_.end(); ++it) {
    if (it->Handle == handle) {
      uint8_t k = static_cast<uint8_t>(it->Kind);
      statusTriggers_.erase(it);
      RecordLogEntry(logk::TrigDisp, logk::Status, static_cast<uint32_t>(handle), &k, 1);
      return 0;
    }
  }
  for (auto it = dataTriggers_.begin(); it != dataTriggers_.end(); ++it) {
    if ((it->Handle & ~7) == handle) {
      dataTriggers_.erase(it);
      RecordLogEntry(logk::TrigDisp, logk::DataSub, static_cast<uint32_t>(handle), nullptr, 0);
      return 0;
    }
  }
  return -5003;
}

int32_t TBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  for (auto& t : timerTriggers_) {
    if (t.Handle != handle) continue;
    if (activate) {
      if (ticks != 0) t.Interval = ticks;
      StartTimer(t.Timer, t.Interval);
    }
    t.Active = activate;
    if (logOn_.load(std::memory_order_relaxed)) {
      if (activate) {
        int32_t v = ticks;
        RecordLogEntry(logk::TrDatChg, logk::Timer, static_cast<uint32_t>(handle), &v, 4);
      } else {
        RecordLogText(logk::TrDatChg, logk::Timer, static_cast<uint32_t>(handle), "Deactivated");
      }
    }
    return 0;
  }
  return -5003;
}

int32_t TBaseDispatcher::TimerTicksLeft(int32_t handle, int32_t& ticks) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  ticks = 0;
  for (auto& t : timerTriggers_) {
    if (t.Handle == handle) {
      ticks = TicksRemaining(t.Timer);
      return 0;
    }
  }
  return -5003;
}

int32_t TBaseDispatcher::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  for (auto& t : statusTriggers_) {
    if (t.Handle != handle) continue;
    bool wasArmed = t.Armed;
    bool wasHit = t.Hit;
    if (activate) {
      switch (t.Kind) {
        case StatusModem:
          t.Value = static_cast<uint16_t>(((value & 0xFF) << 8) | (value & modemStatus_ & 0xFF));
          break;
        case StatusLine: {
          uint16_t v = 0;
          if (value & 1) v |= 0x02;
          if (value & 2) v |= 0x04;
          if (value & 4) v |= 0x08;
          if (value & 8) v |= 0x10;
          t.Value = v;
          break;
        }
        case StatusOutputFree:
        case StatusOutputUsed:
          t.Value = value;
          break;
        default:
          break;
      }
    }
    if (logOn_.load(std::memory_order_relaxed)) {
      uint8_t bytes[4] = {static_cast<uint8_t>(t.Value & 0xFF), static_cast<uint8_t>(t.Value >> 8),
                          static_cast<uint8_t>(wasArmed), static_cast<uint8_t>(wasHit)};
      RecordLogEntry(logk::TrDatChg, logk::Status, static_cast<uint32_t>(handle), bytes, 4);
    }
    t.Armed = activate;
    return 0;
  }
  return -5003;
}

void TBaseDispatcher::SetAvailLength(int32_t n) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  availLength_.store(n);
  RecordLogEntry(logk::TrDatChg, logk::Avail, static_cast<uint32_t>(n), nullptr, 0);
}

void TBaseDispatcher::DropAllTriggers() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  availLength_.store(0);
  timerTriggers_.clear();
  statusTriggers_.clear();
  dataTriggers_.clear();
  handleCounter_ = 1;
}

void TBaseDispatcher::ResetStatusHits() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  for (auto& t : statusTriggers_) t.Hit = false;
  statusHit_ = false;
}

void TBaseDispatcher::SnapshotTriggers(TSavedTriggers& saved) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  saved.AvailLength = availLength_.load();
  saved.Timers = timerTriggers_;
  saved.Data = dataTriggers_;
  saved.Status = statusTriggers_;
  saved.HasLists = true;
}

void TBaseDispatcher::RestoreTriggers(const TSavedTriggers& saved) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  availLength_.store(saved.AvailLength);
  timerTriggers_.clear();
  statusTriggers_.clear();
  dataTriggers_.clear();
  if (!saved.HasLists) return;
  timerTriggers_ = saved.Timers;
  dataTriggers_ = saved.Data;
  statusTriggers_ = saved.Status;
}

std::vector<TTimerTrigger> TBaseDispatcher::TimerTriggers() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  return timerTriggers_;
}

std::vector<TStatusTrigger> TBaseDispatcher::StatusTriggers() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  return statusTriggers_;
}

// ---- handlers ------------------------------------------------------------------------------

void TBaseDispatcher::AddWindowHandler(platform::HWND window) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  windowHandlers_.push_back({window, false});
  deliveryWanted_.store(true);
  RecordLogEntry(logk::TrgHdAlc, logk::Window, window, nullptr, 0);
}

void TBaseDispatcher::AddProcedureHandler(TTriggerProc procedure) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  procHandlers_.push_back({procedure, false});
  deliveryWanted_.store(true);
  RecordLogEntry(logk::TrgHdAlc, logk::Procedure, 0, nullptr, 0);
}

void TBaseDispatcher::AddEventHandler(const void* code, TTriggerMethod method) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  eventHandlers_.push_back({code, std::make_shared<TTriggerMethod>(std::move(method)), false});
  deliveryWanted_.store(true);
  RecordLogEntry(logk::TrgHdAlc, logk::Method, 0, nullptr, 0);
}

template <typename List, typename Match>
static bool RemoveHandler(List& list, Match match, bool deferred, std::atomic<bool>& dirty) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (!it->Deleted && match(*it)) {
      if (deferred) {
        it->Deleted = true;
        dirty.store(true);
      } else {
        list.erase(it);
      }
      return true;
    }
  }
  return false;
}

void TBaseDispatcher::RemoveWindowHandler(platform::HWND window) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (RemoveHandler(
          windowHandlers_, [&](const TWindowEntry& e) { return e.Window == window; },
          dispatchActive_.load(), handlersDirty_)) {
    RecordLogEntry(logk::TrgHdDsp, logk::Window, window, nullptr, 0);
  }
  RecheckHandlerService(0);
}

void TBaseDispatcher::RemoveProcedureHandler(TTriggerProc procedure) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (RemoveHandler(
          procHandlers_, [&](const TProcEntry& e) { return e.Proc == procedure; },
          dispatchActive_.load(), handlersDirty_)) {
    RecordLogEntry(logk::TrgHdDsp, logk::Procedure, 0, nullptr, 0);
  }
  RecheckHandlerService(0);
}

void TBaseDispatcher::RemoveEventHandler(const void* code) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (RemoveHandler(
          eventHandlers_, [&](const TEventEntry& e) { return e.Code == code; },
          dispatchActive_.load(), handlersDirty_)) {
    RecordLogEntry(logk::TrgHdDsp, logk::Method, 0, nullptr, 0);
  }
  RecheckHandlerService(0);
}

void TBaseDispatcher::RecheckHandlerService(int32_t change) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  auto live = [](const auto& list) {
    return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.Deleted; });
  };
  bool any = live(windowHandlers_) > 1 || live(procHandlers_) > 0 || live(eventHandlers_) > 0;
  switch (change) {
    case 0:
      deliveryWanted_.store(any || portWindowServed_.load());
      break;
    case 1:
      portWindowServed_.store(true);
      deliveryWanted_.store(true);
      break;
    case 2:
      portWindowServed_.store(false);
      deliveryWanted_.store(any);
      break;
    default:
      break;
  }
}

// ---- delivery ------------------------------------------------------------------------------

bool TBaseDispatcher::DeliverTrigger(uint32_t msg, uint32_t wParam, uint32_t data) {
  // 1.
  if (!deliveryWanted_.load()) return true;
  // Deliveries of one dispatcher never interleave (a failing worker thread may scan too).
  std::unique_lock<TReentrantLock> delivery(deliveryLock_);
  // 2.
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    dispatchActive_.store(true);
  }
  // 3.
  bool peek = msg == TriggerAvailMessage || msg == TriggerDataMessage;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    maxPeekCount_ = 0;
    peekMode_ = peek;
  }
  const int32_t lParam = static_cast<int32_t>((static_cast<uint32_t>(handle_) << 16) + data);

  // Restores the delivery state whatever way the handlers leave.
  bool closing = false;
  struct TEndDelivery {
    TBaseDispatcher* d;
    bool* closing;
    ~TEndDelivery() {
      {
        std::lock_guard<std::recursive_mutex> g(d->stateLock_);
        d->dispatchActive_.store(false);
        if (d->handlersDirty_.load()) {
          auto purge = [](auto& list) {
            for (size_t i = list.size(); i-- > 0;) {
              if (list[i].Deleted) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            }
          };
          purge(d->eventHandlers_);
          purge(d->procHandlers_);
          purge(d->windowHandlers_);
          d->handlersDirty_.store(false);
          d->RecheckHandlerService(0);
        }
      }
      std::lock_guard<std::recursive_mutex> g(d->inputLock_);
      if (std::uncaught_exceptions() > 0) d->peekMode_ = false;
      if (!*closing) d->peekCount_ = 0;
    }
  } endDelivery{this, &closing};

  auto beforeCall = [this] {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    peekCount_ = 0;
  };
  auto afterCall = [this, &closing] {
    if (closePending_.load()) {
      closing = true;
      return false;
    }
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    maxPeekCount_ = std::max(maxPeekCount_, peekCount_);
    return true;
  };

  // 4. Event handlers: the entries present when the walk starts.
  size_t count;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    count = eventHandlers_.size();
  }
  for (size_t i = 0; i < count; ++i) {
    std::shared_ptr<TTriggerMethod> method;
    {
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      if (i < eventHandlers_.size() && !eventHandlers_[i].Deleted)
        method = eventHandlers_[i].Method;
    }
    beforeCall();
    if (method && *method) (*method)(msg, wParam, lParam);
    if (!afterCall()) return false;
  }
  // 5. Procedure handlers.
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    count = procHandlers_.size();
  }
  for (size_t i = 0; i < count; ++i) {
    TTriggerProc proc = nullptr;
    {
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      if (i < procHandlers_.size() && !procHandlers_[i].Deleted) proc = procHandlers_[i].Proc;
    }
    beforeCall();
    if (proc != nullptr) proc(msg, wParam, lParam);
    if (!afterCall()) return false;
  }
  // 6. Window handlers.
  bool serveWindows;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    count = windowHandlers_.size();
    serveWindows = count > 1 || portWindowServed_.load();
  }
  if (serveWindows) {
    for (size_t i = 0; i < count; ++i) {
      platform::HWND window = 0;
      {
        std::lock_guard<std::recursive_mutex> g(stateLock_);
        if (i < windowHandlers_.size() && !windowHandlers_[i].Deleted)
          window = windowHandlers_[i].Window;
      }
      beforeCall();
      if (window != 0) {
        intptr_t ignored = 0;
        // The window's handler runs on the main thread while this thread waits for it.
        TCounterGuard waiting(mainThreadCalls_);
        platform::SendMessageTimeout(window, msg, wParam, lParam, 3000, &ignored);
      }
      if (!afterCall()) return false;
    }
  }
  // 7.
  bool result = true;
  if (peek) {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    peekMode_ = false;
    if (inBuf_) {
      inTail_ = (inTail_ + maxPeekCount_) % kRing;
      if (maxPeekCount_ > 0) inFull_ = false;
    }
    if (msg == TriggerAvailMessage) result = static_cast<uint32_t>(maxPeekCount_) == wParam;
  }
  // 8. (the guard)
  return result;
}

bool TBaseDispatcher::ScanStatusTriggers() {
  // Output figures are taken before StateLock: OutputLock and StateLock are never nested.
  int32_t used = OutputUsed();
  int32_t free = outSize_ - used;
  int32_t handle = 0;
  uint32_t data = 0;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    for (auto& t : statusTriggers_) {
      if (!t.Armed || t.Hit) continue;
      bool fire = false;
      switch (t.Kind) {
        case StatusModem:
          fire = (((t.Value & 0xFF) ^ modemStatus_) & (t.Value >> 8) & 0xFF) != 0;
          break;
        case StatusLine: {
          int32_t e = lastError_.load();
          if ((t.Value & static_cast<uint32_t>(e)) != 0) {
            fire = true;
            t.Value = static_cast<uint16_t>(e & 0xFFFF);
          }
          break;
        }
        case StatusOutputFree:
          if (free >= t.Value) {
            fire = true;
            data = static_cast<uint32_t>(free);
          }
          break;
        case StatusOutputUsed:
          if (used <= t.Value) {
            fire = true;
            data = static_cast<uint32_t>(used);
          }
          break;
        case StatusOutputSent:
          fire = outSentPending_.exchange(false);
          break;
        default:
          break;
      }
      if (fire) {
        t.Armed = false;
        t.Hit = true;
        statusHit_ = true;
        handle = t.Handle;
        break;
      }
    }
  }
  if (handle == 0) return false;
  RecordLogEntry(logk::Trigger, logk::StatusSub, static_cast<uint32_t>(handle), nullptr, 0);
  return DeliverTrigger(TriggerStatusMessage, static_cast<uint32_t>(handle), data);
}

bool TBaseDispatcher::ScanTimerTriggers() {
  int32_t handle = 0;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    for (auto& t : timerTriggers_) {
      if (t.Active && TimerDue(t.Timer)) {
        t.Active = false;
        handle = t.Handle;
        break;
      }
    }
  }
  if (handle == 0) return false;
  RecordLogEntry(logk::Trigger, logk::TimerSub, static_cast<uint32_t>(handle), nullptr, 0);
  return DeliverTrigger(TriggerTimerMessage, static_cast<uint32_t>(handle), 0);
}

bool TBaseDispatcher::ScanReceivedData() {
  uint64_t arrivals;
  int32_t held;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    if (!inBuf_) return false;
    // No data triggers exist: the scan position simply follows the head.
    scanPosition_ = inHead_;
    arrivals = pulledTotal_;
    held = InputHeld();
    if (peekMode_) held -= peekCount_;
  }
  // New bytes are told by the count of bytes moved into the ring, so that an arrival of a
  // whole ring's worth (head back where it was) is still announced.
  int32_t avail = availLength_.load();
  if (avail == 0 || arrivals == lastAvailArrivals_ || held < avail) return false;
  RecordLogEntry(logk::Trigger, logk::AvailSub, static_cast<uint32_t>(held), nullptr, 0);
  bool r = DeliverTrigger(TriggerAvailMessage, static_cast<uint32_t>(held), 0);
  lastAvailArrivals_ = arrivals;
  {
    std::lock_guard<std::recursive_mutex> g(inputLock_);
    lastAvailNotice_ = scanPosition_;
  }
  return r;
}

// ---- dispatch loop -------------------------------------------------------------------------

void TBaseDispatcher::InputPass() {
  TIOBuffer* first = inputQueue_.PeekFirst();
  uint32_t event = 0;
  if (first != nullptr) {
    if (first->Kind() == TIOBufferKind::Status) {
      event = static_cast<TStatusBuffer*>(first)->EventMask;
      inputQueue_.PopFirst();
    } else {
      inputQueue_.Release(first);
    }
  }
  currentEvent_ = event;
  if (event & (EV_RING | EV_RINGTE)) ringFlag_.store(true);
  auto scanStatus = [this] {
    if (!dispatchActive_.load()) {
      while (ScanStatusTriggers()) {
        if (closePending_.load()) return false;
      }
    }
    bool hit;
    {
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      hit = statusHit_;
    }
    if (hit) ResetStatusHits();
    return true;
  };
  if (event & (EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RINGTE)) {
    UpdateModemDeltas();
    if (!scanStatus()) return;
  }
  if (event & (EV_BREAK | EV_ERR)) {
    RefreshLineErrors();
    if (!scanStatus()) return;
  }
  PullInput();
  if (!dispatchActive_.load()) {
    {
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      RefreshModemStatus(0xF0);
    }
    while (ScanStatusTriggers()) {
      if (closePending_.load()) return;
    }
    while (ScanReceivedData()) {
      if (closePending_.load()) return;
    }
  }
  bool hit;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    hit = statusHit_;
  }
  if (hit) ResetStatusHits();
}

void TBaseDispatcher::TimerPass() {
  if (closePending_.load() || dispatchActive_.load()) return;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    statusHit_ = false;
  }
  while ((ScanStatusTriggers() || ScanTimerTriggers()) && !closePending_.load()) {
  }
  bool hit;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    hit = statusHit_;
  }
  if (hit) ResetStatusHits();
}

void TDispThread::Execute() {
  TBaseDispatcher& d = dispatcher_;
  d.NoteThreadStart(this);
  try {
    uint64_t lastArrivals = 0;
    bool stalled = false;
    for (;;) {
      // Wait for queued input, at most 50 ms. Input that cannot move (the ring is full and
      // nobody reads) does not count as new: the loop then waits instead of spinning.
      if (stalled || d.inputQueue_.Empty()) d.inputQueue_.Event().Wait(50);
      if (d.stopRequested_.load()) break;
      uint32_t queuedBefore = d.inputQueue_.Count();
      d.InputPass();
      d.TimerPass();
      if (d.stopRequested_.load() || d.closePending_.load()) break;
      uint64_t arrivals;
      {
        std::lock_guard<std::recursive_mutex> g(d.inputLock_);
        arrivals = d.pulledTotal_;
      }
      uint32_t queuedAfter = d.inputQueue_.Count();
      stalled = queuedAfter > 0 && arrivals == lastArrivals && queuedAfter >= queuedBefore;
      lastArrivals = arrivals;
    }
    d.startEvent_.Set();
  } catch (...) {
    ShowCurrentException();
  }
  d.releaseOnDispatchExit_.store(d.closePending_.load() || d.stopRequested_.load());
  d.NoteThreadEnd(this);
}

// ---- threads -------------------------------------------------------------------------------

void TBaseDispatcher::NoteThreadStart(TDispatcherThread*) {
  liveThreadCount_.fetch_add(1);
  startEvent_.Set();
}

void TBaseDispatcher::NoteThreadEnd(TDispatcherThread* thread) {
  int32_t code = thread->ReturnValue();
  if (code == -161 || code == -160) {
    lastError_.store(-1);
    // Let line-status triggers fire. A delivery on the dispatch thread may be running; wait
    // for it, but give up when a close is under way (the port is going away, and the close
    // may itself be waiting for this thread).
    std::unique_lock<TReentrantLock> delivery(deliveryLock_, std::defer_lock);
    while (!delivery.try_lock_for(std::chrono::milliseconds(50))) {
      if (closeRunning_.load() || closePending_.load()) break;
    }
    if (delivery.owns_lock()) {
      while (ScanStatusTriggers()) {
        if (closePending_.load()) break;
      }
    }
  } else if (code != 0) {
    try {
      CheckCode(owner_, code);
    } catch (...) {
      ShowCurrentException();
    }
  }
  if (thread == dispatchThread_.get() && releaseOnDispatchExit_.load()) {
    ReleaseBuffers();
    releaseOnDispatchExit_.store(false);
  }
  if (liveThreadCount_.fetch_sub(1) == 1) {
    std::lock_guard<std::mutex> g(threadsEndedLock_);
    threadsRunning_.store(false);
    threadsEnded_.notify_all();
  }
  thread->MarkEnded();
}

void TBaseDispatcher::SetThreadBoost(uint8_t boost) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (boost == threadBoost_) return;
  threadBoost_ = boost;
  for (auto* t :
       {readThread_.get(), dispatchThread_.get(), statusThread_.get(), writeThread_.get()}) {
    if (t == nullptr || !t->Running()) continue;
    int extra = (t == writeThread_.get() && rs485Mode_) ? 1 : 0;
    // A higher priority is a lower nice value; raising it needs privileges, so a refusal is
    // left as it is.
    setpriority(PRIO_PROCESS, static_cast<id_t>(t->NativeId()), -(boost + extra));
  }
}

bool TBaseDispatcher::BeginClose() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (closeRunning_.load()) return false;
  closeRunning_.store(true);
  return true;
}

void TBaseDispatcher::EndClose() { closeRunning_.store(false); }

bool TBaseDispatcher::PumpUntilEnded(TDispatcherThread* thread, uint32_t maxMs) {
  if (thread == nullptr) return true;
  auto start = std::chrono::steady_clock::now();
  auto remaining = [&]() -> uint32_t {
    if (maxMs == platform::kInfinite) return 50;
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    return spent >= maxMs ? 0 : static_cast<uint32_t>(std::min<int64_t>(maxMs - spent, 50));
  };
  bool quitSeen = false;
  const bool main = platform::IsMainThread();
  for (;;) {
    if (thread->Ended()) return true;
    if (main && !quitSeen) {
      platform::TPumpResult r;
      while ((r = platform::PumpOneMessage()) == platform::TPumpResult::Dispatched) {
        if (thread->Ended()) return true;
      }
      if (r == platform::TPumpResult::Quit) quitSeen = true;
    }
    if (thread->Ended()) return true;
    uint32_t wait = remaining();
    if (wait == 0) return false;
    if (main && !quitSeen) {
      platform::WaitForMessage(wait);
    } else {
      thread->WaitEnded(wait);
    }
  }
}

void TBaseDispatcher::StopWorkerThreads(const std::function<void()>& wakeStatus,
                                        const std::function<void()>& wakeWrite,
                                        const std::function<void()>& wakeRead) {
  if (!threadsRunning_.load()) return;
  stopRequested_.store(true);
  auto stop = [this](std::unique_ptr<TDispatcherThread>& t, const std::function<void()>& wake) {
    if (!t || t->IsCurrentThread() || t->Ended()) return;
    wake();
    PumpUntilEnded(t.get(), platform::kInfinite);
    t->Join();
  };
  stop(statusThread_, wakeStatus);
  stop(writeThread_, wakeWrite);
  stop(readThread_, [&] {
    wakeRead();
    startEvent_.Reset();
  });
  TDispatcherThread* disp = dispatchThread_.get();
  if (disp != nullptr && !disp->IsCurrentThread() && !disp->Ended()) {
    inputQueue_.Event().Set();  // end its wait for input at once
    // A dispatch thread that waits for this main thread (a handler's main-thread call or a
    // window handler, usually the very one running further up this stack) may not end
    // before the close returns: leave it to end by itself once served; it then releases the
    // buffers and the port finishes the close later (deferred close), which is right
    // whichever way the wait was.
    const bool waitingForUs = platform::IsMainThread() && mainThreadCalls_.load() > 0;
    if (!waitingForUs) {
      if (!PumpUntilEnded(disp, 36 * kMsPerTick)) PumpUntilEnded(disp, 36 * kMsPerTick);
    }
    if (disp->Ended()) disp->Join();
  }
}

// ---- trace recorder ------------------------------------------------------------------------

void TBaseDispatcher::RecordTraceByte(uint8_t kind, uint8_t byte) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (!traceBuf_ || traceSize_ == 0) return;
  traceBuf_[2 * static_cast<size_t>(tracePosition_)] = kind;
  traceBuf_[2 * static_cast<size_t>(tracePosition_) + 1] = byte;
  if (++tracePosition_ >= traceSize_) {
    tracePosition_ = 0;
    traceWrapped_ = true;
  }
}

int32_t TBaseDispatcher::BeginTrace(uint32_t entries) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (traceBuf_) {
    ClearTrace();
  } else {
    if (entries > kMaxTraceSize) return -1002;
    traceSize_ = entries;
    tracePosition_ = 0;
    traceWrapped_ = false;
    traceBuf_.reset(new (std::nothrow) uint8_t[2 * static_cast<size_t>(entries) + 2]());
    if (!traceBuf_) return -8;
  }
  traceOn_.store(true);
  return 0;
}

int32_t TBaseDispatcher::ClearTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  tracePosition_ = 0;
  traceWrapped_ = false;
  return 0;
}

void TBaseDispatcher::DiscardTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  traceOn_.store(false);
  traceBuf_.reset();
  traceSize_ = 0;
  tracePosition_ = 0;
  traceWrapped_ = false;
}

void TBaseDispatcher::ResumeTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (traceBuf_) traceOn_.store(true);
}

void TBaseDispatcher::PauseTrace() {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  traceOn_.store(false);
}

// ---- dispatch log recorder -----------------------------------------------------------------

uint32_t TBaseDispatcher::LogClock() const { return platform::timeGetTime() - logBaseTime_.load(); }

void TBaseDispatcher::RecordLogEntry(uint8_t kind, uint16_t subKind, uint32_t data,
                                     const void* bytes, int32_t length) {
  if (!logOn_.load(std::memory_order_relaxed)) return;
  uint32_t limit = logLimit_.load();
  while (limit != 0 && logQueue_.ByteCount() > limit) {
    if (!logQueue_.PopFirst()) break;
  }
  try {
    logQueue_.Push(std::make_unique<TLogBuffer>(kind, subKind, LogClock(), data, bytes, length));
  } catch (const std::bad_alloc&) {
    // A log record that cannot be made is dropped: the log is a diagnostic.
  }
}

void TBaseDispatcher::RecordLogText(uint8_t kind, uint16_t subKind, uint32_t data,
                                    const std::string& text) {
  RecordLogEntry(kind, subKind, data, text.data(), static_cast<int32_t>(text.size()));
}

void TBaseDispatcher::BeginDispatchLog(uint32_t limit) {
  logQueue_.Clear();
  logLimit_.store(limit);
  logOn_.store(true);
}

void TBaseDispatcher::ClearDispatchLog() { logQueue_.Clear(); }

void TBaseDispatcher::DiscardDispatchLog() {
  logOn_.store(false);
  logQueue_.Clear();
}

void TBaseDispatcher::ResumeDispatchLog() { logOn_.store(true); }

void TBaseDispatcher::PauseDispatchLog() { logOn_.store(false); }

}  // namespace comm
