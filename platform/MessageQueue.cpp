#include "platform/MessageQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// A request whose caller waits for the main thread: a sent message or a run-on-main call.
// All fields are guarded by the queue's lock.
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
  std::function<void()> Fn;            // Call only
  std::shared_ptr<TRequest> Request;   // Sent and Call
};

struct TQueue {
  std::mutex Lock;
  std::condition_variable MainWake;  // WaitForMessage
  std::deque<TItem> Items;
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
void Withdraw(TQueue& q, const std::shared_ptr<TRequest>& request) {
  auto it = std::find_if(q.Items.begin(), q.Items.end(),
                         [&](const TItem& item) { return item.Request == request; });
  if (it != q.Items.end()) q.Items.erase(it);
}

// Queues a request from a worker thread and waits for it. With a limit, gives up when the
// main thread has not started it in time; once started it is waited for to the end, since
// the handler may use what the sender handed it. Returns the request as it ended.
std::shared_ptr<TRequest> Submit(TItem item, uint32_t ms) {
  TQueue& q = Queue();
  auto request = std::make_shared<TRequest>();
  item.Request = request;
  Enqueue(q, std::move(item));

  std::unique_lock lock(q.Lock);
  if (ms != kInfinite) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    request->Finished.wait_until(lock, deadline, [&] {
      return request->State != TRequest::TState::Queued;
    });
    if (request->State == TRequest::TState::Queued) {
      Withdraw(q, request);
      request->State = TRequest::TState::Done;  // never runs now
      return request;
    }
  }
  request->Finished.wait(lock, [&] { return request->State == TRequest::TState::Done; });
  return request;
}

void Finish(TQueue& q, const std::shared_ptr<TRequest>& request, bool handled,
            intptr_t result, std::exception_ptr error) {
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
  for (auto it = q.Items.begin(); it != q.Items.end();) {
    if (it->Kind == TItem::TKind::Sent && it->Window == window) {
      it->Request->State = TRequest::TState::Done;
      it->Request->Handled = false;
      it->Request->Result = 0;
      it->Request->Finished.notify_all();
      it = q.Items.erase(it);
    } else {
      ++it;
    }
  }
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

bool SendMessageTimeout(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                        uint32_t ms, intptr_t* result) {
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
  std::shared_ptr<TRequest> request = Submit(std::move(item), ms);
  // Done now, so the main thread no longer touches the request.
  if (request->Error) std::rethrow_exception(request->Error);
  if (result) *result = request->Result;
  return request->Handled;
}

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  TItem item;
  item.Kind = TItem::TKind::Call;
  item.Fn = fn;
  std::shared_ptr<TRequest> request = Submit(std::move(item), kInfinite);
  if (request->Error) std::rethrow_exception(request->Error);
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
    item = std::move(q.Items.front());
    q.Items.pop_front();
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
      try {
        const intptr_t r = (*proc)(item.Msg, item.WParam, item.LParam);
        Finish(q, item.Request, true, r, nullptr);
      } catch (...) {
        Finish(q, item.Request, true, 0, std::current_exception());
      }
      break;
    case TItem::TKind::Call:
      try {
        item.Fn();
        Finish(q, item.Request, true, 0, nullptr);
      } catch (...) {
        Finish(q, item.Request, true, 0, std::current_exception());
      }
      break;
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
