#include "platform/MessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/WaitUntil.h"

using namespace platform;

namespace {

// A hidden window that records what reaches it (on the main thread only) and answers
// lParam * 2.
class RecordingWindow {
 public:
  RecordingWindow() {
    window_ = CreateHiddenWindow("test", [this](uint32_t msg, uintptr_t w, intptr_t l) {
      if (!IsMainThread()) offMain_ = true;
      {
        std::lock_guard lock(lock_);
        seen_.push_back({msg, w, l});
      }
      // Outside the lock: a handler may pump and so re-enter this procedure.
      if (handler_) return handler_(msg, w, l);
      return l * 2;
    });
  }
  ~RecordingWindow() { DestroyHiddenWindow(window_); }

  HWND Handle() const { return window_; }
  struct Message {
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
  };
  std::vector<Message> Seen() {
    std::lock_guard lock(lock_);
    return seen_;
  }
  size_t Count() {
    std::lock_guard lock(lock_);
    return seen_.size();
  }
  bool RanOffMain() const { return offMain_; }
  // Set before messages arrive; runs on the main thread.
  WindowProc handler_;

 private:
  HWND window_;
  std::mutex lock_;
  std::vector<Message> seen_;
  std::atomic<bool> offMain_{false};
};

// Counts items queued for the main thread through the wake hook, and lets the main thread
// wait for them without pumping.
class QueuedCounter {
 public:
  QueuedCounter() {
    SetWakeHook([this] {
      std::lock_guard lock(lock_);
      ++count_;
      changed_.notify_all();
    });
  }
  ~QueuedCounter() { SetWakeHook(nullptr); }
  int Count() {
    std::lock_guard lock(lock_);
    return count_;
  }
  bool WaitForAtLeast(int n) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

void DrainQueue() {
  while (PumpOneMessage() == TPumpResult::Dispatched) {
  }
}

}  // namespace

TEST(MessageQueue, TheTestThreadIsTheMainThread) {
  EXPECT_TRUE(IsMainThread());
  std::atomic<bool> workerIsMain{true};
  std::atomic<TPumpResult> workerPump{TPumpResult::Dispatched};
  std::atomic<int> workerRun{0};
  std::thread worker([&] {
    workerIsMain = IsMainThread();
    workerPump = PumpOneMessage();
    workerRun = platform::Run();
  });
  worker.join();
  EXPECT_FALSE(workerIsMain.load());
  EXPECT_EQ(workerPump.load(), TPumpResult::None);
  EXPECT_EQ(workerRun.load(), -1);
}

TEST(MessageQueue, WindowsLiveUntilDestroyedAndHandlesAreNotReused) {
  const HWND a =
      CreateHiddenWindow("a", [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
  EXPECT_NE(a, 0u);
  EXPECT_TRUE(IsWindow(a));
  DestroyHiddenWindow(a);
  EXPECT_FALSE(IsWindow(a));
  const HWND b =
      CreateHiddenWindow("b", [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
  EXPECT_NE(a, b);
  EXPECT_FALSE(PostMessage(a, 1, 0, 0));
  EXPECT_FALSE(IsWindow(0));
  DestroyHiddenWindow(b);
}

// Messages from several threads run on the main thread, each thread's in the order sent,
// whether posted, sent or run-on-main calls.
TEST(MessageQueue, KeepsEachSendersOrderAcrossThreads) {
  RecordingWindow window;
  constexpr int kThreads = 3, kEach = 201;  // kEach a multiple of 3: one third each kind
  std::atomic<int> calls{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        switch (i % 3) {
          case 0:
            EXPECT_TRUE(PostMessage(window.Handle(), 100 + t, i, 0));
            break;
          case 1:
            EXPECT_EQ(SendMessage(window.Handle(), 100 + t, i, i), 2 * i);
            break;
          case 2:
            RunOnMainThread([&, t, i] {
              EXPECT_TRUE(IsMainThread());
              SendMessage(window.Handle(), 100 + t, i, 0);  // on the main thread: direct
              calls.fetch_add(1);
            });
            break;
        }
      }
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return window.Count() == size_t{kThreads * kEach}; }));
  for (auto& s : senders) s.join();
  EXPECT_FALSE(window.RanOffMain());
  std::map<uint32_t, uintptr_t> next;
  for (const auto& m : window.Seen()) {
    EXPECT_EQ(m.wParam, next[m.msg]) << "thread " << m.msg - 100;
    next[m.msg] = m.wParam + 1;
  }
  EXPECT_EQ(calls.load(), kThreads * kEach / 3);
}

TEST(MessageQueue, SendOnTheMainThreadCallsDirectly) {
  RecordingWindow window;
  EXPECT_EQ(SendMessage(window.Handle(), 7, 0, 21), 42);
  intptr_t result = 0;
  EXPECT_TRUE(SendMessageTimeout(window.Handle(), 7, 0, 5, 0, &result));
  EXPECT_EQ(result, 10);
  EXPECT_EQ(window.Count(), 2u);
  EXPECT_EQ(PumpOneMessage(), TPumpResult::None);  // nothing was queued
}

// A sender whose message the main thread does not start in time gets false, and the message
// never runs later.
TEST(MessageQueue, TimedOutSendIsWithdrawn) {
  RecordingWindow window;
  std::atomic<int> answer{-1};
  intptr_t result = 99;
  std::thread sender(
      [&] { answer = SendMessageTimeout(window.Handle(), 1, 0, 1, 20, &result) ? 1 : 0; });
  sender.join();  // the main thread does not pump meanwhile
  EXPECT_EQ(answer.load(), 0);
  EXPECT_EQ(result, 0);
  DrainQueue();
  EXPECT_EQ(window.Count(), 0u);
}

// Once the main thread has started the message, the sender waits for its end however long
// that takes, also past its limit, and gets the result.
TEST(MessageQueue, StartedSendIsWaitedForPastTheTimeout) {
  using Clock = std::chrono::steady_clock;
  constexpr uint32_t kLimitMs = 1000;
  RecordingWindow window;
  std::atomic<Clock::rep> sentAt{0};
  std::atomic<bool> started{false};
  window.handler_ = [&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    started = true;
    // Answer only once the sender's limit has certainly passed.
    const Clock::time_point limitPassed = Clock::time_point(Clock::duration(sentAt.load())) +
                                          std::chrono::milliseconds(kLimitMs + 20);
    std::mutex m;
    std::condition_variable never;
    std::unique_lock lock(m);
    never.wait_until(lock, limitPassed, [] { return false; });
    return 1234;
  };
  std::atomic<bool> handled{false};
  std::atomic<intptr_t> result{0};
  std::thread sender([&] {
    sentAt = Clock::now().time_since_epoch().count();
    intptr_t r = 0;
    handled = SendMessageTimeout(window.Handle(), 1, 0, 0, kLimitMs, &r);
    result = r;
  });
  // Pumps as soon as the message is queued, well inside the limit.
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  sender.join();
  EXPECT_TRUE(handled.load());
  EXPECT_EQ(result.load(), 1234);
}

// Destroying a window answers its waiting senders (0 / false) and drops its posted
// messages when they come up.
TEST(MessageQueue, DestroyedWindowReleasesSendersAndDropsMessages) {
  auto window = std::make_unique<RecordingWindow>();
  const HWND handle = window->Handle();
  QueuedCounter queued;
  std::atomic<intptr_t> sent{-1};
  std::atomic<int> timedOut{-1};
  ASSERT_TRUE(PostMessage(handle, 1, 0, 0));
  std::thread sender([&] { sent = SendMessage(handle, 2, 0, 5); });
  std::thread timed([&] {
    intptr_t r = 0;
    timedOut = SendMessageTimeout(handle, 3, 0, 5, 60000, &r) ? 1 : 0;
  });
  // Wait without pumping until both sends are queued (the post was the first item).
  EXPECT_TRUE(queued.WaitForAtLeast(3));
  window.reset();  // destroys the window
  sender.join();
  timed.join();
  EXPECT_EQ(sent.load(), 0);
  EXPECT_EQ(timedOut.load(), 0);
  EXPECT_FALSE(PostMessage(handle, 4, 0, 0));
  DrainQueue();  // the posted message is dropped, not delivered anywhere
  EXPECT_EQ(SendMessage(handle, 5, 0, 0), 0);
}

// A handler may pump the queue itself; messages queued meanwhile are delivered inside it.
TEST(MessageQueue, ReentrantPumpingFromAHandler) {
  RecordingWindow window;
  std::vector<std::string> order;  // main thread only
  std::thread worker;
  window.handler_ = [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
    if (msg == 1) {
      order.push_back("outer begin");
      worker = std::thread([&] {
        EXPECT_EQ(SendMessage(window.Handle(), 2, 0, 0), 22);
        RunOnMainThread([&] { order.push_back("call"); });
      });
      EXPECT_TRUE(WaitUntil([&] { return order.size() == 3; }));
      order.push_back("outer end");
    } else if (msg == 2) {
      order.push_back("inner");
      return 22;
    }
    return 0;
  };
  ASSERT_TRUE(PostMessage(window.Handle(), 1, 0, 0));
  EXPECT_EQ(PumpOneMessage(), TPumpResult::Dispatched);
  worker.join();
  EXPECT_EQ(order, (std::vector<std::string>{"outer begin", "inner", "call", "outer end"}));
}

// The main thread waits for a worker by pumping while the worker keeps handing it work:
// nothing deadlocks.
TEST(MessageQueue, MainWaitingForAWorkerThatSendsToIt) {
  RecordingWindow window;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 500; ++i) {
      SendMessage(window.Handle(), 1, i, i);
      RunOnMainThread([] {});
    }
    done = true;
    WakeMainThread();
  });
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 60000));
  worker.join();
  EXPECT_EQ(window.Count(), 500u);
}

TEST(MessageQueue, RunOnMainThreadRethrowsOnTheCallersSide) {
  std::atomic<bool> caught{false};
  std::string message;  // written by the worker, read after the join
  std::thread worker([&] {
    try {
      RunOnMainThread([] { throw std::runtime_error("from the main thread"); });
    } catch (const std::runtime_error& e) {
      message = e.what();
      caught = true;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return caught.load(); }));
  worker.join();
  EXPECT_EQ(message, "from the main thread");

  // On the main thread the call is direct, and so is the exception.
  EXPECT_THROW(RunOnMainThread([] { throw std::logic_error("direct"); }), std::logic_error);
}

TEST(MessageQueue, SentMessageHandlerExceptionReachesTheSender) {
  RecordingWindow window;
  window.handler_ = [](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    throw std::runtime_error("handler failed");
  };
  std::atomic<bool> caught{false};
  std::thread sender([&] {
    try {
      SendMessage(window.Handle(), 1, 0, 0);
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return caught.load(); }));
  sender.join();
}

TEST(MessageQueue, QuitIsReportedUntilRunTakesIt) {
  RecordingWindow window;
  Quit(3);
  EXPECT_EQ(PumpOneMessage(), TPumpResult::Quit);
  EXPECT_EQ(PumpOneMessage(), TPumpResult::Quit);  // posted again for outer loops
  EXPECT_EQ(platform::Run(), 3);
  EXPECT_EQ(PumpOneMessage(), TPumpResult::None);

  // Messages queued before a quit are still delivered by Run; Quit works from any thread.
  std::thread worker([&] {
    for (int i = 0; i < 10; ++i) PostMessage(window.Handle(), 1, i, 0);
    Quit(9);
  });
  EXPECT_EQ(platform::Run(), 9);
  worker.join();
  DrainQueue();
  EXPECT_EQ(window.Count(), 10u);
}

TEST(MessageQueue, WaitForMessageWakesOnItemsAndWakeCalls) {
  DrainQueue();
  WaitForMessage(0);  // takes a wake-up left over from earlier work
  EXPECT_FALSE(WaitForMessage(1));

  std::thread waker([] { WakeMainThread(); });
  EXPECT_TRUE(WaitForMessage(kInfinite));
  waker.join();

  RecordingWindow window;
  std::thread poster([&] { PostMessage(window.Handle(), 1, 0, 0); });
  EXPECT_TRUE(WaitForMessage(kInfinite));
  poster.join();
  EXPECT_EQ(PumpOneMessage(), TPumpResult::Dispatched);
  EXPECT_EQ(window.Count(), 1u);
}

TEST(MessageQueue, WakeHookHearsEveryQueuedItem) {
  RecordingWindow window;
  QueuedCounter queued;
  std::atomic<bool> ran{false};
  std::thread worker([&] {
    PostMessage(window.Handle(), 1, 0, 0);
    PostMessage(window.Handle(), 2, 0, 0);
    RunOnMainThread([&] { ran = true; });
  });
  ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
  worker.join();
  EXPECT_EQ(queued.Count(), 3);
  EXPECT_EQ(window.Count(), 2u);
}
