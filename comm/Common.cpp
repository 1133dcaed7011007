#include "comm/Common.h"

#include <algorithm>
#include <thread>

#include "platform/Clock.h"
#include "platform/MessageQueue.h"

namespace comm {

TBaseComponent::TBaseComponent(TBaseComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TBaseComponent::~TBaseComponent() {
  // Owned components outlive their owner here; they only lose it.
  for (TBaseComponent* c : components_) c->owner_ = nullptr;
  components_.clear();
  // Those that asked to be told hear of the end; the requests die on both sides.
  std::vector<TBaseComponent*> notifies;
  notifies.swap(freeNotifies_);
  for (TBaseComponent* c : notifies) {
    std::erase(c->freeNotifies_, this);
    c->Notification(this, opRemove);
  }
  if (owner_ != nullptr) {
    std::erase(owner_->components_, this);
    owner_->Notification(this, opRemove);
  }
}

void TBaseComponent::FreeNotification(TBaseComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
    freeNotifies_.push_back(component);
  if (std::find(component->freeNotifies_.begin(), component->freeNotifies_.end(), this) ==
      component->freeNotifies_.end())
    component->freeNotifies_.push_back(this);
}

void TBaseComponent::RemoveFreeNotification(TBaseComponent* component) {
  if (component == nullptr) return;
  std::erase(freeNotifies_, component);
  std::erase(component->freeNotifies_, this);
}

void TBaseComponent::Notification(TBaseComponent* component, TOperation operation) {
  // A receiver may destroy or create components; the index is re-checked on every step.
  for (size_t i = components_.size(); i > 0; --i) {
    if (i > components_.size()) continue;
    TBaseComponent* c = components_[i - 1];
    if (c != component || operation == opInsert) c->Notification(component, operation);
  }
}

void TBaseComponent::AnnounceInsert() {
  if (announced_ || owner_ == nullptr) return;
  announced_ = true;
  owner_->Notification(this, opInsert);
}

void TBaseComponent::Loaded() { loading_.store(false, std::memory_order_release); }

uint32_t TickNow() { return platform::timeGetTime() / kMsPerTick; }

// Tick values stay below 2^31 (2^32 ms / 55 plus at most kTicksPerWrap); the comparisons
// are done in 64 bits so that adding the wrap correction cannot overflow.
//
// When now < start the millisecond clock has wrapped since the timer started; now is then
// moved onto the timer's scale by the tick counter's full range. (Correcting by only half
// the range, kTicksPerWrap, would make a timer that spans the wrap fire about 25 days late
// and report negative elapsed times.)

void StartTimer(TTimerRecord& t, int32_t ticks) {
  ticks = std::min(ticks, kTicksPerWrap);
  t.StartTicks = TickNow();
  t.ExpireTicks = t.StartTicks + static_cast<uint32_t>(ticks);
}

bool TimerDue(const TTimerRecord& t) {
  const int64_t now = TickNow();
  const int64_t start = t.StartTicks;
  const int64_t expiry = t.ExpireTicks;
  return expiry < now || (now < start && expiry < now + kTicksPerClockWrap);
}

int32_t TicksElapsed(const TTimerRecord& t) {
  const int64_t now = TickNow();
  const int64_t start = t.StartTicks;
  return static_cast<int32_t>(now < start ? now + kTicksPerClockWrap - start : now - start);
}

int32_t TicksRemaining(const TTimerRecord& t) {
  const int64_t now = TickNow();
  const int64_t start = t.StartTicks;
  const int64_t expiry = t.ExpireTicks;
  const int64_t remaining = now < start ? expiry - kTicksPerClockWrap - now : expiry - now;
  return remaining < 0 ? 0 : static_cast<int32_t>(remaining);
}

int32_t WaitTicks(int32_t ticks, bool yield) {
  if (ticks <= 0) return 0;
  TTimerRecord timer;
  StartTimer(timer, ticks);
  const bool onMain = platform::IsMainThread();
  while (!TimerDue(timer)) {
    if (!yield) continue;  // spins, as the caller asked for a wait without yielding
    if (onMain) {
      const platform::TPumpResult r = platform::PumpOneMessage();
      if (r == platform::TPumpResult::Quit) return kQuitMessage;
      // Nothing queued: sleep until something is, or until the next tick begins.
      if (r == platform::TPumpResult::None) {
        platform::WaitForMessage(kMsPerTick - platform::timeGetTime() % kMsPerTick);
      }
    } else {
      std::this_thread::yield();
    }
  }
  return 0;
}

int32_t TicksToSeconds(int32_t t) {
  return static_cast<int32_t>((static_cast<int64_t>(t) + 9) * 92 / 1675);
}

int32_t SecondsToTicks(int32_t s) {
  return static_cast<int32_t>(static_cast<int64_t>(s) * 1675 / 92);
}

int32_t SpinMilliseconds(int32_t n) {
  const uint32_t start = platform::timeGetTime();
  // Unsigned difference: correct across the clock's wrap.
  while (static_cast<int64_t>(platform::timeGetTime() - start) < n) std::this_thread::yield();
  return n;
}

}  // namespace comm
