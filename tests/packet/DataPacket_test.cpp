// The packet component on a real port: a pty pair stands in for the device, the test plays
// the device on the master side, and the packet events arrive on the main thread while the
// test pumps it.

#include "packet/DataPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "packet/DataPacketManager.h"
#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

using namespace comm;

namespace {

// Collects what the application's standard exception display is given.
class ExceptionDisplayCapture {
 public:
  ExceptionDisplayCapture() {
    SetExceptionDisplay([this](const std::exception& e) {
      std::lock_guard lock(mutex_);
      messages_.push_back(e.what());
    });
  }
  ~ExceptionDisplayCapture() { SetExceptionDisplay(nullptr); }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

class PacketTest : public ::testing::Test {
 protected:
  PacketTest() {
    port.SetComNumber(TCustomComPort::PortNumberForPath(pty.SlavePath()));
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetDTR(false);
    port.SetRTS(false);
    // Managers released by earlier tests go now, so that counts start from a quiet state.
    while (platform::PumpOneMessage() == platform::TPumpResult::Dispatched) {
    }
  }

  // The utility's framing: a line feed in front, a carriage return behind.
  std::unique_ptr<TDataPacket> MakeLinePacket() {
    auto p = std::make_unique<TDataPacket>();
    p->SetName("DataPacket1");
    p->SetStartString("\n");
    p->SetEndString("\r");
    p->SetEndCond({ecString});
    p->SetTimeOut(500);
    p->OnStringPacket = [this](TDataPacket*, const std::string& s) { packets.push_back(s); };
    p->OnTimeout = [this](TDataPacket*) { ++timeouts; };
    p->SetComPort(&port);
    return p;
  }

  // The port's own avail event is served after the manager's handler in the same delivery:
  // once it has counted bytes, the manager has matched (or dropped) them.
  void CountAnnouncedBytes() {
    port.OnTriggerAvail = [this](TCustomComPort*, uint16_t count) { announced += count; };
  }
  bool WaitAnnounced(int n) {
    return WaitUntil([&] { return announced >= n; });
  }

  // The dispatch thread finishes a delivery after the event has returned on the main thread.
  static void WaitDeliveryEnd(TDataPacket& packet) {
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard lock(PacketLock());
      return !packet.Manager()->InEvent();
    }));
  }

  bool WaitPackets(size_t n) {
    return WaitUntil([&] { return packets.size() >= n; });
  }

  // Whether the manager's timeout timer runs.
  bool TimerActive(TDataPacket& packet) {
    std::lock_guard lock(PacketLock());
    for (const TTimerTrigger& t : port.ActiveDispatcher()->TimerTriggers())
      if (t.Handle == packet.Manager()->TimerHandle()) return t.Active;
    return false;
  }

  // Lets ticks pass (serving the main thread, where the events arrive).
  static bool LetTicksPass(int32_t ticks) {
    TTimerRecord t;
    StartTimer(t, ticks);
    return WaitUntil([&] { return TimerDue(t); });
  }

  PtyPair pty;
  TComPort port;
  std::vector<std::string> packets;  // main thread only
  int timeouts = 0;
  int announced = 0;
};

// ---- matching: one table of configurations and the packets their input yields -----------

struct MatchCase {
  const char* name;
  std::function<void(TDataPacket&)> configure;
  std::vector<std::string> writes;
  // The last expected packet ends the input: once it arrived, everything before it has been
  // matched, so the list is complete.
  std::vector<std::string> expected;
};

TEST_F(PacketTest, MatchesConfiguredPackets) {
  const MatchCase cases[] = {
      {"leading garbage is discarded", nullptr, {"xx\nOK\r"}, {"\nOK\r"}},
      {"the trailing line feed starts the next packet",
       nullptr,
       {"xx\nOK\r\n", "NEXT\r"},
       {"\nOK\r", "\nNEXT\r"}},
      {"end string CC is not ended by C and another byte",
       [](TDataPacket& p) { p.SetEndString("CC"); },
       {"\nC1Cx", "CC"},
       {"\nC1CxCC"}},
      {"IgnoreCase folds letters and keeps the received case",
       [](TDataPacket& p) { p.SetEndString("ok"); },
       {"\naOK", "\nbok", "\ncOk"},
       {"\naOK", "\nbok", "\ncOk"}},
      {"without IgnoreCase the case must match",
       [](TDataPacket& p) {
         p.SetIgnoreCase(false);
         p.SetEndString("ok");
       },
       {"\naOK", "ok"},
       {"\naOKok"}},
      {"an escaped question mark matches only itself",
       [](TDataPacket& p) { p.SetStartString("\\?"); },
       {"ab\r?c\r"},
       {"?c\r"}},
      {"an unescaped question mark matches any byte",
       [](TDataPacket& p) { p.SetStartString("?"); },
       {"ab\r"},
       {"ab\r"}},
      {"a failed start match resumes at a later beginning",
       [](TDataPacket& p) { p.SetStartString("ab"); },
       {"aab\r"},
       {"ab\r"}},
      {"a failed end match resumes at a later beginning",
       [](TDataPacket& p) { p.SetEndString("aab"); },
       {"\nxaaab"},
       {"\nxaaab"}},
      {"without IncludeStrings only the body is delivered",
       [](TDataPacket& p) {
         p.SetStartString("<<");
         p.SetEndString(">>");
         p.SetIncludeStrings(false);
       },
       {"x<<body>>"},
       {"body"}},
      {"a packet ends at its size",
       [](TDataPacket& p) {
         p.SetEndCond({ecPacketSize});
         p.SetPacketSize(4);
       },
       {"z\nabcdef", "\n123"},
       {"\nabc", "\n123"}},
      {"size or end string, whichever comes first",
       [](TDataPacket& p) {
         p.SetEndCond({ecString, ecPacketSize});
         p.SetPacketSize(5);
       },
       {"\nab\r\nabcdefg\r\nZ\r"},
       {"\nab\r", "\nabcd", "\nZ\r"}},
      {"the start string alone is a packet without an end condition",
       [](TDataPacket& p) {
         p.SetStartString("AB");
         p.SetEndCond({});
       },
       {"xABAB"},
       {"AB", "AB"}},
      {"any data up to the end string",
       [](TDataPacket& p) { p.SetStartCond(scAnyData); },
       {"abc\rde\r"},
       {"abc\r", "de\r"}},
  };
  port.SetOpen(true);
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    packets.clear();
    auto packet = MakeLinePacket();
    packet->SetAutoEnable(true);
    if (c.configure) c.configure(*packet);
    packet->SetEnabled(true);
    for (const std::string& w : c.writes) pty.Write(w);
    ASSERT_TRUE(WaitPackets(c.expected.size()));
    EXPECT_EQ(packets, c.expected);
  }
}

TEST_F(PacketTest, OnPacketComesFirstWithTheSameBytes) {
  auto packet = MakeLinePacket();
  std::vector<std::string> order;
  packet->OnPacket = [&](TDataPacket* sender, const void* data, int32_t size) {
    EXPECT_EQ(sender, packet.get());
    order.push_back("packet:" + std::string(static_cast<const char*>(data), size));
  };
  packet->OnStringPacket = [&](TDataPacket* p, const std::string& s) {
    order.push_back("string:" + s);
    // The event finds the packet already disabled and received.
    EXPECT_FALSE(p->Enabled());
    EXPECT_TRUE(p->PacketReceived());
  };
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nHELLO\r");
  ASSERT_TRUE(WaitUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"packet:\nHELLO\r", "string:\nHELLO\r"}));
}

// ---- delivery, re-arming and data that nobody wants --------------------------------------

TEST_F(PacketTest, SecondReplyOfOneReadFollowsTheStateLeftByTheFirstEvent) {
  auto packet = MakeLinePacket();
  port.SetOpen(true);
  CountAnnouncedBytes();

  // The first event leaves the packet disabled: the second reply is discarded for good.
  packet->SetAutoEnable(false);
  packet->SetEnabled(true);
  pty.Write("\nA\r\nB\r");
  ASSERT_TRUE(WaitAnnounced(6));
  packet->SetEnabled(true);
  pty.Write("\nC\r");
  ASSERT_TRUE(WaitPackets(2));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nA\r", "\nC\r"}));

  // Enabling from inside the event takes effect after it: the second reply is matched.
  packets.clear();
  packet->OnStringPacket = [&](TDataPacket* p, const std::string& s) {
    packets.push_back(s);
    p->SetEnabled(true);
    EXPECT_EQ(p->PacketState(), TPacketState::Idle);  // armed only when the event has ended
  };
  packet->SetEnabled(true);
  pty.Write("\nD\r\nE\r");
  ASSERT_TRUE(WaitPackets(2));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nD\r", "\nE\r"}));
}

TEST_F(PacketTest, DataArrivingWhileDisabledIsDiscarded) {
  auto packet = MakeLinePacket();
  port.SetOpen(true);
  CountAnnouncedBytes();
  TDataPacketManager* manager = packet->Manager();
  ASSERT_NE(manager, nullptr);
  pty.Write("\nLOST");
  // Read from the dispatcher and thrown away: nothing stays in the ring or in the manager.
  ASSERT_TRUE(WaitAnnounced(5));
  EXPECT_TRUE(WaitUntil([&] { return port.ActiveDispatcher()->InputUsed() == 0; }));
  {
    std::lock_guard lock(PacketLock());
    EXPECT_EQ(manager->Buffer(), nullptr);
  }
  packet->SetEnabled(true);
  pty.Write("\r\nKEPT\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nKEPT\r"}));
}

TEST_F(PacketTest, ReplyToACommandSentFromTheEventIsNeverLost) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  platform::TEvent replied(true);
  std::thread device([&] {
    // The device answers the command as soon as it sees it, while the event still runs.
    if (pty.ReadFor(5, 10000) == "PING\r") pty.Write("\nPONG\r");
    replied.Set();
  });
  packet->OnStringPacket = [&](TDataPacket*, const std::string& s) {
    packets.push_back(s);
    if (s == "\nHELLO\r") {
      port.SendText("PING\r");
      EXPECT_TRUE(replied.Wait(10000));
    }
  };
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nHELLO\r");
  const bool arrived = WaitPackets(2);
  device.join();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(packets, (std::vector<std::string>{"\nHELLO\r", "\nPONG\r"}));
}

TEST_F(PacketTest, EventExceptionsGoToTheExceptionDisplayAndProcessingGoesOn) {
  ExceptionDisplayCapture display;
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  packet->OnStringPacket = [&](TDataPacket*, const std::string& s) {
    packets.push_back(s);
    if (s == "\nBAD\r") throw std::runtime_error("handler failed");
  };
  packet->OnTimeout = [&](TDataPacket* p) {
    ++timeouts;
    p->SetEnabled(true);
    throw EInvalidProperty(std::string("timeout handler failed"));
  };
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nBAD\r\nGOOD\r");
  ASSERT_TRUE(WaitPackets(2));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nBAD\r", "\nGOOD\r"}));
  packet->SetTimeOut(1);
  pty.Write("\nnever ends");
  ASSERT_TRUE(WaitUntil([&] { return timeouts == 1 && display.Messages().size() == 2; }));
  EXPECT_EQ(display.Messages(),
            (std::vector<std::string>{"handler failed", "timeout handler failed"}));
  // The timeout handler's enable took effect after it: the next line is matched.
  pty.Write("\nAFTER\r");
  ASSERT_TRUE(WaitPackets(3));
  EXPECT_EQ(packets.back(), "\nAFTER\r");
}

// ---- timeouts ----------------------------------------------------------------------------

TEST_F(PacketTest, BegunPacketTimesOutDisabledWithItsBytesDropped) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);  // does not apply after a timeout
  packet->SetTimeOut(2);
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nbegun");
  ASSERT_TRUE(WaitUntil([&] { return timeouts == 1; }));
  WaitDeliveryEnd(*packet);
  EXPECT_FALSE(packet->Enabled());
  EXPECT_TRUE(packet->PacketTimeoutHit());
  EXPECT_EQ(packet->PacketState(), TPacketState::Idle);
  {
    std::lock_guard lock(PacketLock());
    EXPECT_EQ(packet->Manager()->BufferCount(), 0);
    EXPECT_EQ(packet->Manager()->LockedPacket(), nullptr);
  }
  // The dropped bytes do not come back: the rest of that line is not a packet.
  packet->SetEnabled(true);
  pty.Write(" rest\r\nNEW\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nNEW\r"}));
  EXPECT_EQ(timeouts, 1);
}

TEST_F(PacketTest, DataWithoutAStartStringNeverTimesOut) {
  auto packet = MakeLinePacket();
  packet->SetTimeOut(2);
  CountAnnouncedBytes();
  port.SetOpen(true);
  packet->SetEnabled(true);
  const std::string noise = "no line feed in this reply";
  pty.Write(noise);
  ASSERT_TRUE(WaitAnnounced(static_cast<int>(noise.size())));
  EXPECT_FALSE(TimerActive(*packet));
  ASSERT_TRUE(LetTicksPass(8));  // four times the limit
  EXPECT_EQ(timeouts, 0);
  EXPECT_TRUE(packet->Enabled());
  EXPECT_FALSE(packet->PacketTimeoutHit());
  // Still waiting for its start: the next framed reply is a packet.
  pty.Write("\nOK\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nOK\r"}));
  EXPECT_EQ(timeouts, 0);
}

TEST_F(PacketTest, TheTimeoutCountsFromTheEndOfTheStartString) {
  auto packet = MakeLinePacket();
  packet->SetStartString("<go>");
  packet->SetTimeOut(3);
  CountAnnouncedBytes();
  port.SetOpen(true);
  packet->SetEnabled(true);
  // Half a start string begins nothing: no timer, however long the rest takes.
  pty.Write("<g");
  ASSERT_TRUE(WaitAnnounced(2));
  EXPECT_FALSE(TimerActive(*packet));
  ASSERT_TRUE(LetTicksPass(8));
  EXPECT_EQ(timeouts, 0);

  TTimerRecord sinceStart;
  StartTimer(sinceStart, 0);
  pty.Write("o> and no end");
  ASSERT_TRUE(WaitUntil([&] { return timeouts == 1; }));
  // Counted from the end of the start string (which came after sinceStart began), not from
  // its first byte eight ticks earlier.
  EXPECT_GE(TicksElapsed(sinceStart), 3);
  WaitDeliveryEnd(*packet);
  EXPECT_FALSE(packet->Enabled());
  EXPECT_TRUE(packets.empty());
}

TEST_F(PacketTest, TimeOutZeroRunsNoTimerAndANewTimeOutAppliesToTheNextPacket) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  packet->SetTimeOut(0);
  port.SetOpen(true);
  packet->SetEnabled(true);
  auto timerActive = [&] { return TimerActive(*packet); };

  pty.Write("\nslow");
  ASSERT_TRUE(WaitUntil([&] { return packet->PacketState() == TPacketState::Collecting; }));
  EXPECT_FALSE(timerActive());
  // Set while collecting: this packet keeps running without a limit.
  packet->SetTimeOut(2);
  EXPECT_FALSE(timerActive());
  pty.Write(" but complete\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets[0], "\nslow but complete\r");
  EXPECT_EQ(timeouts, 0);

  // The next packet runs with the new limit.
  pty.Write("\nstalled");
  ASSERT_TRUE(WaitUntil([&] { return timeouts == 1; }));
}

// ---- property changes while collecting ---------------------------------------------------

TEST_F(PacketTest, NewEndStringDropsThePartialPacket) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\npartial");
  ASSERT_TRUE(WaitUntil([&] { return packet->PacketState() == TPacketState::Collecting; }));
  packet->SetEndString("!");
  EXPECT_TRUE(packet->Enabled());
  EXPECT_EQ(packet->PacketState(), TPacketState::Waiting);
  pty.Write(" rest!\nnew!");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nnew!"}));
}

// ---- arming errors -----------------------------------------------------------------------

TEST_F(PacketTest, InconsistentSettingsRaiseWhenArmed) {
  struct ErrorCase {
    const char* name;
    std::function<void(TDataPacket&)> configure;
    int32_t code;
    const char* message;
  };
  const ErrorCase cases[] = {
      {"empty start string", [](TDataPacket& p) { p.SetStartString(""); }, -5501,
       "Start string is empty"},
      {"size below the start string",
       [](TDataPacket& p) {
         p.SetStartString("abc");
         p.SetEndCond({ecPacketSize});
         p.SetPacketSize(2);
       },
       -5502, "Packet size cannot be smaller than start string"},
      {"any data without an end",
       [](TDataPacket& p) {
         p.SetStartCond(scAnyData);
         p.SetEndCond({});
       },
       -5503, "CharCount packets must have an end-condition"},
      {"empty end string", [](TDataPacket& p) { p.SetEndString(""); }, -5504,
       "End string is empty"},
      {"any data with an empty end string",
       [](TDataPacket& p) {
         p.SetStartCond(scAnyData);
         p.SetEndString("");
       },
       -5504, "End string is empty"},
      {"size zero",
       [](TDataPacket& p) {
         p.SetEndCond({ecPacketSize});
         p.SetStartString("");
         p.SetStartCond(scAnyData);
       },
       -5505, "Packet size cannot be zero"},
  };
  port.SetOpen(true);
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto packet = MakeLinePacket();
    c.configure(*packet);
    try {
      packet->SetEnabled(true);
      ADD_FAILURE() << "no exception";
    } catch (const EInvalidProperty& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(packet->Enabled());
    // A failed arming takes no lock: the port's other packets keep working.
    EXPECT_EQ(packet->PacketState(), TPacketState::Idle);
    EXPECT_EQ(packet->Manager()->LockedPacket(), nullptr);
  }
}

TEST_F(PacketTest, EnabledWhileClosedRaisesOnlyWhenThePortOpens) {
  auto packet = MakeLinePacket();
  packet->SetStartString("");
  EXPECT_NO_THROW(packet->SetEnabled(true));
  EXPECT_TRUE(packet->Enabled());
  try {
    port.SetOpen(true);
    ADD_FAILURE() << "no exception";
  } catch (const EInvalidProperty& e) {
    EXPECT_EQ(e.ErrorCode(), -5501);
  }
  EXPECT_FALSE(packet->Enabled());
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(packet->Manager()->Enabled());

  // Fixed, the packet opens with the port and works.
  packet->SetStartString("\n");
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nOK\r");
  ASSERT_TRUE(WaitPackets(1));
}

TEST_F(PacketTest, EnableWrittenWhileLoadingArmsOnceLoaded) {
  port.SetOpen(true);
  auto packet = MakeLinePacket();
  packet->BeginLoading();
  packet->SetEnabled(true);
  EXPECT_TRUE(packet->EnablePending());
  EXPECT_EQ(packet->PacketState(), TPacketState::Idle);
  packet->Loaded();
  EXPECT_FALSE(packet->EnablePending());
  EXPECT_EQ(packet->PacketState(), TPacketState::Waiting);
  pty.Write("\nOK\r");
  ASSERT_TRUE(WaitPackets(1));
}

TEST_F(PacketTest, APacketThatNoLongerArmsWhenAnotherTakesTheLockIsDisabledAlone) {
  ExceptionDisplayCapture display;
  auto collector = MakeLinePacket();
  collector->SetStartCond(scAnyData);  // collects from the moment it is armed
  auto broken = MakeLinePacket();
  broken->SetStartString("");
  collector->SetEnabled(true);
  broken->SetEnabled(true);  // the port is closed: nothing is checked yet
  port.SetOpen(true);
  EXPECT_FALSE(broken->Enabled());
  EXPECT_EQ(display.Messages(), (std::vector<std::string>{"Start string is empty"}));
  EXPECT_TRUE(collector->Enabled());
  EXPECT_EQ(collector->PacketState(), TPacketState::Collecting);
  EXPECT_TRUE(collector->OwnsTimer());
  pty.Write("any\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"any\r"}));
}

// ---- the manager's life ------------------------------------------------------------------

TEST_F(PacketTest, ClosingReleasesTheBufferAndReopeningResumesEnabledPackets) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  port.SetOpen(true);
  packet->SetEnabled(true);
  TDataPacketManager* manager = packet->Manager();
  pty.Write("\nhalf");
  ASSERT_TRUE(WaitUntil([&] { return packet->PacketState() == TPacketState::Collecting; }));
  port.SetOpen(false);
  EXPECT_FALSE(manager->Enabled());
  EXPECT_EQ(manager->Buffer(), nullptr);
  EXPECT_EQ(manager->TimerHandle(), 0);
  EXPECT_TRUE(packet->Enabled());
  EXPECT_EQ(packet->PacketState(), TPacketState::Idle);

  port.SetOpen(true);
  EXPECT_TRUE(manager->Enabled());
  EXPECT_EQ(packet->PacketState(), TPacketState::Waiting);
  pty.Write(" other half\r\nWHOLE\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nWHOLE\r"}));
}

TEST_F(PacketTest, EventMayCloseThePortAndTheNextOpenStartsClean) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  packet->OnStringPacket = [&](TDataPacket*, const std::string& s) {
    packets.push_back(s);
    if (s == "\nBYE\r") port.SetOpen(false);
  };
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nBYE\r\nLOST\r");
  ASSERT_TRUE(WaitPackets(1));
  ASSERT_TRUE(WaitUntil([&] { return !port.Open(); }));
  EXPECT_TRUE(packet->Enabled());
  port.SetOpen(true);
  pty.Write("\nAGAIN\r");
  ASSERT_TRUE(WaitPackets(2));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nBYE\r", "\nAGAIN\r"}));
}

// Moving the open port to another device, as the window does when a second device arrives:
// a packet bound to the port and armed again by OnPortOpen (the window's way) keeps matching
// the new device's lines, and every trigger keeps a handle of its own. Once with a trigger of
// the port's own user that must survive the move, once with the packet's timer alone.
TEST(PacketOnAMovedPort, KeepsMatchingTheNewDevicesLinesWithItsOwnTimer) {
  for (const bool ownTrigger : {false, true}) {
    SCOPED_TRACE(ownTrigger ? "with a trigger of the port's user" : "with the packet alone");
    PtyPair first, second;
    TComPort port;
    port.SetComNumber(TCustomComPort::PortNumberForPath(first.SlavePath()));
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetDTR(false);
    port.SetRTS(false);
    ExceptionDisplayCapture display;
    TDataPacket packet;
    packet.SetStartString("\n");
    packet.SetEndString("\r");
    packet.SetEndCond({ecString});
    packet.SetTimeOut(500);
    std::vector<std::string> lines;
    packet.OnStringPacket = [&](TDataPacket*, const std::string& s) { lines.push_back(s); };
    packet.SetComPort(&port);
    port.OnPortOpen = [&](TCustomComPort* cp) {
      packet.SetEnabled(true);
      packet.SetAutoEnable(true);
      cp->SendText("\r\nloader\r\n");
    };
    port.SetOpen(true);
    int32_t timer = 0;
    if (ownTrigger) {
      timer = port.NewTimerTrigger();
      port.ArmTimerTrigger(timer, 10000, true);
    }
    EXPECT_EQ(first.ReadFor(10, 5000), "\r\nloader\r\n");
    first.Write("\nERROR\r");
    ASSERT_TRUE(WaitUntil([&] { return lines.size() == 1; }));

    port.SetComNumber(TCustomComPort::PortNumberForPath(second.SlavePath()));
    ASSERT_EQ(port.OpenState(), osOpen);
    EXPECT_EQ(second.ReadFor(10, 5000), "\r\nloader\r\n");
    second.Write("\nERROR\r");
    ASSERT_TRUE(WaitUntil([&] { return lines.size() == 2; }))
        << ::testing::PrintToString(display.Messages());
    second.Write("\nVERSW=1.2\r");
    ASSERT_TRUE(WaitUntil([&] { return lines.size() == 3; }))
        << ::testing::PrintToString(display.Messages());
    EXPECT_EQ(lines, (std::vector<std::string>{"\nERROR\r", "\nERROR\r", "\nVERSW=1.2\r"}));
    EXPECT_TRUE(display.Messages().empty()) << ::testing::PrintToString(display.Messages());

    // The packet's timer and the user's trigger are distinct, and the user's is still armed.
    const std::vector<TTimerTrigger> timers = port.ActiveDispatcher()->TimerTriggers();
    ASSERT_EQ(timers.size(), ownTrigger ? 2u : 1u);
    if (ownTrigger) {
      EXPECT_NE(timers[0].Handle, timers[1].Handle);
      const auto mine = std::find_if(timers.begin(), timers.end(),
                                     [&](const TTimerTrigger& t) { return t.Handle == timer; });
      ASSERT_NE(mine, timers.end());
      EXPECT_TRUE(mine->Active);
      EXPECT_EQ(mine->Interval, 10000);
      EXPECT_NO_THROW(port.DropTrigger(timer));
    }
    port.SetOpen(false);
  }
}

TEST_F(PacketTest, PacketsOfAPortShareOneManagerFreedAfterTheLastUnbinds) {
  auto first = MakeLinePacket();
  auto second = MakeLinePacket();
  TDataPacketManager* manager = PacketManagers().GetPortManager(&port);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(first->Manager(), manager);
  EXPECT_EQ(second->Manager(), manager);
  const int32_t count = PacketManagers().Count();

  first->SetComPort(nullptr);
  EXPECT_EQ(PacketManagers().GetPortManager(&port), manager);
  second.reset();
  // Gone from the port at once, freed only through its message window.
  EXPECT_EQ(PacketManagers().GetPortManager(&port), nullptr);
  EXPECT_EQ(PacketManagers().Count(), count);
  EXPECT_TRUE(WaitUntil([&] { return PacketManagers().Count() == count - 1; }));

  // The freed manager left the port's user list: opening and closing reach nobody stale.
  EXPECT_EQ(port.PortUserCount(), 0);
  port.SetOpen(true);
  port.SetOpen(false);
}

TEST_F(PacketTest, BindsToAPortAddedToItsOwnerAndLetsGoWhenThePortIsDestroyed) {
  TBaseComponent form;
  TDataPacket packet(&form);
  EXPECT_EQ(packet.ComPort(), nullptr);
  auto ownPort = std::make_unique<TComPort>(&form);
  EXPECT_EQ(packet.ComPort(), ownPort.get());
  ASSERT_NE(packet.Manager(), nullptr);
  const int32_t count = PacketManagers().Count();

  ownPort.reset();
  EXPECT_EQ(packet.ComPort(), nullptr);
  EXPECT_EQ(packet.Manager(), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return PacketManagers().Count() == count - 1; }));

  // A packet created after its owner's port binds to it at once.
  TComPort later(&form);
  TDataPacket second(&form);
  EXPECT_EQ(second.ComPort(), &later);
}

TEST_F(PacketTest, EventsMayUnbindOrDestroyTheirOwnPacket) {
  port.SetOpen(true);
  const int32_t count = PacketManagers().Count();

  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  packet->OnStringPacket = [&](TDataPacket* p, const std::string& s) {
    packets.push_back(s);
    p->SetComPort(nullptr);
  };
  packet->SetEnabled(true);
  pty.Write("\nLAST\r");
  ASSERT_TRUE(WaitPackets(1));
  EXPECT_TRUE(WaitUntil([&] { return PacketManagers().Count() == count; }));
  EXPECT_EQ(packet->Manager(), nullptr);
  EXPECT_EQ(port.PortUserCount(), 0);

  auto doomed = MakeLinePacket();
  doomed->SetAutoEnable(true);
  doomed->OnStringPacket = [&](TDataPacket*, const std::string& s) {
    packets.push_back(s);
    doomed.reset();
  };
  doomed->SetEnabled(true);
  pty.Write("\nBYE\r\nAFTER\r");
  ASSERT_TRUE(WaitPackets(2));
  EXPECT_EQ(doomed, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return PacketManagers().Count() == count; }));

  // The port goes on serving new packets.
  auto next = MakeLinePacket();
  next->SetEnabled(true);
  pty.Write("\nNEXT\r");
  ASSERT_TRUE(WaitPackets(3));
  EXPECT_EQ(packets, (std::vector<std::string>{"\nLAST\r", "\nBYE\r", "\nNEXT\r"}));
}

// ---- dispatch log ------------------------------------------------------------------------

TEST_F(PacketTest, WritesItsEventsToTheDispatchLog) {
  auto packet = MakeLinePacket();
  packet->SetAutoEnable(true);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  packet->SetEnabled(true);
  pty.Write("\nOK\r");
  ASSERT_TRUE(WaitPackets(1));
  WaitDeliveryEnd(*packet);

  struct Entry {
    uint16_t subKind;
    std::string bytes;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> entries;
  TBaseDispatcher* d = port.ActiveDispatcher();
  while (std::unique_ptr<TIOBuffer> r = d->LogQueue().PopFirst()) {
    auto* log = dynamic_cast<TLogBuffer*>(r.get());
    if (!log || log->LogKind != logk::Packet) continue;
    EXPECT_EQ(log->Data, 0u);
    entries.push_back(
        {log->SubKind, std::string(reinterpret_cast<const char*>(log->Bytes()), log->Size)});
  }
  port.SetLogging(tlOff);
  const std::string name = "Packet:DataPacket1";
  const std::vector<Entry> arming = {
      {packetlog::Enable, name},
      {packetlog::StartStr, "\n"},
      {packetlog::Waiting, name},
      {packetlog::EndStr, "\r"},
  };
  std::vector<Entry> expected = arming;
  expected.insert(expected.end(), {
                                      {packetlog::Collecting, name},
                                      {packetlog::Idle, name},
                                      {packetlog::Disable, name},
                                      {packetlog::StringPacket, name},
                                      {packetlog::StringPacket, "\nOK\r"},
                                  });
  expected.insert(expected.end(), arming.begin(), arming.end());
  EXPECT_EQ(entries, expected);
}

}  // namespace
