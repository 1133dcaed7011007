#include "packet/DataPacket.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "packet/DataPacketManager.h"

namespace comm {

namespace {

uint8_t UpperAscii(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c; }

// Lets go of the packet lock for the life of the guard and takes it back to the same depth,
// also when the delivery ends with an exception.
class TLockRelease {
 public:
  TLockRelease() : depth_(PacketLock().Suspend()) {}
  ~TLockRelease() { PacketLock().Resume(depth_); }
  TLockRelease(const TLockRelease&) = delete;
  TLockRelease& operator=(const TLockRelease&) = delete;

 private:
  int depth_;
};

}  // namespace

TMatchString ParseMatchString(std::string_view text, bool ignoreCase) {
  std::string s(text);
  if (ignoreCase)
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return static_cast<char>(UpperAscii(static_cast<uint8_t>(c))); });
  TMatchString m;
  m.Match.reserve(s.size());
  m.Mask.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      m.Match += s[++i];
      m.Mask += '0';
    } else if (s[i] == '?') {
      m.Match += '?';
      m.Mask += '1';
    } else {
      m.Match += s[i];
      m.Mask += '0';
    }
  }
  return m;
}

// ---- construction -------------------------------------------------------------------------

TDataPacket::TDataPacket(TBaseComponent* owner) : TBaseComponent(owner) {
  if (owner) SetComPort(FindOwnerPort(owner));
}

TDataPacket::~TDataPacket() {
  std::lock_guard lock(PacketLock());
  alive_->store(false);
  try {
    Disarm();
  } catch (...) {
    // The lock is released whatever the timer said; nothing more to undo here.
  }
  SetComPort(nullptr);
  // Unbound while an event was being delivered: the manager still lists the packet for the
  // end of that event.
  if (TDataPacketManager* m = manager_.load()) m->ForgetPacket(this);
  manager_.store(nullptr);
}

// ---- properties ---------------------------------------------------------------------------

void TDataPacket::SetEnabled(bool value) {
  std::lock_guard lock(PacketLock());
  SetEnabledLocked(value);
}

void TDataPacket::SetEnabledLocked(bool value) {
  if (value == enabled_.load()) return;
  if (value) {
    Arm();
  } else {
    Disarm();
  }
  enabled_.store(value);
}

TPacketEndSet TDataPacket::EndCond() const {
  std::lock_guard lock(PacketLock());
  return endCond_;
}

void TDataPacket::SetEndCond(TPacketEndSet value) {
  std::lock_guard lock(PacketLock());
  const bool was = enabled_.load();
  SetEnabledLocked(false);
  endCond_ = value;
  SetEnabledLocked(was);
}

std::string TDataPacket::StartString() const {
  std::lock_guard lock(PacketLock());
  return startString_;
}

void TDataPacket::SetStartString(const std::string& value) {
  std::lock_guard lock(PacketLock());
  startString_ = value;
}

std::string TDataPacket::EndString() const {
  std::lock_guard lock(PacketLock());
  return endString_;
}

void TDataPacket::SetEndString(const std::string& value) {
  std::lock_guard lock(PacketLock());
  const bool was = enabled_.load();
  SetEnabledLocked(false);
  endString_ = value;
  SetEnabledLocked(was);
}

void TDataPacket::SetComPort(TCustomComPort* value) {
  std::lock_guard lock(PacketLock());
  if (value == port_) return;
  if (port_) {
    // A packet that collects holds its manager's lock and timer: it leaves them behind idle.
    Disarm();
    if (TDataPacketManager* m = manager_.load()) m->RemovePacket(this);
    port_->RemoveFreeNotification(this);
  }
  port_ = value;
  if (!port_) return;
  port_->FreeNotification(this);
  TDataPacketManager* m = PacketManagers().GetPortManager(port_);
  if (!m) m = PacketManagers().CreateManager(port_);
  m->AddPacket(this);
}

void TDataPacket::Notification(TBaseComponent* component, TOperation operation) {
  TBaseComponent::Notification(component, operation);
  std::lock_guard lock(PacketLock());
  if (operation == opRemove) {
    if (component != port_ || !port_) return;
    // The port is being destroyed and must not be called any more.
    TDataPacketManager* m = manager_.load();
    if (m && m->Port() == port_) m->PortDestroyed();
    if (m) m->RemovePacket(this);
    port_ = nullptr;
  } else if (operation == opInsert && !port_) {
    if (auto* p = dynamic_cast<TCustomComPort*>(component)) SetComPort(p);
  }
}

void TDataPacket::Loaded() {
  TBaseComponent::Loaded();
  std::lock_guard lock(PacketLock());
  if (TDataPacketManager* m = manager_.load()) m->ApplyPendingEnable();
  if (enablePending_.load()) {
    enablePending_.store(false);
    Arm();
  }
}

// ---- arming -------------------------------------------------------------------------------

int32_t TDataPacket::ArmingError() const {
  if (startCond_.load() == scString) {
    if (startString_.empty()) return kStartStringEmpty;
    if (endCond_.Contains(ecPacketSize) &&
        static_cast<int64_t>(startString_.size()) > packetSize_.load())
      return kPacketSizeBelowStartString;
  } else if (endCond_.Empty()) {
    return kAnyDataWithoutEnd;
  }
  if (endCond_.Contains(ecString) && endString_.empty()) return kEndStringEmpty;
  if (endCond_.Contains(ecPacketSize) && packetSize_.load() == 0) return kPacketSizeZero;
  return 0;
}

void TDataPacket::Arm() {
  if (Loading()) {
    enablePending_.store(true);
    return;
  }
  TDataPacketManager* m = manager_.load();
  if (m && m->Enabled()) {
    if (m->InEvent()) {
      enablePending_.store(true);  // armed when the event has ended
      return;
    }
    enablePending_.store(false);
    // The whole configuration is checked before any state changes, so that a failed arming
    // never leaves the packet collecting (and the port's other packets locked out); the
    // errors are raised at their usual points, after the same log entries.
    const int32_t error = ArmingError();
    armedIgnoreCase_ = ignoreCase_.load();
    Log(packetlog::Enable);
    if (startCond_.load() == scString) {
      LogBytes(packetlog::StartStr, startString_.data(), static_cast<int32_t>(startString_.size()));
      if (error == kStartStringEmpty || error == kPacketSizeBelowStartString)
        throw EInvalidProperty(error);
      if (error == 0) {
        SetPacketState(TPacketState::Waiting);
        matchStart_ = ParseMatchString(startString_, armedIgnoreCase_);
      }
    } else {
      if (error == kAnyDataWithoutEnd) throw EInvalidProperty(error);
      if (error == 0) {
        bool collecting = m->LockedPacket() != nullptr;
        for (int32_t i = 0; i < m->PacketCount() && !collecting; ++i)
          collecting = m->Packet(i)->PacketState() == TPacketState::Collecting;
        if (!collecting) {
          SetPacketState(TPacketState::Collecting);
        } else {
          waitingForLock_.store(true);
        }
      }
    }
    if (endCond_.Contains(ecString)) {
      if (error == kEndStringEmpty) throw EInvalidProperty(error);
      LogBytes(packetlog::EndStr, endString_.data(), static_cast<int32_t>(endString_.size()));
      matchEnd_ = ParseMatchString(endString_, armedIgnoreCase_);
    }
    if (error == kPacketSizeZero) throw EInvalidProperty(error);
  }
  effectivePacketSize_ = packetSize_.load();
  startMatchPos_ = 1;
  startIndex_.store(-1);
  endMatchPos_ = 1;
}

void TDataPacket::Disarm() {
  if (!enablePending_.load() && !waitingForLock_.load() && state_.load() == TPacketState::Idle)
    return;
  enablePending_.store(false);
  waitingForLock_.store(false);
  if (manager_.load()) {
    SetPacketState(TPacketState::Idle);
    Log(packetlog::Disable);
  }
}

void TDataPacket::Restart() {
  if (enabled_.load() && port_) {
    Disarm();
    Arm();
  }
}

void TDataPacket::SetPacketState(TPacketState state) {
  if (state_.load() == state) return;
  // Stored first: the other packets that the lock restarts see this one collecting, and a
  // timer that cannot be armed or stopped leaves the state consistent with the lock.
  state_.store(state);
  TDataPacketManager* m = manager_.load();
  if (state == TPacketState::Collecting) {
    if (m) m->TakeLock(this, timeOut_.load());
  } else if (ownsTimer_.load() && m) {
    m->ReleaseLock(this);
  }
  Log(state == TPacketState::Idle      ? packetlog::Idle
      : state == TPacketState::Waiting ? packetlog::Waiting
                                       : packetlog::Collecting);
}

// ---- matching -----------------------------------------------------------------------------

uint8_t TDataPacket::Fold(uint8_t byte) const { return armedIgnoreCase_ ? UpperAscii(byte) : byte; }

bool TDataPacket::MatchesAt(const TMatchString& m, int32_t matchPos, uint8_t byte) const {
  return m.Mask[matchPos - 1] == '1' || static_cast<uint8_t>(m.Match[matchPos - 1]) == byte;
}

void TDataPacket::ProcessChar(int32_t pos) {
  TDataPacketManager* m = manager_.load();
  if (!enabled_.load() || !m || pos < 0 || pos >= m->BufferCount()) return;
  if (state_.load() == TPacketState::Idle && waitingForLock_.load()) {
    SetPacketState(TPacketState::Collecting);
    waitingForLock_.store(false);
  }
  const uint8_t* buf = m->Buffer();
  const uint8_t byte = Fold(buf[pos]);

  if (state_.load() == TPacketState::Waiting) {
    const int32_t len = static_cast<int32_t>(matchStart_.Match.size());
    if (len == 0) return;
    if (MatchesAt(matchStart_, startMatchPos_, byte)) {
      if (startIndex_.load() == -1) startIndex_.store(pos);
      if (startMatchPos_ == len) {
        const TPacketEndSet end = endCond_;
        if (end.Empty() || (end.Contains(ecPacketSize) && len == effectivePacketSize_)) {
          packetLength_ = pos - startIndex_.load() + 1;
          PacketComplete(false);
        } else {
          SetPacketState(TPacketState::Collecting);
        }
      } else {
        ++startMatchPos_;
      }
    } else if (startIndex_.load() != -1) {
      // The partial match failed: look for a later beginning among the bytes already seen.
      int32_t candidate = startIndex_.load();
      while (++candidate <= pos) {
        int32_t k = 0;
        while (candidate + k <= pos && MatchesAt(matchStart_, k + 1, Fold(buf[candidate + k]))) ++k;
        if (candidate + k > pos) break;
      }
      if (candidate <= pos) {
        startIndex_.store(candidate);
        startMatchPos_ = pos - candidate + 2;
      } else {
        startIndex_.store(-1);
        startMatchPos_ = 1;
      }
    }
    return;
  }

  if (state_.load() != TPacketState::Collecting) return;
  if (startIndex_.load() == -1) startIndex_.store(pos);
  const TPacketEndSet end = endCond_;
  const int32_t count = pos - startIndex_.load() + 1;
  if (end.Contains(ecPacketSize) && count >= effectivePacketSize_) {
    packetLength_ = count;
    PacketComplete(false);
    return;
  }
  if (!end.Contains(ecString)) return;
  const int32_t len = static_cast<int32_t>(matchEnd_.Match.size());
  if (len == 0) return;
  if (MatchesAt(matchEnd_, endMatchPos_, byte)) {
    if (endMatchPos_ == len) {
      packetLength_ = count;
      PacketComplete(true);
    } else {
      ++endMatchPos_;
    }
  } else if (endMatchPos_ != 1) {
    // The partial end match failed: the earliest later candidate whose bytes up to here all
    // match the beginning of the end string carries on.
    for (endCandidate_ = pos - endMatchPos_ + 1; endCandidate_ <= pos; ++endCandidate_) {
      int32_t k = 0;
      while (endCandidate_ + k <= pos && MatchesAt(matchEnd_, k + 1, Fold(buf[endCandidate_ + k])))
        ++k;
      if (endCandidate_ + k > pos) break;
    }
    endMatchPos_ = endCandidate_ <= pos ? pos - endCandidate_ + 2 : 1;
  }
}

// ---- delivery -----------------------------------------------------------------------------

void TDataPacket::DeliverOnMainThread(TDataPacketManager* manager,
                                      const std::function<void()>& fn) {
  TBaseDispatcher* d = manager ? manager->Dispatcher() : nullptr;
  TDispatcherThread* thread = (SyncEvents() && d) ? d->DispatchThread() : nullptr;
  TLockRelease release;
  RunOnMainThread(thread, fn);
}

void TDataPacket::PacketComplete(bool byEndString) {
  TDataPacketManager* m = manager_.load();
  std::shared_ptr<std::atomic<bool>> alive = alive_;
  const int32_t start = startIndex_.load();
  m->SetInEvent(true);
  std::exception_ptr failure;
  try {
    SetEnabledLocked(false);
    const int32_t full = packetLength_;
    const int32_t startLen = static_cast<int32_t>(matchStart_.Match.size());
    if (includeStrings_.load() || startCond_.load() == scAnyData) {
      packetData_ = start;
    } else {
      packetData_ = start + startLen;
      packetLength_ -= startLen;
    }
    if (!includeStrings_.load() && byEndString)
      packetLength_ -= static_cast<int32_t>(matchEnd_.Match.size());
    packetLength_ = std::clamp(packetLength_, 0, std::max(0, m->BufferCount() - packetData_));
    // The events get their own copy: the main thread may change the manager's buffer (close
    // the port, say) while they run.
    const std::string bytes(reinterpret_cast<const char*>(m->Buffer()) + packetData_,
                            packetLength_);
    Log(packetlog::StringPacket);
    LogBytes(byEndString ? packetlog::StringPacket : packetlog::SizePacket, bytes.data(),
             static_cast<int32_t>(bytes.size()));
    packetReceived_.store(true);
    DeliverOnMainThread(m, [this, &bytes, &alive] {
      try {
        if (OnPacket) OnPacket(this, bytes.data(), static_cast<int32_t>(bytes.size()));
      } catch (...) {
        ShowCurrentException();
      }
      if (!alive->load()) return;
      try {
        if (OnStringPacket) OnStringPacket(this, bytes);
      } catch (...) {
        ShowCurrentException();
      }
    });
    m->RemoveData(start, full);
    if (alive->load() && autoEnable_.load()) SetEnabledLocked(true);
  } catch (...) {
    failure = std::current_exception();
  }
  m->SetInEvent(false);
  if (failure) std::rethrow_exception(failure);
}

void TDataPacket::PacketTimedOut() {
  TDataPacketManager* m = manager_.load();
  std::shared_ptr<std::atomic<bool>> alive = alive_;
  m->SetInEvent(true);
  std::exception_ptr failure;
  try {
    Log(packetlog::PcktTimeout);
    SetEnabledLocked(false);
    packetTimeoutHit_.store(true);
    DeliverOnMainThread(m, [this] {
      try {
        if (OnTimeout) OnTimeout(this);
      } catch (...) {
        ShowCurrentException();
      }
    });
    // Whatever was buffered belonged to the packet that did not end: drop it all.
    m->RemoveData(0, m->BufferCount());
  } catch (...) {
    failure = std::current_exception();
  }
  m->SetInEvent(false);
  if (failure) std::rethrow_exception(failure);
}

void TDataPacket::DataRemoved(int32_t count) {
  if (!enabled_.load()) return;
  const int32_t start = startIndex_.load();
  if (start == -1) return;
  if (start < count) {
    if (state_.load() == TPacketState::Waiting) Arm();
    return;
  }
  // A partial match wholly behind the removed bytes goes on from its shifted position.
  startIndex_.store(start - count);
  endCandidate_ -= count;
}

// ---- dispatch log -------------------------------------------------------------------------

void TDataPacket::Log(uint16_t subKind) const {
  TDataPacketManager* m = manager_.load();
  TBaseDispatcher* d = m ? m->Dispatcher() : nullptr;
  if (d && d->LogOn()) d->RecordLogText(logk::Packet, subKind, 0, "Packet:" + Name());
}

void TDataPacket::LogBytes(uint16_t subKind, const void* data, int32_t length) const {
  TDataPacketManager* m = manager_.load();
  TBaseDispatcher* d = m ? m->Dispatcher() : nullptr;
  if (d && d->LogOn()) d->RecordLogEntry(logk::Packet, subKind, 0, data, length);
}

}  // namespace comm
