#pragma once
// Holds off system sleep while devices are being updated: a logind inhibitor lock per device
// ("sleep:idle", mode "block"), asked for over the system bus and held for as long as its file
// descriptor is open. Without a system bus or logind the updates go on as they would anyway:
// nothing is said and nothing waits. The calls go out asynchronously: the fleet's loop polls
// the bus with everything else, so a slow bus never holds a transfer up.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace flash {

class TSleepInhibitor {
 public:
  TSleepInhibitor() = default;
  ~TSleepInhibitor();
  TSleepInhibitor(const TSleepInhibitor&) = delete;
  TSleepInhibitor& operator=(const TSleepInhibitor&) = delete;

  // Asks for a lock whose reason is why; returns its number for Release (never 0).
  uint64_t Take(const std::string& why);
  // Gives the lock up (or withdraws the request when logind has not answered yet).
  void Release(uint64_t id);
  // Locks granted and still held.
  size_t Held() const;

  // For the loop: the bus's descriptor (-1 when there is no bus), the poll events it waits for
  // and the milliseconds until it wants to be served again (-1: no time limit).
  int Fd() const;
  short Events() const;
  int TimeoutMs() const;
  // Serves the bus: sends what waits to be sent, takes the replies in.
  void Process();

 private:
  struct TLock {
    TSleepInhibitor* Owner = nullptr;
    uint64_t Id = 0;
    sd_bus_slot* Call = nullptr;
    int Fd = -1;
  };
  static int Reply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  bool Connect();
  void Disconnect();

  sd_bus* bus_ = nullptr;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::unique_ptr<TLock>> locks_;
};

}  // namespace flash
