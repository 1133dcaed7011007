#include "app/flash/SleepInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace flash {

TSleepInhibitor::~TSleepInhibitor() {
  while (!locks_.empty()) Release(locks_.begin()->first);
  Disconnect();
}

bool TSleepInhibitor::Connect() {
  if (bus_ != nullptr) return true;
  // DBUS_SYSTEM_BUS_ADDRESS, or the system bus's usual socket. Connecting to a local socket
  // answers at once; the greeting and the calls then go out as the loop serves the bus.
  if (sd_bus_open_system(&bus_) < 0) {
    bus_ = nullptr;
    return false;
  }
  return true;
}

void TSleepInhibitor::Disconnect() {
  if (bus_ == nullptr) return;
  // Requests still waiting for their answer are withdrawn; locks already granted stay held by
  // their descriptors, which do not depend on the connection.
  for (auto& [id, lock] : locks_) {
    if (lock->Call != nullptr) lock->Call = sd_bus_slot_unref(lock->Call);
  }
  bus_ = sd_bus_flush_close_unref(bus_);
}

uint64_t TSleepInhibitor::Take(const std::string& why) {
  auto lock = std::make_unique<TLock>();
  lock->Owner = this;
  lock->Id = nextId_++;
  const uint64_t id = lock->Id;
  if (Connect()) {
    const int r = sd_bus_call_method_async(
        bus_, &lock->Call, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "Inhibit", &TSleepInhibitor::Reply, lock.get(), "ssss",
        "sleep:idle", "Vexilora update", why.c_str(), "block");
    if (r < 0) lock->Call = nullptr;
  }
  locks_.emplace(id, std::move(lock));
  return id;
}

int TSleepInhibitor::Reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  TLock& lock = *static_cast<TLock*>(userdata);
  // An error (no logind, a policy that says no) leaves the update as it would be without it.
  if (sd_bus_message_is_method_error(reply, nullptr)) return 0;
  int fd = -1;
  if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return 0;
  // The message owns its descriptor; the lock lasts while a copy of it is open.
  lock.Fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  return 0;
}

void TSleepInhibitor::Release(uint64_t id) {
  const auto it = locks_.find(id);
  if (it == locks_.end()) return;
  TLock& lock = *it->second;
  if (lock.Call != nullptr) lock.Call = sd_bus_slot_unref(lock.Call);
  if (lock.Fd >= 0) close(lock.Fd);
  locks_.erase(it);
}

size_t TSleepInhibitor::Held() const {
  size_t n = 0;
  for (const auto& [id, lock] : locks_)
    if (lock->Fd >= 0) ++n;
  return n;
}

int TSleepInhibitor::Fd() const { return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1; }

short TSleepInhibitor::Events() const {
  if (bus_ == nullptr) return 0;
  const int events = sd_bus_get_events(bus_);
  return events > 0 ? static_cast<short>(events) : 0;
}

int TSleepInhibitor::TimeoutMs() const {
  if (bus_ == nullptr) return -1;
  uint64_t until = 0;
  if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  if (until <= nowUs) return 0;
  const uint64_t ms = (until - nowUs + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void TSleepInhibitor::Process() {
  if (bus_ == nullptr) return;
  int r = 0;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  // The bus went away: carry on without it (a later lock tries to connect again).
  if (r < 0) Disconnect();
}

}  // namespace flash
