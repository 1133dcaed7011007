#include "packet/DataPacketManager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "comm/Exceptions.h"

namespace comm {

namespace {
constexpr uint32_t kQueryEndSession = 0x0011;
}  // namespace

// ---- the packet lock ----------------------------------------------------------------------

void TPacketLock::lock() {
  mutex_.lock();
  if (depth_++ == 0) owner_.store(std::this_thread::get_id());
}

void TPacketLock::unlock() {
  if (--depth_ == 0) owner_.store(std::thread::id());
  mutex_.unlock();
}

int TPacketLock::Suspend() {
  if (!HeldByCurrentThread()) return 0;
  const int depth = depth_;
  for (int i = 0; i < depth; ++i) unlock();
  return depth;
}

void TPacketLock::Resume(int depth) {
  for (int i = 0; i < depth; ++i) lock();
}

TPacketLock& PacketLock() {
  static TPacketLock lock;
  return lock;
}

// ---- the manager --------------------------------------------------------------------------

TDataPacketManager::TDataPacketManager(TCustomComPort* port)
    : port_(port), anchor_(std::make_shared<TAnchor>(TAnchor{this})) {
  port_->AttachPortUser(this,
                        [this](TCustomComPort* cp, TPortNotice kind) { PortCallback(cp, kind); });
  window_ = platform::CreateHiddenWindow("packetManagerWindow",
                                         [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
                                           return WindowProc(msg, wParam, lParam);
                                         });
}

void TDataPacketManager::Start() {
  // A port that is open but still loading is enabled once its owner has finished loading.
  if (port_->Open() && !port_->Loading()) SetEnabled(true);
  enablePending_ = port_->Open() && !enabled_.load();
}

TDataPacketManager::~TDataPacketManager() {
  std::lock_guard lock(PacketLock());
  destroying_ = true;
  SetEnabled(false);
  if (port_) port_->DetachPortUser(this);
  ReleaseBuffer();
  // Packets still bound (the list is freed at program end) must not reach a freed manager.
  for (TDataPacket* p : packets_) p->manager_.store(nullptr);
  for (TDataPacket* p : unboundInEvent_)
    if (p->manager_.load() == this) p->manager_.store(nullptr);
  anchor_->Manager = nullptr;
  if (window_) platform::DestroyHiddenWindow(window_);
}

void TDataPacketManager::AddPacket(TDataPacket* packet) {
  packets_.push_back(packet);
  packet->manager_.store(this);
}

void TDataPacketManager::RemovePacket(TDataPacket* packet) {
  packets_.erase(std::remove(packets_.begin(), packets_.end(), packet), packets_.end());
  if (lockedPacket_ == packet) lockedPacket_ = nullptr;
  const bool last = packets_.empty() && !destroying_;
  if (last) LeavePort();
  if (inEvent_.load()) {
    // The packet whose event runs still completes through this manager: it lets go of the
    // manager, and the manager frees itself, when the event has ended.
    unboundInEvent_.push_back(packet);
    if (last) releasePending_ = true;
    return;
  }
  packet->manager_.store(nullptr);
  if (last) platform::PostMessage(window_, kManagerReleaseMessage, 0, 0);
}

// The manager outlives the unbinding of its last packet until the current work is done (it
// frees itself through its own window), but it leaves the port at once: it stops reading the
// port's data and takes itself off the port's user list, so that neither the dispatcher nor
// the port can reach it once it is freed.
void TDataPacketManager::LeavePort() {
  if (!port_) return;
  SetEnabled(false);
  port_->DetachPortUser(this);
  port_ = nullptr;
}

void TDataPacketManager::ForgetDispatcher() {
  dispatcher_ = nullptr;
  handlerRegistered_ = false;
  timerHandle_ = 0;
  SetEnabled(false);
}

void TDataPacketManager::PortDestroyed() {
  // The port is past the point where it can be called: its closing notice has disabled the
  // manager already, and its user list goes with it.
  ForgetDispatcher();
  port_ = nullptr;
}

void TDataPacketManager::ForgetPacket(TDataPacket* packet) {
  unboundInEvent_.erase(std::remove(unboundInEvent_.begin(), unboundInEvent_.end(), packet),
                        unboundInEvent_.end());
}

intptr_t TDataPacketManager::WindowProc(uint32_t msg, uintptr_t, intptr_t) {
  if (msg == kQueryEndSession) return 1;
  if (msg != kManagerReleaseMessage) return 0;
  std::lock_guard lock(PacketLock());
  if (!packets_.empty()) return 0;
  if (inEvent_.load()) {
    releasePending_ = true;  // posted again when the event has ended
    return 0;
  }
  PacketManagers().Destroy(this);
  return 0;
}

void TDataPacketManager::SetEnabled(bool value) {
  if (value) {
    if (enabled_.load() || !port_) return;
    // Only an open port has a dispatcher to read from; a manager without one stays disabled
    // so that the port's next open notice enables it.
    TBaseDispatcher* d = port_->OpenState() == osOpen ? port_->ActiveDispatcher() : nullptr;
    if (!d) return;
    dispatcher_ = d;
    std::weak_ptr<TAnchor> anchor = anchor_;
    d->AddEventHandler(this, [anchor](uint32_t msg, uint32_t wParam, int32_t lParam) {
      std::lock_guard lock(PacketLock());
      std::shared_ptr<TAnchor> a = anchor.lock();
      if (a && a->Manager) a->Manager->DataHandler(msg, wParam, lParam);
    });
    handlerRegistered_ = true;
    enabled_.store(true);
    const int32_t handle = d->NewTimerTrigger();
    timerHandle_ = handle > 0 ? handle : 0;
    CheckCode(port_, handle);
    return;
  }
  if (handlerRegistered_ && dispatcher_) {
    if (timerHandle_ != 0) dispatcher_->DropTrigger(timerHandle_);
    dispatcher_->RemoveEventHandler(this);
  }
  timerHandle_ = 0;
  handlerRegistered_ = false;
  dispatcher_ = nullptr;
  lockedPacket_ = nullptr;
  lockTicks_ = 0;
  ReleaseBuffer();
  enabled_.store(false);
}

void TDataPacketManager::ApplyPendingEnable() {
  if (!enablePending_) return;
  enablePending_ = false;
  SetEnabled(true);
}

void TDataPacketManager::DisarmAll() {
  for (size_t i = 0; i < packets_.size(); ++i) packets_[i]->Disarm();
}

void TDataPacketManager::ArmEnabled() {
  std::exception_ptr first;
  for (size_t i = 0; i < packets_.size(); ++i) {
    TDataPacket* p = packets_[i];
    if (!p->enabled_.load()) continue;
    try {
      p->Arm();
    } catch (...) {
      p->enabled_.store(false);
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

void TDataPacketManager::PortCallback(TCustomComPort*, TPortNotice kind) {
  std::lock_guard lock(PacketLock());
  if (kind == NoticeOpen) {
    // Every open comes with a new dispatcher; a registration still noted belongs to one that
    // is gone (an open that was undone after its users had been told) and is forgotten
    // without calling it.
    if (enabled_.load()) {
      ForgetDispatcher();
      DisarmAll();
    }
    SetEnabled(true);
    // Packets enabled while the port was closed become active now. A packet whose settings
    // cannot be armed raises here, into the port's open, which is then undone: the manager
    // lets go of the dispatcher before it is destroyed.
    try {
      ArmEnabled();
    } catch (...) {
      DisarmAll();
      SetEnabled(false);
      throw;
    }
  } else {
    DisarmAll();
    SetEnabled(false);
  }
}

void TDataPacketManager::GrowFor(int32_t count) {
  if (bufferCount_ + count < capacity_) return;
  int32_t capacity = capacity_;
  while (bufferCount_ + count >= capacity) capacity += kPacketBufferStep;
  std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
  if (bufferCount_ > 0) std::memcpy(grown.get(), buffer_.get(), bufferCount_);
  buffer_ = std::move(grown);
  capacity_ = capacity;
}

void TDataPacketManager::ReleaseBuffer() {
  buffer_.reset();
  capacity_ = 0;
  bufferCount_ = 0;
}

void TDataPacketManager::DataHandler(uint32_t msg, uint32_t wParam, int32_t lParam) {
  // A delivery from a dispatcher the manager has meanwhile left (the port closed, or closed
  // and reopened) is not for it.
  if (!enabled_.load() || !dispatcher_) return;
  if ((static_cast<uint32_t>(lParam) >> 16) != static_cast<uint32_t>(dispatcher_->Handle())) return;
  try {
    if (msg == TriggerAvailMessage) {
      const int32_t n = static_cast<int32_t>(wParam);
      if (n <= 0) return;
      const int32_t old = bufferCount_;
      GrowFor(n);
      const int32_t got = dispatcher_->ReceiveBlock(buffer_.get() + bufferCount_, n);
      if (got > 0) bufferCount_ += got;
      ProcessData(old);
    } else if (msg == TriggerTimerMessage) {
      if (static_cast<int32_t>(wParam) != timerHandle_ || timerHandle_ == 0) return;
      TDataPacket* p = lockedPacket_;
      if (!p || lockTicks_ == 0 || !TimerDue(lockTimer_)) return;
      p->PacketTimedOut();
    }
  } catch (...) {
    // The dispatch thread goes on serving the port; the failure is shown like an event's.
    ShowCurrentException();
  }
}

void TDataPacketManager::ProcessData(int32_t start) {
  if (inEvent_.load()) {
    // Matched when the event has ended, from the earliest byte that came meanwhile.
    if (!dataPending_ || start < pendingStart_) pendingStart_ = start;
    dataPending_ = true;
    return;
  }
  if (bufferCount_ > start) {
    scanIndex_ = start;
    while (scanIndex_ < bufferCount_) {
      if (lockedPacket_) {
        lockedPacket_->ProcessChar(scanIndex_);
        if (!buffer_) return;
      } else {
        // The list may change while an event runs: walk it by index.
        for (size_t i = 0; i < packets_.size(); ++i) {
          packets_[i]->ProcessChar(scanIndex_);
          if (!buffer_) return;
          if (lockedPacket_ || scanIndex_ < 0) break;
        }
      }
      ++scanIndex_;
    }
  }
  if (lockedPacket_) return;
  for (TDataPacket* p : packets_) {
    if (p->enabled_.load() && p->state_.load() != TPacketState::Idle && p->startIndex_.load() != -1)
      return;
  }
  // No packet holds a partial match: what was scanned is of no further use.
  ReleaseBuffer();
}

void TDataPacketManager::TakeLock(TDataPacket* packet, int32_t ticks) {
  lockedPacket_ = packet;
  lockTicks_ = ticks;
  packet->ownsTimer_.store(true);
  int32_t code = 0;
  if (ticks != 0 && timerHandle_ != 0 && dispatcher_) {
    StartTimer(lockTimer_, ticks);
    code = dispatcher_->ArmTimerTrigger(timerHandle_, ticks, true);
  }
  for (size_t i = 0; i < packets_.size(); ++i) {
    TDataPacket* other = packets_[i];
    if (other == packet) continue;
    try {
      other->Restart();
    } catch (...) {
      // Another packet whose settings no longer arm: it stays disabled and the failure is
      // shown; the packet that took the lock goes on collecting.
      other->enabled_.store(false);
      ShowCurrentException();
    }
  }
  if (code < 0) CheckCode(port_, code);
}

void TDataPacketManager::ReleaseLock(TDataPacket* packet) {
  int32_t code = 0;
  if (timerHandle_ != 0 && dispatcher_) code = dispatcher_->ArmTimerTrigger(timerHandle_, 0, false);
  // The lock is gone even when the timer could not be stopped: a packet that stays locked
  // would starve every other packet of the port.
  lockedPacket_ = nullptr;
  lockTicks_ = 0;
  packet->ownsTimer_.store(false);
  if (code < 0) CheckCode(port_, code);
}

void TDataPacketManager::SetInEvent(bool value) {
  if (inEvent_.load() == value) return;
  if (value) {
    inEvent_.store(true);
    for (size_t i = 0; i < packets_.size(); ++i)
      if (packets_[i]->enabled_.load()) packets_[i]->Disarm();
    return;
  }
  inEvent_.store(false);
  // Packets unbound during the event let go of the manager now.
  std::vector<TDataPacket*> unbound = std::move(unboundInEvent_);
  unboundInEvent_.clear();
  for (TDataPacket* p : unbound)
    if (p->manager_.load() == this) p->manager_.store(nullptr);
  try {
    ArmEnabled();
  } catch (...) {
    // Nobody here set Enabled: the packet that cannot be armed stays disabled and the
    // failure is shown, while the port's other packets go on.
    ShowCurrentException();
  }
  if (dataPending_) {
    dataPending_ = false;
    if (buffer_) ProcessData(pendingStart_);
  }
  if (releasePending_ && packets_.empty() && !destroying_) {
    releasePending_ = false;
    platform::PostMessage(window_, kManagerReleaseMessage, 0, 0);
  }
}

void TDataPacketManager::RemoveData(int32_t index, int32_t length) {
  // The buffer may have been released meanwhile (the port closed during the event): never
  // remove more than is there.
  const int32_t n = std::clamp(index + length, 0, bufferCount_);
  bufferCount_ -= n;
  scanIndex_ -= n;
  if (scanIndex_ < 0) scanIndex_ = -1;
  if (bufferCount_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + n, bufferCount_);
  } else {
    ReleaseBuffer();
  }
  for (size_t i = 0; i < packets_.size(); ++i) packets_[i]->DataRemoved(n);
}

// ---- the list of managers -----------------------------------------------------------------

TDataPacketManagerList::TDataPacketManagerList() {
  // The main-thread queue must outlive the list: the managers' windows are destroyed with it.
  platform::IsMainThread();
}

TDataPacketManagerList::~TDataPacketManagerList() {
  std::lock_guard lock(PacketLock());
  std::vector<std::unique_ptr<TDataPacketManager>> managers = std::move(managers_);
  for (auto& m : managers) m->port_ = nullptr;
  managers.clear();
}

TDataPacketManager* TDataPacketManagerList::GetPortManager(const TCustomComPort* port) const {
  for (const auto& m : managers_)
    if (m->Port() == port) return m.get();
  return nullptr;
}

TDataPacketManager* TDataPacketManagerList::CreateManager(TCustomComPort* port) {
  managers_.push_back(std::make_unique<TDataPacketManager>(port));
  TDataPacketManager* m = managers_.back().get();
  m->Start();
  return m;
}

void TDataPacketManagerList::Destroy(TDataPacketManager* manager) {
  auto it = std::find_if(managers_.begin(), managers_.end(),
                         [manager](const auto& m) { return m.get() == manager; });
  if (it == managers_.end()) return;
  std::unique_ptr<TDataPacketManager> owned = std::move(*it);
  managers_.erase(it);
  owned->destroying_ = true;
  owned.reset();
}

TDataPacketManagerList& PacketManagers() {
  static TDataPacketManagerList list;
  return list;
}

}  // namespace comm
