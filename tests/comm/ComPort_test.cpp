// The serial port component used as an application uses it: on real ptys, with the real
// dispatcher and its threads.

#include "comm/ComPort.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "comm/Dispatcher.h"
#include "comm/Exceptions.h"
#include "tests/support/Pty.h"
#include "tests/support/WaitUntil.h"

namespace comm {
namespace {

// A port set up as the application sets its own: opened by number, never opening by itself,
// no port-selection dialog, nothing recorded.
void Configure(TComPort& port, const PtyPair& pty, uint16_t outSize = 1030) {
  port.SetComNumber(TCustomComPort::PortNumberForPath(pty.SlavePath()));
  port.SetPromptForPort(false);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetInSize(1030);
  port.SetOutSize(outSize);
  port.SetDTR(false);
  port.SetRTS(false);
}

// Bytes taken from the port by an event handler on the dispatch thread, as the packet
// component reads them.
class TReader {
 public:
  void Attach(TCustomComPort& port) {
    port.ActiveDispatcher()->AddEventHandler(this,
                                             [this, &port](uint32_t msg, uint32_t wParam, int32_t) {
                                               if (msg != TriggerAvailMessage) return;
                                               for (uint32_t i = 0; i < wParam; ++i) {
                                                 const uint8_t b = port.ReceiveByte();
                                                 std::lock_guard lock(lock_);
                                                 text_.push_back(static_cast<char>(b));
                                               }
                                             });
  }
  std::string Text() const {
    std::lock_guard lock(lock_);
    return text_;
  }

 private:
  mutable std::mutex lock_;
  std::string text_;
};

TEST(ComPort, DefaultsAreTheComponentsOwn) {
  TComPort port;
  EXPECT_EQ(port.Baud(), 19200);
  EXPECT_EQ(port.InSize(), 4096);
  EXPECT_EQ(port.OutSize(), 4096);
  EXPECT_TRUE(port.AutoOpen());
  EXPECT_TRUE(port.DTR());
  EXPECT_TRUE(port.RTS());
  EXPECT_TRUE(port.PromptForPort());
  EXPECT_EQ(port.ComNumber(), 0);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(port.Logging(), tlOff);
  EXPECT_EQ(port.TraceName(), "COMM.TRC");
  EXPECT_EQ(port.LogName(), "COMM.LOG");
  EXPECT_EQ(port.TraceSize(), 10000u);
  EXPECT_EQ(port.AvailLength(), 1);
  EXPECT_EQ(port.TapiMode(), tmAuto);
  EXPECT_EQ(port.OpenState(), osClosed);
  EXPECT_EQ(port.Version(), "v4.07");
  // Only the built-in device layer is accepted.
  port.SetDeviceLayer(dlWinsock);
  EXPECT_EQ(port.DeviceLayer(), dlWin32);
}

// Open by number, write with SendText, read through a registered handler, close: the users
// and events hear of it in their order, and a closing notice may call the port quietly.
TEST(ComPort, OpenSendReadAndCloseWithNotices) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  std::vector<std::string> events;
  int userA = 0, userB = 0;
  auto record = [&](const char* who) {
    return [&events, &port, &pty, who](TCustomComPort* cp, TPortNotice kind) {
      EXPECT_EQ(cp, &port);
      static const char* names[] = {"open", "closing", "closed"};
      events.push_back(std::string(who) + ":" + names[kind]);
      if (kind == NoticeClosing) {
        EXPECT_NO_THROW(port.SendText("late"));
        EXPECT_NO_THROW(port.ClearInput());
        EXPECT_NO_THROW(port.ClearOutput());
        EXPECT_EQ(port.ReceiveByte(), 0);
        EXPECT_FALSE(port.ByteWaiting());
        EXPECT_EQ(port.NewTimerTrigger(), 0);
        (void)pty;
      }
    };
  };
  port.AttachPortUser(&userA, record("A"));
  port.AttachPortUser(&userB, record("B"));
  port.OnPortOpen = [&](TCustomComPort*) {
    events.push_back("OnPortOpen");
    // At this point the device is open and the threads run.
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.OpenState(), osOpen);
  };
  port.OnPortClose = [&](TCustomComPort*) { events.push_back("OnPortClose"); };

  port.SetOpen(true);
  ASSERT_EQ(port.OpenState(), osOpen);
  port.SetOpen(true);  // a second write does nothing
  EXPECT_EQ(events, (std::vector<std::string>{"B:open", "A:open", "OnPortOpen"}));

  TReader reader;
  reader.Attach(port);
  port.SendText("versw?\r\n");
  EXPECT_EQ(pty.ReadFor(8, 5000), "versw?\r\n");
  pty.Write("\nOK 1.2\r");
  EXPECT_TRUE(WaitUntil([&] { return reader.Text() == "\nOK 1.2\r"; }));

  events.clear();
  port.SetOpen(false);
  EXPECT_EQ(events, (std::vector<std::string>{"B:closing", "A:closing", "B:closed", "A:closed",
                                              "OnPortClose"}));
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.OpenState(), osClosed);
  EXPECT_EQ(port.ActiveDispatcher(), nullptr);
  EXPECT_EQ(DispatcherTableSize(), 0);
  EXPECT_EQ(pty.ReadUntilIdle(100), "");  // nothing written from the closing notice
  port.SetOpen(false);                    // closing a closed port does nothing
  EXPECT_EQ(events.size(), 5u);

  // A detached user hears nothing more.
  port.DetachPortUser(&userA);
  events.clear();
  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_EQ(events, (std::vector<std::string>{"B:open", "OnPortOpen", "B:closing", "B:closed",
                                              "OnPortClose"}));
}

// Opens under a file-system user that may not open the pty (root passes permission checks,
// so a root test drops to "nobody" for the one call; setfsuid changes only this thread).
void OpenWithoutPermission(TComPort& port, const PtyPair& pty) {
  if (geteuid() == 0) {
    setfsuid(65534);
    try {
      port.SetOpen(true);
    } catch (...) {
      setfsuid(0);
      throw;
    }
    setfsuid(0);
  } else {
    chmod(pty.SlavePath().c_str(), 0);
    port.SetOpen(true);
  }
}

// A close lets the output already queued reach the device before it drops what is left:
// bytes written just before the close arrive whole (a pty drops what the other side has not
// taken in yet when its output is flushed, so the close must not flush an empty queue), and
// so does output that the line held back until the close began.
TEST(ComPort, CloseLetsQueuedOutputDrain) {
  // The close waits as long as the line needs for the queued bytes. A pty sends at any speed,
  // so a slow nominal speed gives the writer the whole drain limit even on a loaded machine,
  // and the test judges what arrives, not how fast.
  constexpr int32_t kSlowLine = 300;
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE("written just before the close, try " + std::to_string(i));
    PtyPair pty;
    TComPort port;
    Configure(port, pty);
    port.SetBaud(kSlowLine);
    port.SetOpen(true);
    const std::string text = "last words " + std::to_string(i);
    port.SendText(text);
    port.SetOpen(false);
    EXPECT_EQ(pty.ReadUntilIdle(100), text);
  }

  // The device holds the line with XOFF; the close's notice lets it go again.
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  port.SetBaud(kSlowLine);
  port.SetSWFlowOptions(swfTransmit);
  port.SetOpen(true);
  pty.Write("\x13");
  std::string received;
  ASSERT_TRUE(WaitUntil([&] {  // single bytes leave until the stop has taken effect
    if (port.OutputUsed() == 0) port.SendText("x");
    const std::string got = pty.ReadUntilIdle(50);
    received += got;
    return got.empty() && port.OutputUsed() > 0;
  }));
  const std::string block(900, 'y');
  port.SendText(block);
  int key = 0;
  port.AttachPortUser(&key, [&](TCustomComPort*, TPortNotice kind) {
    if (kind == NoticeClosing) pty.Write("\x11");
  });
  port.SetOpen(false);
  port.DetachPortUser(&key);
  received += pty.ReadUntilIdle(100);
  // Every byte queued before the close arrives, in order: the x's, then the block.
  const size_t firstY = received.find('y');
  ASSERT_NE(firstY, std::string::npos) << "the device got " << received.size() << " bytes";
  EXPECT_EQ(received.find_first_not_of('x'), firstY);
  EXPECT_TRUE(received.substr(firstY) == block)
      << "the device got " << received.size() - firstY << " bytes of the block";

  // A line that stays stopped holds the close only briefly; what could not leave is dropped.
  port.SetOpen(true);
  pty.Write("\x13");
  ASSERT_TRUE(WaitUntil([&] {
    if (port.OutputUsed() == 0) port.SendText("x");
    return pty.ReadUntilIdle(50).empty() && port.OutputUsed() > 0;
  }));
  port.SendText(block);
  const auto start = std::chrono::steady_clock::now();
  port.SetOpen(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  pty.Write("\x11");
  EXPECT_EQ(pty.ReadUntilIdle(100).find('y'), std::string::npos);
}

TEST(ComPort, OpenFailuresRaiseTheirClassAndLeaveNoDispatcher) {
  struct TCase {
    const char* name;
    std::function<void(TComPort&, PtyPair&, TComPort&)> open;
    std::function<void(const std::exception&)> check;
  };
  const std::vector<TCase> cases = {
      {"number 0",
       [](TComPort& port, PtyPair&, TComPort&) {
         port.SetComNumber(0);
         port.SetOpen(true);
       },
       [](const std::exception& e) {
         auto* x = dynamic_cast<const ENoPortSelected*>(&e);
         ASSERT_NE(x, nullptr);
         EXPECT_EQ(x->ErrorCode(), -2011);
         EXPECT_STREQ(e.what(), "The ComNumber property of the TComPort has not been set");
       }},
      {"missing path",
       [](TComPort& port, PtyPair&, TComPort&) {
         port.SetComNumber(TCustomComPort::PortNumberForPath("/dev/no-such-serial-device"));
         port.SetOpen(true);
       },
       [](const std::exception& e) {
         auto* x = dynamic_cast<const EBadId*>(&e);
         ASSERT_NE(x, nullptr);
         EXPECT_EQ(x->ErrorCode(), -2001);
       }},
      {"path in use",
       [](TComPort& port, PtyPair&, TComPort& holder) {
         holder.SetOpen(true);
         port.SetOpen(true);
       },
       [](const std::exception& e) {
         auto* x = dynamic_cast<const EAlreadyOpen*>(&e);
         ASSERT_NE(x, nullptr);
         EXPECT_EQ(x->ErrorCode(), -2008);
         EXPECT_STREQ(e.what(), "ie_Open - device already open");
       }},
      {"permission denied",
       [](TComPort& port, PtyPair& pty, TComPort&) { OpenWithoutPermission(port, pty); },
       [](const std::exception& e) {
         auto* x = dynamic_cast<const EInOutError*>(&e);
         ASSERT_NE(x, nullptr);
         EXPECT_EQ(x->ErrorCode(), 13);
         EXPECT_STREQ(e.what(), "Permission denied");
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    TComPort holder;
    Configure(holder, pty);
    TComPort port;
    Configure(port, pty);
    bool opened = false;
    port.OnPortOpen = [&](TCustomComPort*) { opened = true; };
    bool raised = false;
    try {
      c.open(port, pty, holder);
    } catch (const std::exception& e) {
      raised = true;
      c.check(e);
    }
    EXPECT_TRUE(raised);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.OpenState(), osClosed);
    EXPECT_EQ(port.ActiveDispatcher(), nullptr);
    holder.SetOpen(false);
    EXPECT_EQ(DispatcherTableSize(), 0);
  }
}

TEST(ComPort, WritesMustFitTheOutputRing) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty, 1030);
  port.SetOpen(true);
  // One byte more than the idle ring holds: refused whole, nothing is written.
  try {
    port.SendText(std::string(1031, 'x'));
    ADD_FAILURE() << "no exception";
  } catch (const EOutputBufferTooSmall& e) {
    EXPECT_EQ(e.ErrorCode(), -3006);
  }
  EXPECT_NO_THROW(port.SendText(""));
  EXPECT_EQ(pty.ReadUntilIdle(100), "");
  // Exactly the free room: written whole.
  const std::string block(1030, 'y');
  port.SendText(block);
  EXPECT_EQ(pty.ReadFor(1030, 5000), block);
  EXPECT_EQ(pty.ReadUntilIdle(100), "");
  port.SetOpen(false);
}

TEST(ComPort, OperationsOnAClosedPortFollowAutoOpen) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  EXPECT_THROW(port.SendText("x"), ECommNotOpen);
  EXPECT_THROW(port.RequireDispatcher(), ECommNotOpen);
  EXPECT_EQ(port.OutputFree(), 1030);
  EXPECT_EQ(port.OutputUsed(), 0);

  int opens = 0;
  port.OnPortOpen = [&](TCustomComPort*) { ++opens; };
  port.SetAutoOpen(true);
  port.SendText("auto");
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(pty.ReadFor(4, 5000), "auto");
  port.SetOpen(false);
}

// A handler on the dispatch thread hands the close to the main thread (as the packet
// component does for its events): the close completes only once the dispatch thread is
// done, and an open written meanwhile reopens the port right after.
TEST(ComPort, CloseFromAHandlerIsDeferredAndAReopenFollows) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  std::atomic<int> opens{0}, closes{0};
  port.OnPortOpen = [&](TCustomComPort*) { ++opens; };
  port.OnPortClose = [&](TCustomComPort*) { ++closes; };
  port.SetOpen(true);
  TBaseDispatcher* d = port.ActiveDispatcher();
  std::atomic<bool> checked{false};
  d->AddEventHandler(&port, [&, d](uint32_t msg, uint32_t, int32_t) {
    if (msg != TriggerAvailMessage) return;
    RunOnMainThread(d->DispatchThread(), [&] {
      port.SetOpen(false);
      // The close has told everyone but waits for this delivery to end.
      EXPECT_EQ(closes.load(), 1);
      EXPECT_TRUE(port.Open());
      EXPECT_EQ(port.OpenState(), osClosing);
      EXPECT_NO_THROW(port.SendText("ignored"));
      port.SetOpen(true);
      EXPECT_TRUE(port.ReopenRequested());
      checked = true;
    });
  });
  pty.Write("!");
  ASSERT_TRUE(WaitUntil([&] { return opens.load() == 2 && port.OpenState() == osOpen; }));
  EXPECT_TRUE(checked.load());
  EXPECT_EQ(closes.load(), 1);
  EXPECT_FALSE(port.ReopenRequested());
  EXPECT_EQ(DispatcherTableSize(), 1);
  port.SendText("again");
  EXPECT_EQ(pty.ReadFor(5, 5000), "again");
  port.SetOpen(false);
  EXPECT_EQ(DispatcherTableSize(), 0);
}

TEST(ComPort, ComNumberChangeReopensAndKeepsTriggers) {
  PtyPair first, second;
  TComPort port;
  Configure(port, first);
  std::vector<std::string> events;
  port.OnPortOpen = [&](TCustomComPort*) { events.push_back("open"); };
  port.OnPortClose = [&](TCustomComPort*) { events.push_back("close"); };
  port.SetOpen(true);
  const int32_t timer = port.NewTimerTrigger();
  port.ArmTimerTrigger(timer, 10000, true);
  const int32_t status = port.NewStatusTrigger(StatusOutputFree);
  port.ArmStatusTrigger(status, 2000, true);  // more than the ring holds: never due
  EXPECT_EQ(status & 7, StatusOutputFree);

  events.clear();
  port.SetComNumber(TCustomComPort::PortNumberForPath(second.SlavePath()));
  EXPECT_EQ(events, (std::vector<std::string>{"close", "open"}));
  ASSERT_EQ(port.OpenState(), osOpen);
  TBaseDispatcher* d = port.ActiveDispatcher();
  const std::vector<TTimerTrigger> timers = d->TimerTriggers();
  ASSERT_EQ(timers.size(), 1u);
  EXPECT_EQ(timers[0].Handle, timer);
  EXPECT_TRUE(timers[0].Active);
  const std::vector<TStatusTrigger> statuses = d->StatusTriggers();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].Handle, status);
  EXPECT_TRUE(statuses[0].Armed);
  EXPECT_EQ(statuses[0].Value, 2000);
  // The handles still answer.
  EXPECT_NO_THROW(port.ArmTimerTrigger(timer, 5, false));
  EXPECT_NO_THROW(port.DropTrigger(status));
  EXPECT_THROW(port.DropTrigger(status), EBadTriggerHandle);

  port.SendText("second");
  EXPECT_EQ(second.ReadFor(6, 5000), "second");
  EXPECT_EQ(first.ReadUntilIdle(100), "");
  port.SetOpen(false);
}

// The port's own trigger events arrive through its hidden window on the main thread.
TEST(ComPort, OwnTriggerEventsRunOnTheMainThread) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  port.SetOpen(true);
  std::string received;
  std::vector<uint16_t> counts;
  int32_t timerSeen = 0;
  std::vector<uint16_t> generic;
  // Assigned while open: the port starts asking for its window to be served.
  port.OnTriggerAvail = [&](TCustomComPort* cp, uint16_t count) {
    EXPECT_TRUE(platform::IsMainThread());
    counts.push_back(count);
    for (uint16_t i = 0; i < count; ++i) received.push_back(static_cast<char>(cp->ReceiveByte()));
  };
  port.OnTriggerTimer = [&](TCustomComPort*, uint16_t handle) { timerSeen = handle; };
  port.OnTrigger = [&](TCustomComPort*, uint16_t msg, uint16_t, uint16_t) {
    generic.push_back(msg);
  };
  const int32_t timer = port.NewTimerTrigger();
  port.ArmTimerTrigger(timer, 1, true);
  pty.Write("ping");
  ASSERT_TRUE(WaitUntil([&] { return received == "ping" && timerSeen == timer; }));
  EXPECT_NE(std::find(generic.begin(), generic.end(), TriggerAvailMessage), generic.end());
  EXPECT_NE(std::find(generic.begin(), generic.end(), TriggerTimerMessage), generic.end());
  // What the event read is consumed: the ring is empty afterwards.
  EXPECT_FALSE(port.ByteWaiting());

  // Without any trigger event the window is no longer served: bytes stay in the ring.
  port.OnTriggerAvail = nullptr;
  port.OnTriggerTimer = nullptr;
  port.OnTrigger = nullptr;
  pty.Write("x");
  ASSERT_TRUE(WaitUntil([&] { return port.ByteWaiting(); }));
  EXPECT_EQ(port.ReceiveByte(), 'x');
  EXPECT_THROW(port.ReceiveByte(), EBufferIsEmpty);
  port.SetOpen(false);
}

TEST(ComPort, ClosingFromTheOwnAvailEventCompletesOnTheMainThread) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  port.SetOpen(true);
  std::atomic<int> closes{0};
  port.OnPortClose = [&](TCustomComPort*) { ++closes; };
  // The event runs on the main thread while the dispatch thread waits for it: the close
  // cannot wait for that thread and is finished later through the port's window.
  port.OnTriggerAvail = [&](TCustomComPort* cp, uint16_t) { cp->SetOpen(false); };
  pty.Write("bye");
  ASSERT_TRUE(WaitUntil([&] { return port.OpenState() == osClosed; }));
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(closes.load(), 1);
  EXPECT_EQ(DispatcherTableSize(), 0);
}

TEST(ComPort, AnOpenUndoneAfterTheNoticesTellsTheUsersItClosed) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  std::vector<TPortNotice> notices;
  int key = 0;
  port.AttachPortUser(&key, [&](TCustomComPort*, TPortNotice kind) { notices.push_back(kind); });
  port.OnPortOpen = [](TCustomComPort*) { throw Exception("refused"); };
  EXPECT_THROW(port.SetOpen(true), Exception);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.OpenState(), osClosed);
  EXPECT_EQ(notices, (std::vector<TPortNotice>{NoticeOpen, NoticeClosing, NoticeClosed}));
  EXPECT_EQ(DispatcherTableSize(), 0);
  port.DetachPortUser(&key);
}

TEST(ComPort, OpenWrittenWhileLoadingHappensWhenLoaded) {
  PtyPair pty;
  TComPort port;
  port.BeginLoading();
  Configure(port, pty);
  int opens = 0;
  port.OnPortOpen = [&](TCustomComPort*) { ++opens; };
  port.SetOpen(true);
  EXPECT_EQ(port.OpenState(), osClosed);
  EXPECT_EQ(opens, 0);
  port.Loaded();
  EXPECT_EQ(port.OpenState(), osOpen);
  EXPECT_EQ(opens, 1);
  port.SetOpen(false);

  // A failing open at the end of loading goes to the application's exception display.
  std::vector<std::string> shown;
  SetExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
  TComPort broken;
  broken.BeginLoading();
  broken.SetPromptForPort(false);
  broken.SetOpen(true);
  broken.Loaded();
  SetExceptionDisplay(nullptr);
  EXPECT_FALSE(broken.Open());
  EXPECT_EQ(broken.OpenState(), osClosed);
  EXPECT_EQ(shown,
            (std::vector<std::string>{"The ComNumber property of the TComPort has not been set"}));
}

TEST(ComPort, FlowSettersDeriveThresholdsFromInSize) {
  PtyPair pty;
  TComPort port;
  Configure(port, pty);
  port.SetOpen(true);
  port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  EXPECT_EQ(port.BufferFull(), 927);    // 1030 x 0.9
  EXPECT_EQ(port.BufferResume(), 103);  // 1030 x 0.1
  const auto flow = port.ActiveDispatcher()->QueryFlow();
  EXPECT_EQ(flow.HardwareOptions, 2u | 8u);
  port.SetRS485Mode(true);  // takes RTS and CTS flow away again
  EXPECT_EQ(port.HWFlowOptions(), 0);
  EXPECT_EQ(port.ActiveDispatcher()->QueryFlow().HardwareOptions, 0u);
  port.SetOpen(false);

  TComPort closed;
  closed.SetInSize(1030);
  closed.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(closed.BufferFull(), 772);    // 772.5 rounds to even
  EXPECT_EQ(closed.BufferResume(), 258);  // 257.5 rounds to even
}

// A component that records the notices it hears.
class TListener : public TBaseComponent {
 public:
  using TBaseComponent::TBaseComponent;
  std::vector<std::pair<TBaseComponent*, TOperation>> heard;
  std::vector<TCustomComPort*> portsSeen;

 protected:
  void Notification(TBaseComponent* component, TOperation operation) override {
    heard.emplace_back(component, operation);
    if (operation == opInsert) portsSeen.push_back(dynamic_cast<TCustomComPort*>(component));
    TBaseComponent::Notification(component, operation);
  }
};

TEST(ComPort, FindOwnerPortSearchesDepthFirstAndSiblingsHearOfPorts) {
  TBaseComponent form;
  TBaseComponent plain(&form);
  TListener panel(&form);
  EXPECT_EQ(FindOwnerPort(&form), nullptr);
  {
    TComPort inner(&panel);
    TComPort outer(&form);
    EXPECT_EQ(FindOwnerPort(&form), &inner);  // the panel's own components come first
    EXPECT_EQ(FindOwnerPort(&panel), &inner);
    // Heard of both (its own and its sibling's), each as a complete port.
    EXPECT_EQ(panel.portsSeen, (std::vector<TCustomComPort*>{&inner, &outer}));
    EXPECT_EQ(form.ComponentCount(), 3);
    EXPECT_EQ(form.Component(2), &outer);
    EXPECT_EQ(inner.Owner(), &panel);
  }
  // Both ports are gone: the panel heard each removal.
  EXPECT_EQ(FindOwnerPort(&form), nullptr);
  EXPECT_EQ(form.ComponentCount(), 2);
  ASSERT_GE(panel.heard.size(), 2u);
  EXPECT_EQ(panel.heard.back().second, opRemove);

  // A port with another owner is heard of through FreeNotification.
  TListener watcher;
  auto port = std::make_unique<TComPort>();
  watcher.FreeNotification(port.get());
  TBaseComponent* gone = port.get();
  port.reset();
  ASSERT_FALSE(watcher.heard.empty());
  EXPECT_EQ(watcher.heard.back(), std::make_pair(gone, opRemove));
}

}  // namespace
}  // namespace comm
