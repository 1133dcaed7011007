// Line control (baud, framing, flow control, modem lines, errors) and the input and output
// rings between the application and the worker threads.

#include <algorithm>
#include <cstring>

#include "comm/Dispatcher.h"

namespace comm {

namespace {

constexpr int32_t kRing = kInputRingSize;

}  // namespace

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
  return peekMode_ ? std::max(held - peekCount_, 0) : held;
}

int32_t TBaseDispatcher::InputFree() {
  std::lock_guard<std::recursive_mutex> g(inputLock_);
  if (!inBuf_) return 0;
  int32_t free = kRing - InputHeld();
  return peekMode_ ? std::min(free + peekCount_, kRing) : free;
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
    // Inside a delivery the ring moves when the delivery ends. Until then the bytes held now
    // are gone for every reader: for the handler that cleared them and for every handler the
    // delivery calls after it (one registered just now among them, such as a transfer
    // started from a packet's event, which would otherwise take the bytes its start
    // discarded for its receiver's replies).
    peekFloor_ = InputHeld();
    maxPeekCount_ = std::max(maxPeekCount_, peekFloor_);
    peekCount_ = std::max(peekCount_, peekFloor_);
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

}  // namespace comm
