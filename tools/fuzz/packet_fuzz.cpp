// libFuzzer target for packet matching. A port is opened on a dispatcher without a device or
// threads: the fuzzer's bytes are handed to it as received data and the dispatcher's own input
// and timer passes are run on the calling (main) thread, so the real avail and timer
// deliveries reach the packet manager, and the packet events run directly.
//
// Two modes, chosen by the first input byte:
// - reference: one packet with a fixed random configuration is fed random data in random
//   pieces; the packets delivered must be exactly those that a plain search for the start and
//   end strings finds in the whole stream.
// - chaos: random data, arming and disarming, end-string, end-condition and other property
//   changes, clock jumps that fire timeouts, a second packet, closing and reopening the port,
//   and event handlers that change or unbind or destroy their packet; the manager's invariants
//   are checked after every step.
//
// Built by tools/fuzz/build.sh (clang, libFuzzer, ASan and UBSan); not part of the normal build.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "packet/DataPacket.h"
#include "packet/DataPacketManager.h"
#include "platform/Clock.h"
#include "platform/MessageQueue.h"

using namespace comm;

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace {

// A device that exists only as the bytes the fuzzer hands it.
class TFuzzDispatcher final : public TBaseDispatcher {
 public:
  using TBaseDispatcher::TBaseDispatcher;
  ~TFuzzDispatcher() override { Shutdown(); }

  void Feed(const std::string& bytes) { pending_ += bytes; }

  int32_t LineFunction(int32_t) override { return 0; }
  int32_t PurgeDevice(int32_t) override { return 0; }
  int32_t ReadDeviceErrors(TDeviceStatus&) override { return 0; }
  int32_t NoteReadFailure(int32_t) override { return 0; }
  int32_t GetDeviceState(TDeviceState& record) override {
    record = state_;
    return 0;
  }
  int32_t ReadDevice(uint8_t* buffer, int32_t count) override {
    const int32_t n = std::min<int32_t>(count, static_cast<int32_t>(pending_.size()));
    std::copy(pending_.begin(), pending_.begin() + n, buffer);
    pending_.erase(0, static_cast<size_t>(n));
    return n;
  }
  int32_t SetDeviceState(const TDeviceState& record) override {
    state_ = record;
    return 0;
  }
  int32_t WriteDevice(const uint8_t*, int32_t count) override { return count; }
  bool WaitDeviceEvent(uint32_t& mask) override {
    mask = 0;
    return false;
  }
  bool SizeDeviceQueues(int32_t, int32_t) override { return true; }
  void StartThreads() override {}
  void StopThreads() override {}
  int32_t OutputPending() override { return 0; }
  int32_t InputPending() override { return static_cast<int32_t>(pending_.size()); }
  int32_t OpenDevice(const std::string&, int32_t, int32_t) override {
    deviceHandle_.store(1);
    return 0;
  }
  int32_t CloseDevice() override {
    deviceHandle_.store(-1);
    return 0;
  }
  int32_t ServiceDevice() override { return 0; }
  uint8_t ReadModemLines() override { return 0; }
  int32_t SetBreak(bool) override { return 0; }

 private:
  std::string pending_;
  TDeviceState state_;
};

uint32_t clockOffset = 0;

void AdvanceTicks(uint32_t ticks) {
  clockOffset += ticks * kMsPerTick;
  platform::SetClockOffsetForTesting(clockOffset);
}

void DrainMainThread() {
  while (platform::PumpOneMessage() == platform::TPumpResult::Dispatched) {
  }
}

struct TRig {
  TComPort port;
  TFuzzDispatcher* dispatcher = nullptr;

  TRig() {
    port.SetComNumber(1);
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    port.SetDispatcherFactory([this](TCustomComPort* cp) {
      auto d = std::make_unique<TFuzzDispatcher>(cp);
      dispatcher = d.get();
      return d;
    });
  }
  // Received bytes: moved into the ring and announced to the handlers, as the dispatch
  // thread does.
  void Receive(const std::string& bytes) {
    if (!port.Open() || !dispatcher) return;
    dispatcher->Feed(bytes);
    for (int i = 0; i < 4 && dispatcher && port.Open(); ++i) dispatcher->InputPass();
  }
  void Timers() {
    if (port.Open() && dispatcher) dispatcher->TimerPass();
  }
  void SetOpen(bool open) {
    try {
      port.SetOpen(open);
    } catch (const ECommException&) {
      // A packet that cannot be armed refuses the open.
    }
    if (!port.Open()) dispatcher = nullptr;
  }
};

std::string Pick(FuzzedDataProvider& in, const char* alphabet, size_t maxLength) {
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, maxLength);
  const size_t k = std::char_traits<char>::length(alphabet);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += alphabet[in.ConsumeIntegralInRange<size_t>(0, k - 1)];
  return s;
}

// ---- reference mode ---------------------------------------------------------------------

uint8_t Fold(uint8_t c, bool ignoreCase) {
  return (ignoreCase && c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
}

bool MatchAt(const std::string& s, size_t at, const TMatchString& m, bool ignoreCase) {
  if (at + m.Match.size() > s.size()) return false;
  for (size_t k = 0; k < m.Match.size(); ++k)
    if (m.Mask[k] != '1' &&
        Fold(static_cast<uint8_t>(s[at + k]), ignoreCase) != static_cast<uint8_t>(m.Match[k]))
      return false;
  return true;
}

// The first index at or after from where m matches, or npos.
size_t Find(const std::string& s, size_t from, const TMatchString& m, bool ignoreCase) {
  for (size_t i = from; i + m.Match.size() <= s.size(); ++i)
    if (MatchAt(s, i, m, ignoreCase)) return i;
  return std::string::npos;
}

struct TConfig {
  TPacketStartCond startCond;
  TPacketEndSet endCond;
  std::string startString, endString;
  bool ignoreCase, includeStrings;
  int32_t packetSize;
};

// What the packet must deliver for the whole stream, whatever the pieces it arrived in.
std::vector<std::string> Expected(const std::string& s, const TConfig& c) {
  const TMatchString start = ParseMatchString(c.startString, c.ignoreCase);
  const TMatchString end = ParseMatchString(c.endString, c.ignoreCase);
  const bool bySize = c.endCond.Contains(ecPacketSize);
  const bool byString = c.endCond.Contains(ecString);
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t first, body;
    if (c.startCond == scString) {
      first = Find(s, pos, start, c.ignoreCase);
      if (first == std::string::npos) break;
      body = first + start.Match.size();
    } else {
      if (pos >= s.size()) break;
      first = body = pos;
    }
    size_t last = std::string::npos;  // index of the packet's last byte
    bool endedByString = false;
    if (c.startCond == scString &&
        (c.endCond.Empty() ||
         (bySize && static_cast<int32_t>(start.Match.size()) == c.packetSize))) {
      last = body - 1;
    } else {
      for (size_t i = body; i < s.size() && last == std::string::npos; ++i) {
        if (bySize && static_cast<int32_t>(i - first + 1) >= c.packetSize) {
          last = i;
        } else if (byString && i + 1 >= body + end.Match.size() &&
                   MatchAt(s, i + 1 - end.Match.size(), end, c.ignoreCase)) {
          last = i;
          endedByString = true;
        }
      }
    }
    if (last == std::string::npos) break;
    size_t from = first, length = last - first + 1;
    if (!c.includeStrings && c.startCond == scString) {
      from += start.Match.size();
      length -= start.Match.size();
    }
    if (!c.includeStrings && endedByString) length -= end.Match.size();
    out.push_back(s.substr(from, length));
    pos = last + 1;
  }
  return out;
}

void RunReference(FuzzedDataProvider& in) {
  TConfig c;
  c.startCond = in.ConsumeBool() ? scString : scAnyData;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      c.endCond = {};
      break;
    case 1:
      c.endCond = {ecString};
      break;
    case 2:
      c.endCond = {ecPacketSize};
      break;
    default:
      c.endCond = {ecString, ecPacketSize};
      break;
  }
  c.startString = Pick(in, "abA?\\\n", 3);
  c.endString = Pick(in, "abB?\\\r", 3);
  c.ignoreCase = in.ConsumeBool();
  c.includeStrings = in.ConsumeBool();
  c.packetSize = in.ConsumeIntegralInRange<int32_t>(0, 12);

  TRig rig;
  std::vector<std::string> got;
  TDataPacket packet;
  packet.SetStartCond(c.startCond);
  packet.SetEndCond(c.endCond);
  packet.SetStartString(c.startString);
  packet.SetEndString(c.endString);
  packet.SetIgnoreCase(c.ignoreCase);
  packet.SetIncludeStrings(c.includeStrings);
  packet.SetPacketSize(c.packetSize);
  packet.SetAutoEnable(true);
  packet.SetTimeOut(0);
  packet.OnStringPacket = [&](TDataPacket*, const std::string& s) { got.push_back(s); };
  packet.SetComPort(&rig.port);
  rig.SetOpen(true);
  try {
    packet.SetEnabled(true);
  } catch (const EInvalidProperty&) {
    return;  // a configuration that cannot be armed delivers nothing
  }
  std::string stream;
  while (in.remaining_bytes() > 0) {
    const std::string piece = Pick(in, "abABab?\\\n\r", 40);
    stream += piece;
    rig.Receive(piece);
  }
  const std::vector<std::string> want = Expected(stream, c);
  if (got != want) {
    std::fprintf(stderr, "reference mismatch: got %zu packets, expected %zu\n", got.size(),
                 want.size());
    std::abort();
  }
}

// ---- chaos mode ---------------------------------------------------------------------------

void CheckManager(TRig& rig, bool afterPass) {
  std::lock_guard lock(PacketLock());
  TDataPacketManager* m = PacketManagers().GetPortManager(&rig.port);
  if (!m) return;
  FUZZ_CHECK(!m->InEvent());
  FUZZ_CHECK(m->BufferCount() >= 0 && m->BufferCount() <= m->Capacity());
  FUZZ_CHECK((m->Buffer() == nullptr) == (m->Capacity() == 0));
  FUZZ_CHECK(m->ScanIndex() >= -1);
  int collecting = 0;
  bool partial = false;
  for (int32_t i = 0; i < m->PacketCount(); ++i) {
    TDataPacket* p = m->Packet(i);
    if (std::getenv("PACKET_FUZZ_TRACE"))
      std::fprintf(stderr, "  %s enabled %d state %d owns %d locked %d wait %d mgr %d\n",
                   p->Name().c_str(), p->Enabled(), static_cast<int>(p->PacketState()),
                   p->OwnsTimer(), m->LockedPacket() == p, p->WaitingForLock(), m->Enabled());
    FUZZ_CHECK(p->Manager() == m);
    if (p->PacketState() == TPacketState::Collecting) ++collecting;
    if (p->OwnsTimer()) FUZZ_CHECK(m->LockedPacket() == p);
    if (p->PacketState() != TPacketState::Idle) FUZZ_CHECK(m->Enabled());
    if (p->Enabled() && p->PacketState() != TPacketState::Idle && p->StartIndex() != -1) {
      partial = true;
      FUZZ_CHECK(p->StartIndex() < std::max(m->BufferCount(), 1));
    }
  }
  FUZZ_CHECK(collecting <= 1);
  if (TDataPacket* locked = m->LockedPacket())
    FUZZ_CHECK(locked->PacketState() == TPacketState::Collecting);
  if (!m->Enabled()) FUZZ_CHECK(m->Buffer() == nullptr && m->TimerHandle() == 0);
  // Bytes that no packet is using are never kept past a pass.
  if (afterPass && !m->LockedPacket() && !partial) FUZZ_CHECK(m->Buffer() == nullptr);
}

void RunChaos(FuzzedDataProvider& in) {
  TRig rig;
  std::unique_ptr<TDataPacket> packets[2];
  size_t fed = 0, delivered = 0;

  // What an event handler does, drawn from the input while it runs.
  auto react = [&](TDataPacket* p) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
        p->SetEnabled(!p->Enabled());
        break;
      case 1:
        p->SetEndString(Pick(in, "ab\r?", 2));
        break;
      case 2:
        p->SetTimeOut(in.ConsumeIntegralInRange<int32_t>(0, 3));
        break;
      case 3:
        p->SetAutoEnable(in.ConsumeBool());
        break;
      case 4:
        p->SetComPort(nullptr);
        break;
      case 5:
        for (auto& owned : packets)
          if (owned.get() == p) owned.reset();
        break;
      case 6:
        throw std::runtime_error("handler failure");
      default:
        break;
    }
  };
  auto make = [&](int i) {
    auto p = std::make_unique<TDataPacket>();
    p->SetName(i == 0 ? "DataPacket1" : "DataPacket2");
    p->SetStartString(i == 0 ? "\n" : "a");
    p->SetEndString("\r");
    p->SetEndCond({ecString});
    p->SetTimeOut(2);
    p->OnPacket = [&](TDataPacket*, const void* data, int32_t size) {
      FUZZ_CHECK(size >= 0 && (size == 0 || data != nullptr));
      delivered += static_cast<size_t>(size);
    };
    p->OnStringPacket = [&, raw = p.get()](TDataPacket*, const std::string&) {
      try {
        react(raw);
      } catch (const EInvalidProperty&) {
      }
    };
    p->OnTimeout = [&, raw = p.get()](TDataPacket*) {
      try {
        react(raw);
      } catch (const EInvalidProperty&) {
      }
    };
    p->SetComPort(&rig.port);
    packets[i] = std::move(p);
  };
  make(0);
  rig.SetOpen(in.ConsumeBool());

  while (in.remaining_bytes() > 0) {
    const int which = in.ConsumeIntegralInRange<int>(0, 1);
    TDataPacket* p = packets[which].get();
    bool pass = false;
    const int op = in.ConsumeIntegralInRange<int>(0, 13);
    if (std::getenv("PACKET_FUZZ_TRACE")) std::fprintf(stderr, "op %d on packet %d\n", op, which);
    try {
      switch (op) {
        case 0:
        case 1:
        case 2: {
          const std::string bytes = Pick(in, "\n\rabAB?C", 24);
          fed += rig.port.Open() ? bytes.size() : 0;
          rig.Receive(bytes);
          pass = !bytes.empty() && rig.port.Open();
          break;
        }
        case 3:
          if (p) p->SetEnabled(!p->Enabled());
          break;
        case 4:
          if (p) p->SetEndString(Pick(in, "\rab?\\C", 3));
          break;
        case 5:
          if (p) {
            const int e = in.ConsumeIntegralInRange<int>(0, 3);
            p->SetEndCond(e == 0   ? TPacketEndSet{}
                          : e == 1 ? TPacketEndSet{ecString}
                          : e == 2 ? TPacketEndSet{ecPacketSize}
                                   : TPacketEndSet{ecString, ecPacketSize});
          }
          break;
        case 6:
          if (p) {
            p->SetStartString(Pick(in, "\na?\\", 2));
            p->SetStartCond(in.ConsumeBool() ? scString : scAnyData);
            p->SetPacketSize(in.ConsumeIntegralInRange<int32_t>(0, 6));
          }
          break;
        case 7:
          if (p) {
            p->SetAutoEnable(in.ConsumeBool());
            p->SetIgnoreCase(in.ConsumeBool());
            p->SetIncludeStrings(in.ConsumeBool());
            p->SetTimeOut(in.ConsumeIntegralInRange<int32_t>(0, 4));
          }
          break;
        case 8:
          AdvanceTicks(in.ConsumeIntegralInRange<uint32_t>(0, 6));
          rig.Timers();
          break;
        case 9:
          rig.SetOpen(!rig.port.Open());
          break;
        case 10:
          if (!packets[which]) {
            make(which);
          } else {
            packets[which].reset();
          }
          break;
        case 11:
          if (p) p->SetComPort(p->ComPort() ? nullptr : &rig.port);
          break;
        case 12:
          DrainMainThread();  // managers whose last packet left go now
          break;
        default:
          if (p) p->Restart();
          break;
      }
    } catch (const ECommException&) {
      // Settings that cannot be armed are refused; the rest goes on.
    }
    CheckManager(rig, pass);
  }
  FUZZ_CHECK(delivered <= fed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::InitMainThread();
  // Handler failures are part of the input; their messages are not.
  SetExceptionDisplay([](const std::exception&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    RunReference(in);
  } else {
    RunChaos(in);
  }
  DrainMainThread();
  return 0;
}
