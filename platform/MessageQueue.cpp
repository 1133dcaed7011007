#include "platform/MessageQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {

// A request whose caller waits for the main thread: a sent message or a run-on-main call.
// It lives on the waiting caller's stack: every delivery to a window handler goes through
// here, and the caller does not return before the request is Done or withdrawn, so nothing
// needs to be allocated for it. All fields are guarded by the queue's lock; nobody touches
// the request once it is Done.
struct TRequest {
  enum class TState { Queued, Started, Done };
  TState State = TState::Queued;
  bool Handled = false;  // the procedure (or function) ran
  intptr_t Result = 0;
  std::exception_ptr Error;
  std::condition_variable Finished;
};

struct TItem {
  enum class TKind { Posted, Sent, Call };
  TKind Kind = TKind::Posted;
  HWND Window = 0;
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  std::function<void()> Fn;     // Call only
  TRequest* Request = nullptr;  // Sent and Call
};

// First in, first out, keeping its storage: the queue is filled and emptied for every
// delivery, and a deque would free and allocate a block every few items.
class TItemQueue {
 public:
  bool empty() const { return count_ == 0; }
  void push_back(TItem&& item) {
    if (count_ == slots_.size()) Grow();
    slots_[(head_ + count_) % slots_.size()] = std::move(item);
    ++count_;
  }
  TItem take_front() {
    TItem item = std::move(slots_[head_]);
    slots_[head_] = TItem{};  // what a call captured is released now, not when overwritten
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return item;
  }
  // Removes the items for which remove(item) is true; the others keep their order.
  template <typename Remove>
  void remove_if(Remove remove) {
    size_t kept = 0;
    for (size_t i = 0; i < count_; ++i) {
      TItem& item = slots_[(head_ + i) % slots_.size()];
      if (remove(item)) continue;
      if (kept != i) slots_[(head_ + kept) % slots_.size()] = std::move(item);
      ++kept;
    }
    for (size_t i = kept; i < count_; ++i) slots_[(head_ + i) % slots_.size()] = TItem{};
    count_ = kept;
  }

 private:
  void Grow() {
    std::vector<TItem> bigger(std::max<size_t>(16, slots_.size() * 2));
    for (size_t i = 0; i < count_; ++i) bigger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(bigger);
    head_ = 0;
  }
  std::vector<TItem> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};

struct TQueue {
  std::mutex Lock;
  std::condition_variable MainWake;  // WaitForMessage
  TItemQueue Items;
  std::map<HWND, std::shared_ptr<WindowProc>> Windows;
  HWND LastWindow = 0;
  bool WakePending = false;
  bool QuitPending = false;
  int QuitCode = 0;
  std::shared_ptr<std::function<void()>> WakeHook;
  std::atomic<std::thread::id> MainThread{};
};

TQueue& Queue() {
  static TQueue queue;
  return queue;
}

// Tells whoever drains the queue that there is work: a thread in WaitForMessage and a GUI
// loop through the wake hook. Called without the lock held, so that a hook may post.
void Notify(TQueue& q, std::unique_lock<std::mutex>& lock) {
  std::shared_ptr<std::function<void()>> hook = q.WakeHook;
  lock.unlock();
  q.MainWake.notify_all();
  if (hook && *hook) (*hook)();
}

void Enqueue(TQueue& q, TItem item) {
  std::unique_lock lock(q.Lock);
  q.Items.push_back(std::move(item));
  Notify(q, lock);
}

std::shared_ptr<WindowProc> FindProc(TQueue& q, HWND window) {
  auto it = q.Windows.find(window);
  return it == q.Windows.end() ? nullptr : it->second;
}

// Removes a request that the main thread has not taken yet; the caller holds the lock.
void Withdraw(TQueue& q, const TRequest* request) {
  q.Items.remove_if([&](const TItem& item) { return item.Request == request; });
}

// Queues a request from a worker thread and waits for it. With a limit, gives up when the
// main thread has not started it in time; once started it is waited for to the end, since
// the handler may use what the sender handed it. On return the request has ended and the
// main thread no longer refers to it.
void Submit(TItem item, uint32_t ms, TRequest& request) {
  TQueue& q = Queue();
  item.Request = &request;
  Enqueue(q, std::move(item));

  std::unique_lock lock(q.Lock);
  if (ms != kInfinite) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    request.Finished.wait_until(lock, deadline,
                                [&] { return request.State != TRequest::TState::Queued; });
    if (request.State == TRequest::TState::Queued) {
      Withdraw(q, &request);
      request.State = TRequest::TState::Done;  // never runs now
      return;
    }
  }
  request.Finished.wait(lock, [&] { return request.State == TRequest::TState::Done; });
}

// The last touch of a request by the main thread: once Done, its sender may return.
void Finish(TQueue& q, TRequest* request, bool handled, intptr_t result, std::exception_ptr error) {
  std::lock_guard lock(q.Lock);
  request->Handled = handled;
  request->Result = result;
  request->Error = std::move(error);
  request->State = TRequest::TState::Done;
  request->Finished.notify_all();
}

}  // namespace

void InitMainThread() { Queue().MainThread.store(std::this_thread::get_id()); }

bool IsMainThread() { return Queue().MainThread.load() == std::this_thread::get_id(); }

HWND CreateHiddenWindow(const std::string& className, WindowProc proc) {
  (void)className;  // classes only group windows on the original platform; nothing to keep
  TQueue& q = Queue();
  std::lock_guard lock(q.Lock);
  // Handles count up and are never handed out twice, so a stale handle can never reach a
  // newer window.
  HWND window = ++q.LastWindow;
  if (window == 0) window = ++q.LastWindow;
  q.Windows.emplace(window, std::make_shared<WindowProc>(std::move(proc)));
  return window;
}

void DestroyHiddenWindow(HWND window) {
  TQueue& q = Queue();
  std::lock_guard lock(q.Lock);
  if (q.Windows.erase(window) == 0) return;
  // Senders still queued for this window get their answer (not handled) now rather than
  // when the main thread reaches their message. Posted messages are dropped when they come up.
  q.Items.remove_if([&](const TItem& item) {
    if (item.Kind != TItem::TKind::Sent || item.Window != window) return false;
    item.Request->State = TRequest::TState::Done;
    item.Request->Handled = false;
    item.Request->Result = 0;
    item.Request->Finished.notify_all();
    return true;
  });
}

bool IsWindow(HWND window) {
  TQueue& q = Queue();
  std::lock_guard lock(q.Lock);
  return q.Windows.count(window) != 0;
}

bool PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  TQueue& q = Queue();
  std::unique_lock lock(q.Lock);
  if (q.Windows.count(window) == 0) return false;
  TItem item;
  item.Kind = TItem::TKind::Posted;
  item.Window = window;
  item.Msg = msg;
  item.WParam = wParam;
  item.LParam = lParam;
  q.Items.push_back(std::move(item));
  Notify(q, lock);
  return true;
}

intptr_t SendMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  intptr_t result = 0;
  SendMessageTimeout(window, msg, wParam, lParam, kInfinite, &result);
  return result;
}

bool SendMessageTimeout(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam, uint32_t ms,
                        intptr_t* result) {
  TQueue& q = Queue();
  if (result) *result = 0;
  if (IsMainThread()) {
    std::shared_ptr<WindowProc> proc;
    {
      std::lock_guard lock(q.Lock);
      proc = FindProc(q, window);
    }
    if (!proc) return false;
    const intptr_t r = (*proc)(msg, wParam, lParam);
    if (result) *result = r;
    return true;
  }
  if (!IsWindow(window)) return false;
  TItem item;
  item.Kind = TItem::TKind::Sent;
  item.Window = window;
  item.Msg = msg;
  item.WParam = wParam;
  item.LParam = lParam;
  TRequest request;
  Submit(std::move(item), ms, request);
  // Done now, so the main thread no longer touches the request.
  if (request.Error) std::rethrow_exception(std::move(request.Error));
  if (result) *result = request.Result;
  return request.Handled;
}

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  TItem item;
  item.Kind = TItem::TKind::Call;
  item.Fn = fn;
  TRequest request;
  Submit(std::move(item), kInfinite, request);
  if (request.Error) std::rethrow_exception(std::move(request.Error));
}

TPumpResult PumpOneMessage() {
  if (!IsMainThread()) return TPumpResult::None;
  TQueue& q = Queue();
  TItem item;
  std::shared_ptr<WindowProc> proc;
  {
    std::lock_guard lock(q.Lock);
    if (q.Items.empty()) {
      // The quit request stays pending, as if taken and posted again, so that every
      // enclosing loop sees it too.
      return q.QuitPending ? TPumpResult::Quit : TPumpResult::None;
    }
    item = q.Items.take_front();
    if (item.Kind != TItem::TKind::Call) proc = FindProc(q, item.Window);
    if (item.Request) item.Request->State = TRequest::TState::Started;
  }

  switch (item.Kind) {
    case TItem::TKind::Posted:
      // A message for a window that is gone is dropped; an exception from the procedure
      // goes to whoever pumps.
      if (proc) (*proc)(item.Msg, item.WParam, item.LParam);
      break;
    case TItem::TKind::Sent:
      if (!proc) {
        Finish(q, item.Request, false, 0, nullptr);
        break;
      }
      {
        intptr_t r = 0;
        std::exception_ptr error;
        try {
          r = (*proc)(item.Msg, item.WParam, item.LParam);
        } catch (...) {
          error = std::current_exception();
        }
        // Handed over only after the catch has ended, so that this thread holds no other
        // reference to the exception and the sender alone releases it.
        Finish(q, item.Request, true, r, std::move(error));
      }
      break;
    case TItem::TKind::Call: {
      std::exception_ptr error;
      try {
        item.Fn();
      } catch (...) {
        error = std::current_exception();
      }
      Finish(q, item.Request, true, 0, std::move(error));
    } break;
  }
  return TPumpResult::Dispatched;
}

bool WaitForMessage(uint32_t ms) {
  TQueue& q = Queue();
  std::unique_lock lock(q.Lock);
  auto ready = [&] { return q.WakePending || !q.Items.empty(); };
  bool woken;
  if (ms == kInfinite) {
    q.MainWake.wait(lock, ready);
    woken = true;
  } else {
    woken = q.MainWake.wait_for(lock, std::chrono::milliseconds(ms), ready);
  }
  q.WakePending = false;
  return woken;
}

void WakeMainThread() {
  TQueue& q = Queue();
  {
    std::lock_guard lock(q.Lock);
    q.WakePending = true;
  }
  q.MainWake.notify_all();
}

int Run() {
  // Only the main thread can dispatch; anywhere else the loop could never make progress.
  if (!IsMainThread()) return -1;
  TQueue& q = Queue();
  for (;;) {
    const TPumpResult r = PumpOneMessage();
    if (r == TPumpResult::Quit) {
      std::lock_guard lock(q.Lock);
      q.QuitPending = false;
      return q.QuitCode;
    }
    if (r == TPumpResult::None) WaitForMessage(kInfinite);
  }
}

void Quit(int code) {
  TQueue& q = Queue();
  std::unique_lock lock(q.Lock);
  q.QuitPending = true;
  q.QuitCode = code;
  // A waiting main loop must look again even though no item was queued.
  q.WakePending = true;
  Notify(q, lock);
}

void SetWakeHook(std::function<void()> hook) {
  TQueue& q = Queue();
  std::lock_guard lock(q.Lock);
  q.WakeHook = hook ? std::make_shared<std::function<void()>>(std::move(hook)) : nullptr;
}

}  // namespace platform
