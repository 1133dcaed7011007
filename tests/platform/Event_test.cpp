#include "platform/Event.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/WaitUntil.h"

using namespace platform;

namespace {
bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}
}  // namespace

TEST(Event, AutoResetIsConsumedByOneWait) {
  TEvent e(false, true);
  EXPECT_FALSE(e.ManualReset());
  EXPECT_TRUE(Readable(e.Fd()));
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(Readable(e.Fd()));
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();  // two sets before a wait still signal once
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(1));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  TEvent e(true);
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(Readable(e.Fd()));
  e.Reset();
  EXPECT_FALSE(e.Wait(0));
  EXPECT_FALSE(Readable(e.Fd()));
}

TEST(Event, ReleasesAThreadWaitingForEver) {
  TEvent e(false);
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = e.Wait(kInfinite); });
  e.Set();
  waiter.join();
  EXPECT_TRUE(woke.load());
  EXPECT_FALSE(e.Wait(0));  // the waiter consumed it
}

// Every Set of an auto-reset event lets exactly one of several waiters through.
TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  constexpr int kWaiters = 4;
  TEvent e(false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(kInfinite)) released.fetch_add(1);
    });
  }
  for (int i = 1; i <= kWaiters; ++i) {
    e.Set();
    ASSERT_TRUE(WaitUntil([&] { return released.load() >= i; }));
    EXPECT_EQ(released.load(), i);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_FALSE(e.Wait(0));
}

TEST(Event, WaitForAny) {
  TEvent a(false), b(true), c(false);
  EXPECT_EQ(WaitForAny({&a, &b}, 0), kWaitTimeout);
  EXPECT_EQ(WaitForAny({&a, &b}, 5), kWaitTimeout);

  b.Set();
  EXPECT_EQ(WaitForAny({&a, &b}, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForAny({&a, &b}, 0), kWaitObject0 + 1);  // manual reset: still set
  b.Reset();

  c.Set();
  EXPECT_EQ(WaitForAny({&a, &b, &c}, kInfinite), kWaitObject0 + 2);
  EXPECT_FALSE(c.Wait(0));  // consumed by WaitForAny

  std::thread setter([&] { a.Set(); });
  EXPECT_EQ(WaitForAny({&a, &b}, kInfinite), kWaitObject0);
  setter.join();
  EXPECT_FALSE(a.Wait(0));

  EXPECT_EQ(WaitForAny({}, 0), kWaitFailed);
}
