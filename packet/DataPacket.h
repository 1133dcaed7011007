#pragma once
// The data packet component: watches the bytes a serial port receives and cuts packets out
// of the stream. A packet begins with a start string (or with any byte) and ends with an end
// string or after a fixed number of bytes; each packet is reported with OnPacket and
// OnStringPacket, a begun packet that does not end in time with OnTimeout.
//
// The packets of one port share a TDataPacketManager, which buffers the port's data, offers
// it byte by byte to its packets, owns the timeout timer and brackets event delivery.
//
// Threads: matching, completion and timeouts run on the port's dispatch thread; the three
// events run on the main thread while the dispatch thread waits. Property writes come from
// the main thread (also from inside the events); the packet lock serialises them with the
// matching.

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "comm/Common.h"

namespace comm {

class TCustomComPort;
class TDataPacket;
class TDataPacketManager;

enum TPacketStartCond : uint8_t { scString, scAnyData };
enum TPacketEndCond : uint8_t { ecString, ecPacketSize };

// A set of TPacketEndCond.
class TPacketEndSet {
 public:
  constexpr TPacketEndSet() = default;
  constexpr TPacketEndSet(std::initializer_list<TPacketEndCond> members) {
    for (TPacketEndCond m : members) bits_ |= Bit(m);
  }
  constexpr bool Contains(TPacketEndCond m) const { return (bits_ & Bit(m)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const TPacketEndSet&) const = default;

 private:
  static constexpr uint8_t Bit(TPacketEndCond m) { return static_cast<uint8_t>(1u << m); }
  uint8_t bits_ = 0;
};

enum class TPacketState : uint8_t { Idle, Waiting, Collecting };

using TPacketNotifyEvent = std::function<void(TDataPacket* Sender)>;
// Data points at the packet's first byte and is valid only during the call.
using TPacketEvent = std::function<void(TDataPacket* Sender, const void* Data, int32_t Size)>;
using TStringPacketEvent = std::function<void(TDataPacket* Sender, const std::string& Data)>;

// Codes of the packet's configuration errors (raised as EInvalidProperty).
constexpr int32_t kStartStringEmpty = -5501;
constexpr int32_t kPacketSizeBelowStartString = -5502;
constexpr int32_t kAnyDataWithoutEnd = -5503;
constexpr int32_t kEndStringEmpty = -5504;
constexpr int32_t kPacketSizeZero = -5505;

// Dispatch-log subkinds of the packet's entries (kind 18).
namespace packetlog {
constexpr uint16_t Enable = 242, Disable = 243, StringPacket = 244, SizePacket = 245,
                   PcktTimeout = 246, StartStr = 247, EndStr = 248, Idle = 249, Waiting = 250,
                   Collecting = 251;
}  // namespace packetlog

// A start or end string prepared for matching: one match byte and one mask byte per
// position ('1' for a wildcard, '0' otherwise).
struct TMatchString {
  std::string Match;
  std::string Mask;
};

// Backslash makes the next character literal (the backslash itself is dropped); an unescaped
// question mark matches any byte; with ignoreCase the text is upper-cased (ASCII letters only)
// first. A backslash at the very end has nothing to escape and stands for itself.
TMatchString ParseMatchString(std::string_view text, bool ignoreCase);

class TDataPacket : public TBaseComponent {
 public:
  // Binds to the first serial port among the owner's components, if there is one.
  explicit TDataPacket(TBaseComponent* owner = nullptr);
  // Unbinds from the port first. Destroying a packet from inside its own event is allowed.
  ~TDataPacket() override;

  // ---- published properties
  bool Enabled() const { return enabled_.load(); }
  // True arms the packet, false disarms it; an exception while arming leaves Enabled false.
  void SetEnabled(bool value);
  bool AutoEnable() const { return autoEnable_.load(); }
  void SetAutoEnable(bool value) { autoEnable_.store(value); }
  TPacketStartCond StartCond() const { return startCond_.load(); }
  void SetStartCond(TPacketStartCond value) { startCond_.store(value); }
  TPacketEndSet EndCond() const;
  // Disarms, stores, and re-arms when the packet was enabled.
  void SetEndCond(TPacketEndSet value);
  std::string StartString() const;
  void SetStartString(const std::string& value);
  std::string EndString() const;
  // Disarms, stores, and re-arms when the packet was enabled: a partial packet is dropped.
  void SetEndString(const std::string& value);
  bool IgnoreCase() const { return ignoreCase_.load(); }
  void SetIgnoreCase(bool value) { ignoreCase_.store(value); }
  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* value);
  int32_t PacketSize() const { return packetSize_.load(); }
  void SetPacketSize(int32_t value) { packetSize_.store(value); }
  bool IncludeStrings() const { return includeStrings_.load(); }
  void SetIncludeStrings(bool value) { includeStrings_.store(value); }
  // Ticks from the end of the start string to the end of the packet; 0: no limit. A change
  // applies from the next packet on.
  int32_t TimeOut() const { return timeOut_.load(); }
  void SetTimeOut(int32_t value) { timeOut_.store(value); }

  // ---- events (main thread)
  TPacketEvent OnPacket;
  TStringPacketEvent OnStringPacket;
  TPacketNotifyEvent OnTimeout;

  // ---- state (read access)
  TPacketState PacketState() const { return state_.load(); }
  int32_t StartIndex() const { return startIndex_.load(); }
  bool PacketReceived() const { return packetReceived_.load(); }
  bool PacketTimeoutHit() const { return packetTimeoutHit_.load(); }
  bool EnablePending() const { return enablePending_.load(); }
  bool WaitingForLock() const { return waitingForLock_.load(); }
  bool OwnsTimer() const { return ownsTimer_.load(); }
  bool SyncEvents() const { return true; }
  bool DiscardOnTimeout() const { return true; }
  TDataPacketManager* Manager() const { return manager_.load(); }

  // Ends loading: the manager acts on its pending enable, then the packet arms itself if an
  // enable was requested while loading.
  void Loaded() override;

  // ---- operations of the manager (called with the packet lock held)
  void Arm();
  void Disarm();
  void Restart();
  void ProcessChar(int32_t pos);
  void PacketTimedOut();
  void DataRemoved(int32_t count);

 protected:
  // A serial port added to the packet's owner binds an unbound packet; a destroyed port
  // unbinds it.
  void Notification(TBaseComponent* component, TOperation operation) override;

 private:
  friend class TDataPacketManager;

  void SetEnabledLocked(bool value);
  void SetPacketState(TPacketState state);
  void PacketComplete(bool byEndString);
  void Log(uint16_t subKind) const;
  void LogBytes(uint16_t subKind, const void* data, int32_t length) const;
  bool MatchesAt(const TMatchString& m, int32_t matchPos, uint8_t byte) const;
  uint8_t Fold(uint8_t byte) const;
  // Runs fn on the main thread (with the dispatch thread waiting) or directly, with the packet
  // lock released so that the main thread may change packets meanwhile.
  void DeliverOnMainThread(TDataPacketManager* manager, const std::function<void()>& fn);
  int32_t ArmingError() const;

  // Properties. Scalars are atomics because the matching reads them on the dispatch thread;
  // the strings and the end condition are written under the packet lock.
  std::atomic<bool> enabled_{false};
  std::atomic<bool> autoEnable_{true};
  std::atomic<TPacketStartCond> startCond_{scString};
  TPacketEndSet endCond_;
  std::string startString_;
  std::string endString_;
  std::atomic<bool> ignoreCase_{true};
  TCustomComPort* port_ = nullptr;
  std::atomic<int32_t> packetSize_{0};
  std::atomic<bool> includeStrings_{true};
  std::atomic<int32_t> timeOut_{2184};

  // Matching state (packet lock).
  std::atomic<TPacketState> state_{TPacketState::Idle};
  TMatchString matchStart_;
  TMatchString matchEnd_;
  bool armedIgnoreCase_ = true;  // IgnoreCase as it was when the match strings were prepared
  std::atomic<int32_t> startIndex_{-1};
  int32_t startMatchPos_ = 1;
  int32_t endMatchPos_ = 1;
  int32_t endCandidate_ = 0;
  int32_t effectivePacketSize_ = 0;
  int32_t packetData_ = 0;
  int32_t packetLength_ = 0;
  std::atomic<bool> enablePending_{false};
  std::atomic<bool> waitingForLock_{false};
  std::atomic<bool> ownsTimer_{false};
  std::atomic<bool> packetReceived_{false};
  std::atomic<bool> packetTimeoutHit_{false};
  std::atomic<TDataPacketManager*> manager_{nullptr};
  // Cleared by the destructor: an event that destroys its own packet must not touch it after.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace comm
