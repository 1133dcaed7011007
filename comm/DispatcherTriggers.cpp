// Triggers (timers, status, data available), the handlers that hear of them, and delivery:
// scanning for triggers that fired and telling every handler, on the main thread where a
// handler needs it.

#include <algorithm>

#include "comm/Dispatcher.h"
#include "comm/Exceptions.h"
#include "platform/Clock.h"

namespace comm {

namespace {

constexpr int32_t kRing = kInputRingSize;

// Counts a scope as one more call in flight, uncounting it on every way out.
struct TCounterGuard {
  explicit TCounterGuard(std::atomic<int32_t>& c) : counter(c) { counter.fetch_add(1); }
  ~TCounterGuard() { counter.fetch_sub(1); }
  std::atomic<int32_t>& counter;
};

}  // namespace

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

// ---- triggers ------------------------------------------------------------------------------

int32_t TBaseDispatcher::AllocTriggerHandle() {
  // Triggers given back by a reopen keep their handles while the counter starts afresh: a
  // new trigger never takes a handle that one of them holds.
  auto used = [this](int32_t h) {
    for (const auto& t : timerTriggers_)
      if (t.Handle == h) return true;
    for (const auto& t : statusTriggers_)
      if ((t.Handle & ~7) == h) return true;
    for (const auto& t : dataTriggers_)
      if ((t.Handle & ~7) == h) return true;
    return false;
  };
  while (handleCounter_ < 4096) {
    const int32_t h = handleCounter_++ * 8;
    if (!used(h)) return h;
  }
  for (int32_t h = 8; h <= 4096; h += 8) {
    if (!used(h)) return h;
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
  } else {
    RecheckHandlerService(0);
  }
}

void TBaseDispatcher::RemoveProcedureHandler(TTriggerProc procedure) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (RemoveHandler(
          procHandlers_, [&](const TProcEntry& e) { return e.Proc == procedure; },
          dispatchActive_.load(), handlersDirty_)) {
    RecordLogEntry(logk::TrgHdDsp, logk::Procedure, 0, nullptr, 0);
  } else {
    RecheckHandlerService(0);
  }
}

void TBaseDispatcher::RemoveEventHandler(const void* code) {
  std::lock_guard<std::recursive_mutex> g(stateLock_);
  if (RemoveHandler(
          eventHandlers_, [&](const TEventEntry& e) { return e.Code == code; },
          dispatchActive_.load(), handlersDirty_)) {
    RecordLogEntry(logk::TrgHdDsp, logk::Method, 0, nullptr, 0);
  } else {
    RecheckHandlerService(0);
  }
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
    peekFloor_ = 0;
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
    // Each handler reads from the first unread byte, past what a ClearInput discarded.
    peekCount_ = peekFloor_;
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
    peekFloor_ = 0;
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

void TBaseDispatcher::FireTimersAfterFailure() {
  // The dispatch thread ends with the device, so an active timer would never fire and its
  // owner (a transfer waiting for a reply, a packet waiting for its end) would wait for ever.
  // Each one active now fires once, at once; DeviceFailed tells the handler why.
  std::vector<int32_t> active;
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    for (const auto& t : timerTriggers_) {
      if (t.Active) active.push_back(t.Handle);
    }
  }
  for (int32_t handle : active) {
    if (closePending_.load()) return;
    {
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      auto it = std::find_if(timerTriggers_.begin(), timerTriggers_.end(),
                             [&](const TTimerTrigger& t) { return t.Handle == handle; });
      // Dropped or disarmed by an earlier handler of this round.
      if (it == timerTriggers_.end() || !it->Active) continue;
      it->Active = false;
    }
    RecordLogEntry(logk::Trigger, logk::TimerSub, static_cast<uint32_t>(handle), nullptr, 0);
    DeliverTrigger(TriggerTimerMessage, static_cast<uint32_t>(handle), 0);
  }
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

}  // namespace comm
