#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "comm/Common.h"
#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "tests/support/WaitUntil.h"

using namespace comm;

namespace {

// Puts the millisecond clock at about targetMs for the test's duration.
class ClockAt {
 public:
  explicit ClockAt(uint32_t targetMs) {
    platform::SetClockOffsetForTesting(0);
    platform::SetClockOffsetForTesting(targetMs - platform::timeGetTime());
  }
  ~ClockAt() { platform::SetClockOffsetForTesting(0); }
};

constexpr uint32_t kLastTick = 0xFFFFFFFFu / kMsPerTick;  // the tick just before the wrap

}  // namespace

TEST(TickClock, Conversions) {
  EXPECT_EQ(SecondsToTicks(60), 1092);
  EXPECT_EQ(TicksToSeconds(1092), 60);
  EXPECT_EQ(TicksToSeconds(0), 0);
  EXPECT_EQ(SecondsToTicks(0), 0);
  EXPECT_EQ(TicksToSeconds(1), 0);   // (1 + 9) * 92 / 1675
  EXPECT_EQ(TicksToSeconds(10), 1);  // (10 + 9) * 92 / 1675
  EXPECT_EQ(SecondsToTicks(1), 18);
  // Large values must not overflow on the way.
  EXPECT_EQ(SecondsToTicks(2000000), 36413043);
  EXPECT_EQ(TicksToSeconds(kTicksPerWrap), 2144570);
}

TEST(TickClock, TickIsTheMillisecondClockOver55) {
  ClockAt clock(55 * 1000 + 10);
  const uint32_t tick = TickNow();
  EXPECT_GE(tick, 1000u);
  EXPECT_LT(tick, 1000u + 1000u);  // generous: the clock moves while the test runs
}

TEST(TickClock, StartTimerCapsTheTicks) {
  for (int32_t ticks : {kTicksPerWrap, kTicksPerWrap + 1, 0x7FFFFFFF}) {
    TTimerRecord t;
    StartTimer(t, ticks);
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, static_cast<uint32_t>(kTicksPerWrap)) << ticks;
  }
  TTimerRecord t;
  StartTimer(t, 1092);
  EXPECT_EQ(t.ExpireTicks - t.StartTicks, 1092u);
}

TEST(TickClock, ExpiredTimerHasNoTicksRemaining) {
  const uint32_t now = TickNow();
  TTimerRecord t{now - 10, now - 5};
  EXPECT_TRUE(TimerDue(t));
  EXPECT_EQ(TicksRemaining(t), 0);
  EXPECT_GE(TicksElapsed(t), 10);
}

TEST(TickClock, RunningTimerCountsBothWays) {
  TTimerRecord t;
  StartTimer(t, 1000);
  EXPECT_FALSE(TimerDue(t));
  EXPECT_GT(TicksRemaining(t), 900);
  EXPECT_LE(TicksRemaining(t), 1000);
  EXPECT_GE(TicksElapsed(t), 0);
  EXPECT_LT(TicksElapsed(t), 100);
}

TEST(TickClock, ZeroTickTimerIsDueAtTheNextTickChange) {
  TTimerRecord t;
  StartTimer(t, 0);
  const bool dueAtOnce = TimerDue(t);
  if (TickNow() == t.StartTicks) {
    EXPECT_FALSE(dueAtOnce);
  }
  ASSERT_TRUE(WaitUntil([&] { return TimerDue(t); }));
  EXPECT_GT(TickNow(), t.StartTicks);
}

// A timer started just before the millisecond clock wraps keeps counting on one scale after
// the wrap: it is neither due early nor late, and elapsed/remaining stay consistent.
TEST(TickClock, TimerSpanningTheClockWrap) {
  TTimerRecord t{kLastTick - 5, kLastTick - 5 + 100};

  {
    ClockAt clock(20 * kMsPerTick);  // 26 ticks after the start, across the wrap
    const int32_t elapsed = TicksElapsed(t);
    EXPECT_GE(elapsed, 26);
    EXPECT_LT(elapsed, 26 + 50);
    EXPECT_FALSE(TimerDue(t));
    EXPECT_GT(TicksRemaining(t), 100 - 26 - 50);
    EXPECT_LE(TicksRemaining(t), 100 - 26);
  }
  {
    ClockAt clock(200 * kMsPerTick);  // 206 ticks after the start
    EXPECT_TRUE(TimerDue(t));
    EXPECT_EQ(TicksRemaining(t), 0);
    EXPECT_GE(TicksElapsed(t), 206);
  }
}

// Started on the real clock a few ticks before it wraps, due a few ticks after the wrap: the
// timer must neither fire at the wrap nor miss its time after it.
TEST(TickClock, TimerStartedBeforeTheWrapExpiresAfterIt) {
  ClockAt clock(0xFFFFFFFFu - 3 * kMsPerTick);  // about three ticks before the wrap
  TTimerRecord t;
  StartTimer(t, 6);
  ASSERT_GT(t.StartTicks, kLastTick - 5);
  EXPECT_FALSE(TimerDue(t));

  // Just after the wrap: the timer has not run its six ticks yet.
  ASSERT_TRUE(WaitUntil([&] { return TickNow() < t.StartTicks; }));
  for (;;) {  // a consistent look: the tick must not change between the two readings
    const uint32_t before = TickNow();
    const bool due = TimerDue(t);
    const int32_t elapsed = TicksElapsed(t);
    if (TickNow() != before) continue;
    EXPECT_GE(elapsed, 1);
    EXPECT_EQ(due, elapsed > 6) << elapsed;
    break;
  }

  ASSERT_TRUE(WaitUntil([&] { return TimerDue(t); }));
  EXPECT_LT(TickNow(), t.StartTicks);  // it came due after the wrap
  EXPECT_GE(TicksElapsed(t), 7);
  EXPECT_EQ(TicksRemaining(t), 0);
}

TEST(TickClock, WaitTicks) {
  EXPECT_EQ(WaitTicks(0, true), 0);
  EXPECT_EQ(WaitTicks(-5, false), 0);

  TTimerRecord t;
  StartTimer(t, 0);
  EXPECT_EQ(WaitTicks(2, false), 0);
  EXPECT_GE(TicksElapsed(t), 2);
}

TEST(TickClock, YieldingWaitServesTheQueueAndStopsOnQuit) {
  std::atomic<int> served{0};
  const platform::HWND window = platform::CreateHiddenWindow(
      "tick", [&](uint32_t, uintptr_t, intptr_t) -> intptr_t { return ++served; });
  std::thread sender([&] { platform::SendMessage(window, 1, 0, 0); });
  // The sender can only finish when the waiting main thread serves its message, and only
  // WaitTicks pumps here.
  const TTimerRecord limit{TickNow(), TickNow() + SecondsToTicks(30)};
  while (served.load() == 0 && !TimerDue(limit)) EXPECT_EQ(WaitTicks(1, true), 0);
  platform::DestroyHiddenWindow(window);  // releases the sender should it still wait
  sender.join();
  EXPECT_EQ(served.load(), 1);

  platform::Quit(5);
  EXPECT_EQ(WaitTicks(kTicksPerWrap, true), kQuitMessage);
  EXPECT_EQ(platform::Run(), 5);  // the request stayed queued for the outer loop
}

TEST(TickClock, SpinMilliseconds) {
  const uint32_t start = platform::timeGetTime();
  EXPECT_EQ(SpinMilliseconds(3), 3);
  EXPECT_GE(platform::timeGetTime() - start, 3u);
}
