// The worker threads: their common base, the dispatch thread's loop (input pass and timer
// pass on its 50 ms tick), and the bookkeeping of threads starting, ending and being stopped.

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "comm/Dispatcher.h"
#include "comm/Exceptions.h"

namespace comm {

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
      // Keep the delta bits of this pass (ModemStatusNow clears them in the field it
      // returns): the application still reads which lines changed.
      std::lock_guard<std::recursive_mutex> g(stateLock_);
      modemStatus_ = ModemStatusNow();
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
    // Read and write thread may both fail; the first one tells the handlers.
    const bool firstFailure = !deviceFailed_.exchange(true);
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
      if (firstFailure && !closePending_.load()) FireTimersAfterFailure();
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
  {
    std::lock_guard<std::recursive_mutex> g(stateLock_);
    if (!closeRunning_.load()) {
      closeRunning_.store(true);
      closeThread_ = std::this_thread::get_id();
      return true;
    }
    if (closeThread_ == std::this_thread::get_id()) return false;
    for (auto* t :
         {readThread_.get(), dispatchThread_.get(), writeThread_.get(), statusThread_.get()}) {
      if (t != nullptr && t->IsCurrentThread()) return false;
    }
  }
  // Returning now would leave the device open behind a stop that has returned (a reopen then
  // finds it in use): wait for the close that runs.
  const bool main = platform::IsMainThread();
  bool quitSeen = false;
  while (closeRunning_.load()) {
    if (main && !quitSeen) {
      // The threads that close waits for may be waiting for this thread.
      platform::TPumpResult r;
      while ((r = platform::PumpOneMessage()) == platform::TPumpResult::Dispatched) {
        if (!closeRunning_.load()) return false;
      }
      if (r == platform::TPumpResult::Quit) quitSeen = true;
      if (!quitSeen) {
        platform::WaitForMessage(50);  // EndClose wakes the main thread
        continue;
      }
    }
    std::unique_lock<std::mutex> g(closeEndedLock_);
    closeEnded_.wait_for(g, std::chrono::milliseconds(50),
                         [this] { return !closeRunning_.load(); });
  }
  return false;
}

void TBaseDispatcher::EndClose() {
  {
    std::lock_guard<std::mutex> g(closeEndedLock_);
    closeRunning_.store(false);
  }
  closeEnded_.notify_all();
  platform::WakeMainThread();
}

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

}  // namespace comm
