#pragma once
// The packet manager: one per serial port that has packets. It reads the port's received
// data from the dispatcher into a buffer of its own, offers it byte by byte to its packets,
// owns the one timer used for packet timeouts, lets at most one packet of the port collect
// at a time, and brackets event delivery so that no matching happens while an event runs.
//
// Locking: one process-wide packet lock guards every manager and packet. The dispatch thread
// holds it while it matches and releases it while a packet event runs on the main thread
// (the main thread may then change packets; arming is deferred to the end of the event).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/ComPort.h"
#include "comm/Dispatcher.h"
#include "packet/DataPacket.h"
#include "platform/MessageQueue.h"

namespace comm {

// A re-entrant lock that can be let go entirely by the thread holding it (at any depth) and
// taken back to the same depth: the dispatch thread does so around a packet event.
class TPacketLock {
 public:
  void lock();
  void unlock();
  // Releases every level the calling thread holds; returns the depth to give to Resume.
  int Suspend();
  void Resume(int depth);
  bool HeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }

 private:
  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // only the owner touches it
};

TPacketLock& PacketLock();

// The manager's own message: free the manager (posted when its last packet unbinds).
constexpr uint32_t kManagerReleaseMessage = 0xB021;
constexpr int32_t kPacketBufferStep = 8192;

class TDataPacketManager {
 public:
  // Registers with the port. Use PacketManagers().CreateManager, which owns the result and
  // enables it when the port is open and loaded.
  explicit TDataPacketManager(TCustomComPort* port);
  ~TDataPacketManager();
  TDataPacketManager(const TDataPacketManager&) = delete;
  TDataPacketManager& operator=(const TDataPacketManager&) = delete;

  TCustomComPort* Port() const { return port_; }
  void AddPacket(TDataPacket* packet);
  void RemovePacket(TDataPacket* packet);
  int32_t PacketCount() const { return static_cast<int32_t>(packets_.size()); }
  TDataPacket* Packet(int32_t i) const { return packets_[i]; }

  void TakeLock(TDataPacket* packet, int32_t ticks);
  void ReleaseLock(TDataPacket* packet);
  void SetInEvent(bool value);
  void RemoveData(int32_t index, int32_t length);

  // Enabling registers DataHandler and creates the timer trigger on the open port's
  // dispatcher; disabling undoes that and releases the buffer.
  void SetEnabled(bool value);
  void PortCallback(TCustomComPort* port, TPortNotice kind);
  void DataHandler(uint32_t msg, uint32_t wParam, int32_t lParam);
  void ProcessData(int32_t start);
  // Acts on an enable that was pending while the port's owner was loading.
  void ApplyPendingEnable();

  // ---- read access
  const uint8_t* Buffer() const { return buffer_.get(); }
  int32_t BufferCount() const { return bufferCount_; }
  int32_t Capacity() const { return capacity_; }
  int32_t ScanIndex() const { return scanIndex_; }
  bool Enabled() const { return enabled_.load(); }
  bool InEvent() const { return inEvent_.load(); }
  bool EnablePending() const { return enablePending_; }
  bool HandlerRegistered() const { return handlerRegistered_; }
  bool Destroying() const { return destroying_; }
  int32_t TimerHandle() const { return timerHandle_; }
  TDataPacket* LockedPacket() const { return lockedPacket_; }
  // The dispatcher the manager is registered with (null while disabled).
  TBaseDispatcher* Dispatcher() const { return dispatcher_; }
  platform::HWND Window() const { return window_; }

 private:
  friend class TDataPacket;
  friend class TDataPacketManagerList;

  // Reaches the manager from the dispatcher's handler entry; cleared (under the packet lock)
  // when the manager goes, so that a delivery already under way finds nothing.
  struct TAnchor {
    TDataPacketManager* Manager;
  };

  void ReleaseBuffer();
  void GrowFor(int32_t count);
  void DisarmAll();
  // Arms every packet whose Enabled is true; a packet that cannot be armed is left disabled
  // and the first such exception is raised after the others have been armed.
  void ArmEnabled();
  void ForgetPacket(TDataPacket* packet);
  void Start();
  void LeavePort();
  // Drops the registration with a dispatcher that no longer exists, without calling it.
  void ForgetDispatcher();
  // The port is being destroyed: forget it without calling it.
  void PortDestroyed();
  intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);

  TCustomComPort* port_;
  std::vector<TDataPacket*> packets_;
  // Packets unbound while an event was being delivered: they keep the manager until the
  // event ends (their own completion still uses it).
  std::vector<TDataPacket*> unboundInEvent_;
  std::unique_ptr<uint8_t[]> buffer_;
  int32_t capacity_ = 0;
  int32_t bufferCount_ = 0;
  int32_t scanIndex_ = 0;
  TDataPacket* lockedPacket_ = nullptr;
  int32_t timerHandle_ = 0;
  // Started with the timeout timer: a timer message that reaches the manager after the lock
  // was released and taken again is recognised as stale.
  TTimerRecord lockTimer_;
  int32_t lockTicks_ = 0;
  bool handlerRegistered_ = false;
  std::atomic<bool> enabled_{false};
  std::atomic<bool> inEvent_{false};
  bool dataPending_ = false;
  int32_t pendingStart_ = 0;
  bool enablePending_ = false;
  bool destroying_ = false;
  bool releasePending_ = false;  // the release message came during an event
  TBaseDispatcher* dispatcher_ = nullptr;
  std::shared_ptr<TAnchor> anchor_;
  platform::HWND window_ = 0;
};

// Every manager of the process, each owned by the list.
class TDataPacketManagerList {
 public:
  TDataPacketManagerList();
  // Frees every remaining manager, each with its port reference cleared first.
  ~TDataPacketManagerList();
  TDataPacketManagerList(const TDataPacketManagerList&) = delete;
  TDataPacketManagerList& operator=(const TDataPacketManagerList&) = delete;

  // The port's manager (linear search), or null.
  TDataPacketManager* GetPortManager(const TCustomComPort* port) const;
  TDataPacketManager* CreateManager(TCustomComPort* port);
  // Frees the manager.
  void Destroy(TDataPacketManager* manager);
  int32_t Count() const { return static_cast<int32_t>(managers_.size()); }

 private:
  std::vector<std::unique_ptr<TDataPacketManager>> managers_;
};

TDataPacketManagerList& PacketManagers();

}  // namespace comm
