#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"

namespace comm {

// The version every communication component reports (and the dispatch log's first line).
inline constexpr const char* kCommVersion = "v4.07";

// What a component is told about another one (Notification).
enum TOperation : uint8_t { opInsert, opRemove };

// Common base of the communication components.
//
// Ownership: a component created with an owner is listed among the owner's components (in
// creation order) until it is destroyed. The list does not own the memory: the application
// keeps its components as members or smart pointers. When an owner is destroyed first, its
// components simply lose their owner. Main thread only.
class TBaseComponent {
 public:
  explicit TBaseComponent(TBaseComponent* owner = nullptr);
  virtual ~TBaseComponent();
  TBaseComponent(const TBaseComponent&) = delete;
  TBaseComponent& operator=(const TBaseComponent&) = delete;

  TBaseComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // The i-th owned component, 0 <= i < ComponentCount().
  TBaseComponent* Component(int i) const { return components_.at(static_cast<size_t>(i)); }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // Asks to be told (Notification with opRemove) when component is destroyed, also when it
  // has another owner. Both sides forget the request when either is destroyed.
  void FreeNotification(TBaseComponent* component);
  void RemoveFreeNotification(TBaseComponent* component);

  // Read-only: always "v4.07"; writing it is ignored.
  std::string Version() const { return kCommVersion; }
  void SetVersion(const std::string&) {}

  // True while the component is being loaded from its stored form; the error check raises
  // nothing meanwhile. Read from worker threads too, hence atomic.
  bool Loading() const { return loading_.load(std::memory_order_acquire); }
  void BeginLoading() { loading_.store(true, std::memory_order_release); }
  // Ends loading. Components that act on their stored values once loaded override it and
  // call the base.
  virtual void Loaded();

 protected:
  // Told when a component is inserted into or removed from this component's owner list, and
  // when a component it asked FreeNotification of is destroyed. The base passes the notice
  // on to every owned component (last to first), so siblings hear of each other.
  virtual void Notification(TBaseComponent* component, TOperation operation);
  // Sends the insertion notice to the owner (and so to the siblings). A class calls it at
  // the end of its constructor, once the object is complete enough to be recognised by the
  // receivers; later calls do nothing.
  void AnnounceInsert();

  std::atomic<bool> loading_{false};

 private:
  TBaseComponent* owner_ = nullptr;
  std::vector<TBaseComponent*> components_;
  std::vector<TBaseComponent*> freeNotifies_;
  std::string name_;
  bool announced_ = false;
};

// ---- Tick clock -------------------------------------------------------------------------
// Every timeout of the communication components counts in ticks of 55 ms.

inline constexpr uint32_t kMsPerTick = 55;
// The tick count of 2^31 ms: the longest timer. Half the tick counter's range, so that a
// running timer can always tell a wrapped clock from an expired one.
inline constexpr int32_t kTicksPerWrap = 39045157;
// The tick count at which the tick counter wraps (2^32 ms / 55, rounded up): the correction
// that keeps start, expiry and now on one scale when the millisecond clock has wrapped
// since the timer started.
inline constexpr int32_t kTicksPerClockWrap = 78090315;
inline constexpr int32_t kTicksPerMinute = 1092;
// What WaitTicks returns when a quit request ended the wait (the platform's quit message).
inline constexpr int32_t kQuitMessage = 0x0012;

struct TTimerRecord {
  uint32_t StartTicks = 0;
  uint32_t ExpireTicks = 0;
};

// timeGetTime() / 55.
uint32_t TickNow();
// ticks is capped at kTicksPerWrap; start = now, expiry = start + ticks.
void StartTimer(TTimerRecord& t, int32_t ticks);
bool TimerDue(const TTimerRecord& t);
int32_t TicksElapsed(const TTimerRecord& t);
// Never negative.
int32_t TicksRemaining(const TTimerRecord& t);
// Waits ticks (none when ticks <= 0); with yield it pumps the main-thread queue meanwhile,
// otherwise it spins. Returns 0 when the time passed, kQuitMessage when a quit request
// ended the wait (the request stays queued for the outer loop).
int32_t WaitTicks(int32_t ticks, bool yield);
int32_t TicksToSeconds(int32_t t);
int32_t SecondsToTicks(int32_t s);
// Spins on the millisecond clock until n ms have passed; returns n.
int32_t SpinMilliseconds(int32_t n);

using platform::PumpOneMessage;
using platform::TPumpResult;

}  // namespace comm
