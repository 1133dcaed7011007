#include "comm/ComPort.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "comm/Exceptions.h"
#include "comm/PlatformDispatcher.h"
#include "platform/PortTable.h"

namespace comm {

namespace {

// value × percent / 100, rounded to the nearest integer with halves going to the even
// neighbour; done in integers so that 0.9 or 0.25 of a size never depends on binary fractions.
uint16_t RoundedShare(uint32_t value, uint32_t percent) {
  const uint64_t product = static_cast<uint64_t>(value) * percent;
  uint64_t quotient = product / 100;
  const uint64_t rest = product % 100;
  if (rest > 50 || (rest == 50 && (quotient & 1) != 0)) ++quotient;
  return static_cast<uint16_t>(std::min<uint64_t>(quotient, UINT16_MAX));
}

std::string DeviceNameFor(uint16_t number) { return "\\\\.\\COM" + std::to_string(number); }

bool RecorderRunning(TTraceLogState state) { return state == tlOn || state == tlPause; }

// Restores a flag on every way out of a scope.
class TFlagScope {
 public:
  TFlagScope(bool& flag, bool value) : flag_(flag), saved_(flag) { flag_ = value; }
  ~TFlagScope() { flag_ = saved_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
  bool saved_;
};

}  // namespace

// ---- construction ---------------------------------------------------------------------------

TCustomComPort::TCustomComPort(TBaseComponent* owner) : TBaseComponent(owner) {
  // Components already on the owner that wait for a port (packets, protocols) bind to it.
  AnnounceInsert();
}

TCustomComPort::~TCustomComPort() {
  destroying_ = true;
  try {
    ClosePortNow();
  } catch (...) {
    ShowCurrentException();
  }
  // A deferred close still waiting for the dispatch thread: the dispatcher's destructor
  // waits for its threads itself.
  if (Dispatcher() != nullptr) FinishClose();
  users_.clear();
}

uint16_t TCustomComPort::PortNumberForPath(const std::string& path) {
  return static_cast<uint16_t>(platform::EnterPortPath(path));
}

// ---- port users -----------------------------------------------------------------------------

int32_t TCustomComPort::AttachPortUser(const void* code, TPortCallback callback) {
  TPortUser user;
  user.Code = code;
  user.Callback = std::move(callback);
  user.EventStyle = true;
  users_.push_back(std::move(user));
  return static_cast<int32_t>(users_.size()) - 1;
}

void TCustomComPort::DetachPortUser(const void* code) {
  if (destroying_) return;
  for (size_t i = users_.size(); i > 0; --i) {
    if (users_[i - 1].Code == code) users_.erase(users_.begin() + static_cast<ptrdiff_t>(i - 1));
  }
}

void TCustomComPort::NotifyOpen() {
  // Last to first. A user may detach itself (or others) from its notice: the entry is copied
  // before the call and the index is checked again on every step.
  for (size_t i = users_.size(); i > 0; --i) {
    if (i > users_.size()) continue;
    const TPortUser user = users_[i - 1];
    if (user.Window != 0) {
      platform::SendMessage(user.Window, PortOpenMessage, 0, 0);
    } else if (user.EventStyle) {
      if (user.Callback) user.Callback(this, NoticeOpen);
    } else if (user.Legacy) {
      user.Legacy(this, true);
    }
  }
  if (OnPortOpen) OnPortOpen(this);
}

void TCustomComPort::NotifyClosing() {
  for (size_t i = users_.size(); i > 0; --i) {
    if (i > users_.size()) continue;
    const TPortUser user = users_[i - 1];
    if (!user.EventStyle) continue;  // legacy users only hear of open and close
    if (user.Window != 0) {
      platform::SendMessage(user.Window, PortClosingMessage, 0, 0);
    } else if (user.Callback) {
      user.Callback(this, NoticeClosing);
    }
  }
}

void TCustomComPort::NotifyClose() {
  TellUsersClosed();
  if (OnPortClose) OnPortClose(this);
}

void TCustomComPort::TellUsersClosed() {
  for (size_t i = users_.size(); i > 0; --i) {
    if (i > users_.size()) continue;
    const TPortUser user = users_[i - 1];
    if (user.Window != 0) {
      platform::SendMessage(user.Window, PortCloseMessage, 0, 0);
    } else if (user.EventStyle) {
      if (user.Callback) user.Callback(this, NoticeClosed);
    } else if (user.Legacy) {
      user.Legacy(this, false);
    }
  }
}

// ---- the dispatcher -------------------------------------------------------------------------

TBaseDispatcher* TCustomComPort::ActiveDispatcher() {
  TBaseDispatcher* d = Dispatcher();
  // Opening creates the hidden window and waits for worker threads: only the main thread may
  // do it, so a handler on a worker thread just finds the port closed.
  if (d == nullptr && !Loading() && OpenState() != osOpen && autoOpen_ &&
      platform::IsMainThread()) {
    SetOpen(true);
    d = Dispatcher();
  }
  return d;
}

TBaseDispatcher* TCustomComPort::RequireDispatcher() {
  TBaseDispatcher* d = ActiveDispatcher();
  if (d == nullptr) throw ECommNotOpen(-2007);
  return d;
}

void TCustomComPort::CreateDispatcher() {
  std::unique_ptr<TBaseDispatcher> d;
  if (factory_) {
    d = factory_(this);
  } else {
    if (deviceLayer_ != dlWin32) throw ENullApi(-3001);
    d = std::make_unique<TPlatformDispatcher>(this);
  }
  if (!d) throw ENullApi(-3001);
  dispatcherOwner_ = std::move(d);
  dispatcher_.store(dispatcherOwner_.get());
}

void TCustomComPort::DestroyDispatcher() {
  dispatcher_.store(nullptr);
  dispatcherOwner_.reset();
}

void TCustomComPort::OpenDispatcher() {
  TBaseDispatcher* d = Dispatcher();
  uint32_t options = 0;
  if (dtr_) options |= kOptionDtrOn;
  if (rts_) options |= kOptionRtsOn;
  if (hwFlowOptions_ & hwfUseDTR) options |= kOptionHwFlowDtr;
  if (hwFlowOptions_ & hwfUseRTS) options |= kOptionHwFlowRts;
  int32_t result = d->StartPort(d->DeviceName(), baud_, parity_, dataBits_, stopBits_, inSize_,
                                outSize_, options);
  // The device in use and the missing device have exceptions of their own.
  if (result == -5) {
    result = -2008;
  } else if (result == -2 || result == -3) {
    result = -2001;
  }
  if (result != 0) CheckCode(this, result);
}

void TCustomComPort::EnsureComNumber() {
  // No port-selection dialog exists in this library: asking would be the same as cancelling.
  if (comNumber_ == 0) throw ENoPortSelected(-2011);
}

// ---- open and close -------------------------------------------------------------------------

void TCustomComPort::SetOpen(bool value) {
  const TOpenState state = OpenState();
  // While a deferred close is pending Open still reads True; writing True then asks for the
  // reopen rather than being taken for "unchanged".
  if (value == Open() && !(value && state == osClosing)) return;
  if (Loading()) {
    open_.store(value);
    openAfterLoading_ = value;
    return;
  }
  if (value) {
    if (state == osClosed) {
      OpenPortNow();
    } else if (state == osClosing) {
      reopenRequested_ = true;
    }
  } else {
    reopenRequested_ = false;  // the latest wish wins
    ClosePortNow();
  }
}

void TCustomComPort::Loaded() {
  TBaseComponent::Loaded();
  if (!openAfterLoading_) return;
  openAfterLoading_ = false;
  open_.store(true);
  try {
    OpenPortNow();
  } catch (...) {
    open_.store(false);
    ShowCurrentException();
  }
}

void TCustomComPort::OpenPortNow() {
  if (tapiMode_ != tmOn) EnsureComNumber();
  CreateDispatcher();
  TBaseDispatcher* d = Dispatcher();
  d->SetDeviceName(DeviceNameFor(comNumber_));
  const bool hadSavedTriggers = restoreOnOpen_;
  bool noticesSent = false;
  try {
    OpenDispatcher();
    openState_.store(osOpen);
    RecheckTriggerEvents();
    {
      TFlagScope reapply(reapply_, true);
      SetTracing(tracing_);
      SetLogging(logging_);
      SetHWFlowOptions(hwFlowOptions_);
      SetSWFlowOptions(swFlowOptions_);
      SetXOnChar(xonChar_);
      SetXOffChar(xoffChar_);
      SetAvailLength(availLength_);
      SetDTR(dtr_);
      SetRTS(rts_);
      SetUseEventWord(useEventWord_);
      SetRS485Mode(rs485Mode_);
      SetThreadPriorityBoost(threadPriorityBoost_);
    }
    open_.store(true);
    SetComWindow(true);
    if (restoreOnOpen_) {
      restoreOnOpen_ = false;
      std::lock_guard<std::mutex> g(savedLock_);
      d->RestoreTriggers(savedTriggers_);
    }
    noticesSent = true;
    NotifyOpen();
  } catch (...) {
    // Users already told of the open (a later user or OnPortOpen raised) hold on to the
    // dispatcher: tell them it is going before it goes.
    if (noticesSent) {
      openState_.store(osClosing);
      try {
        NotifyClosing();
      } catch (...) {
        ShowCurrentException();
      }
    }
    open_.store(false);
    openState_.store(osClosed);
    SetComWindow(false);
    DestroyDispatcher();
    if (noticesSent) {
      try {
        TellUsersClosed();
      } catch (...) {
        ShowCurrentException();
      }
    }
    restoreOnOpen_ = hadSavedTriggers;  // the saved triggers wait for the next open
    throw;
  }
}

void TCustomComPort::ClosePortNow() {
  if (OpenState() != osOpen) return;
  const std::vector<TRecorderFileFailure> failures = DumpRecorders();
  // The failures are told once the close has run (also when a user's notice raised), so that
  // the handler finds the port closed and may do with it what it likes.
  try {
    CloseAfterDump();
  } catch (...) {
    TellRecorderFailures(failures);
    throw;
  }
  TellRecorderFailures(failures);
}

void TCustomComPort::CloseAfterDump() {
  openState_.store(osClosing);
  NotifyClosing();
  TBaseDispatcher* d = Dispatcher();
  {
    std::lock_guard<std::mutex> g(savedLock_);
    d->SnapshotTriggers(savedTriggers_);
  }
  restoreOnOpen_ = true;
  // The stop clears the output: what the users queued up to now (a cancel sequence from
  // the closing notice, a last reply) is let out to the device first.
  if (auto* device = dynamic_cast<TPlatformDispatcher*>(d)) device->DrainBeforeClose();
  d->StopPort();
  if (d->DispatchActive()) {
    // A trigger delivery is still running on the dispatch thread (the close came from a
    // handler or while one ran): the dispatcher lives on until that thread has ended; the
    // port's window finishes the close later on the main thread.
    platform::PostMessage(comWindow_, PortClosingMessage, 0,
                          static_cast<intptr_t>(d->Handle()) * 65536);
    platform::PumpOneMessage();
  } else {
    FinishClose();
  }
  NotifyClose();
}

std::vector<TRecorderFileFailure> TCustomComPort::DumpRecorders() {
  // A diagnostic file must never keep the device: a recorder whose file cannot be written is
  // switched off (so no later close tries, and reports, again) and the close goes on.
  std::vector<TRecorderFileFailure> failures;
  closeFileFailures_ = 0;
  auto dump = [&](void (TCustomComPort::*set)(TTraceLogState), TTraceLogState& state,
                  const std::string& name, uint8_t bit) {
    auto fail = [&](int32_t code, const char* reason) {
      failures.push_back({name, code, reason});
      state = tlOff;
      closeFileFailures_ |= bit;
    };
    try {
      (this->*set)(tlDump);
    } catch (const EInOutError& e) {
      fail(e.ErrorCode(), e.what());
    } catch (const ECommException& e) {
      fail(e.ErrorCode(), e.what());
    } catch (const std::exception& e) {
      fail(0, e.what());
    }
  };
  dump(&TCustomComPort::SetTracing, tracing_, traceName_, kTraceFileFailed);
  dump(&TCustomComPort::SetLogging, logging_, logName_, kLogFileFailed);
  return failures;
}

void TCustomComPort::TellRecorderFailures(const std::vector<TRecorderFileFailure>& failures) {
  if (failures.empty() || !OnRecorderFailure) return;
  try {
    OnRecorderFailure(this, failures);
  } catch (...) {
    ShowCurrentException();
  }
}

std::string RecorderFailureLine(const std::vector<TRecorderFileFailure>& Failures) {
  std::string line = program_invocation_short_name;
  line += ": ";
  for (size_t i = 0; i < Failures.size(); ++i) {
    if (i > 0) line += "; ";
    std::error_code ignored;
    const std::filesystem::path path = std::filesystem::absolute(Failures[i].FileName, ignored);
    line += "cannot write " + (path.empty() ? Failures[i].FileName : path.string());
    if (!Failures[i].Reason.empty()) line += ": " + Failures[i].Reason;
  }
  return line;
}

void ReportRecorderFailure(TCustomComPort*, const std::vector<TRecorderFileFailure>& Failures) {
  if (Failures.empty()) return;
  const std::string line = RecorderFailureLine(Failures) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void TCustomComPort::FinishClose() {
  SetComWindow(false);
  DestroyDispatcher();
  openState_.store(osClosed);
  open_.store(false);
}

void TCustomComPort::CompleteDeferredClose(int32_t dispatcherHandle) {
  TBaseDispatcher* d = Dispatcher();
  // A message left over from an earlier close, or for a dispatcher that is gone, means nothing.
  if (OpenState() != osClosing || d == nullptr || d->Handle() != dispatcherHandle) return;
  // The threads end moments after the delivery that asked for the close returns; waiting a
  // little before asking again keeps this from spinning the main thread meanwhile (for
  // instance under a modal loop that a packet event left open).
  if (d->ThreadsRunning() && !d->WaitThreadsEnded(20)) {
    platform::PostMessage(comWindow_, PortClosingMessage, 0,
                          static_cast<intptr_t>(dispatcherHandle) * 65536);
    return;
  }
  FinishClose();
  if (reopenRequested_) {
    reopenRequested_ = false;  // a failed reopen is reported once, not retried
    OpenPortNow();
  }
}

// ---- the hidden window and the port's own trigger events -------------------------------------

void TCustomComPort::SetComWindow(bool install) {
  if (install) {
    if (comWindow_ == 0) {
      comWindow_ = platform::CreateHiddenWindow(
          "comPortWindow", [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
            return WindowProc(msg, wParam, lParam);
          });
    }
    if (TBaseDispatcher* d = Dispatcher()) d->AddWindowHandler(comWindow_);
    return;
  }
  if (comWindow_ == 0) return;
  if (TBaseDispatcher* d = Dispatcher()) d->RemoveWindowHandler(comWindow_);
  platform::DestroyHiddenWindow(comWindow_);
  comWindow_ = 0;
}

void TCustomComPort::RecheckTriggerEvents() {
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() != osOpen || d == nullptr) return;
  const bool any = OnTrigger || OnTriggerAvail || OnTriggerData || OnTriggerStatus ||
                   OnTriggerTimer || OnTriggerLineError || OnTriggerModemStatus ||
                   OnTriggerOutbuffFree || OnTriggerOutbuffUsed || OnTriggerOutSent;
  d->RecheckHandlerService(any ? 1 : 2);
}

intptr_t TCustomComPort::WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  const bool trigger = msg >= TriggerAvailMessage && msg <= TriggerStatusMessage;
  if (!trigger && msg != PortClosingMessage) return 0;  // the default procedure does nothing
  const int32_t handle = static_cast<int32_t>((static_cast<uint64_t>(lParam) >> 16) & 0xFFFF);
  {
    // The table lock only covers the look-up: the events below may close ports, which waits
    // for dispatch threads that may themselves need the table.
    std::lock_guard lock(DispatcherTableLock());
    TBaseDispatcher* found = FindDispatcher(handle);
    if (found == nullptr || found->Owner() == nullptr) return 0;
  }
  try {
    const uint16_t data = msg == TriggerAvailMessage ? static_cast<uint16_t>(wParam)
                                                     : static_cast<uint16_t>(lParam & 0xFFFF);
    DoTrigger(static_cast<uint16_t>(msg), static_cast<uint16_t>(wParam), data);
    switch (msg) {
      case TriggerAvailMessage:
        DoTriggerAvail(static_cast<uint16_t>(wParam));
        break;
      case TriggerDataMessage:
        DoTriggerData(static_cast<uint16_t>(wParam));
        break;
      case TriggerTimerMessage:
        DoTriggerTimer(static_cast<uint16_t>(wParam));
        break;
      case TriggerStatusMessage:
        DoTriggerStatus(static_cast<uint16_t>(wParam));
        switch (wParam & 7) {
          case StatusModem:
            DoTriggerModemStatus();
            break;
          case StatusLine: {
            bool lineBreak = false;
            uint16_t error = 0;
            if (OpenState() == osOpen && Dispatcher() != nullptr)
              lineBreak = Dispatcher()->TakeBreak();
            if (OpenState() == osOpen && Dispatcher() != nullptr)
              error = static_cast<uint16_t>(Dispatcher()->TakeLineError());
            DoTriggerLineError(error, lineBreak);
            break;
          }
          case StatusOutputFree:
            DoTriggerOutbuffFree();
            break;
          case StatusOutputUsed:
            DoTriggerOutbuffUsed();
            break;
          case StatusOutputSent:
            DoTriggerOutSent();
            break;
          default:
            break;
        }
        break;
      case PortClosingMessage:
        CompleteDeferredClose(handle);
        break;
      default:
        break;
    }
  } catch (...) {
    if (platform::IsMainThread()) ShowCurrentException();
  }
  return 0;
}

void TCustomComPort::DoTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  if (OnTrigger) OnTrigger(this, Msg, TriggerHandle, Data);
}
void TCustomComPort::DoTriggerAvail(uint16_t Count) {
  if (OnTriggerAvail) OnTriggerAvail(this, Count);
}
void TCustomComPort::DoTriggerData(uint16_t TriggerHandle) {
  if (OnTriggerData) OnTriggerData(this, TriggerHandle);
}
void TCustomComPort::DoTriggerStatus(uint16_t TriggerHandle) {
  if (OnTriggerStatus) OnTriggerStatus(this, TriggerHandle);
}
void TCustomComPort::DoTriggerTimer(uint16_t TriggerHandle) {
  if (OnTriggerTimer) OnTriggerTimer(this, TriggerHandle);
}
void TCustomComPort::DoTriggerLineError(uint16_t Error, bool LineBreak) {
  if (OnTriggerLineError) OnTriggerLineError(this, Error, LineBreak);
}
void TCustomComPort::DoTriggerModemStatus() {
  if (OnTriggerModemStatus) OnTriggerModemStatus(this);
}
void TCustomComPort::DoTriggerOutbuffFree() {
  if (OnTriggerOutbuffFree) OnTriggerOutbuffFree(this);
}
void TCustomComPort::DoTriggerOutbuffUsed() {
  if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed(this);
}
void TCustomComPort::DoTriggerOutSent() {
  if (OnTriggerOutSent) OnTriggerOutSent(this);
}
void TCustomComPort::DoWaitChar(char Ch) {
  if (OnWaitChar) OnWaitChar(this, Ch);
}

// ---- byte operations ------------------------------------------------------------------------

void TCustomComPort::SendText(std::string_view text) {
  if (Closing()) return;
  TBaseDispatcher* d = RequireDispatcher();
  if (text.size() > static_cast<size_t>(INT32_MAX)) {
    CheckCode(this, -3006);  // could never fit the output ring
    return;
  }
  CheckCode(this, d->SendBlock(text.data(), static_cast<int32_t>(text.size())));
}

void TCustomComPort::SendBlock(const void* data, int32_t length) {
  if (Closing()) return;
  TBaseDispatcher* d = RequireDispatcher();
  CheckCode(this, d->SendBlock(data, length));
}

void TCustomComPort::SendByte(uint8_t b) {
  if (Closing()) return;
  TBaseDispatcher* d = RequireDispatcher();
  CheckCode(this, d->SendByte(b));
}

uint8_t TCustomComPort::ReceiveByte() {
  if (Closing()) return 0;
  TBaseDispatcher* d = RequireDispatcher();
  uint8_t byte = 0;
  const int32_t result = d->ReceiveByte(byte);
  if (result < 0) {
    CheckCode(this, result);
    return 0;
  }
  return byte;
}

bool TCustomComPort::ByteWaiting() {
  if (Closing()) return false;
  return RequireDispatcher()->ByteWaiting();
}

void TCustomComPort::ClearInput() {
  if (Closing()) return;
  CheckCode(this, RequireDispatcher()->ClearInput());
}

void TCustomComPort::ClearOutput() {
  if (Closing()) return;
  CheckCode(this, RequireDispatcher()->ClearOutput());
}

int32_t TCustomComPort::OutputUsed() {
  TBaseDispatcher* d = Dispatcher();
  return OpenState() == osOpen && d != nullptr ? d->OutputUsed() : 0;
}

int32_t TCustomComPort::OutputFree() {
  TBaseDispatcher* d = Dispatcher();
  return OpenState() == osOpen && d != nullptr ? d->OutputFree() : outSize_;
}

void TCustomComPort::SendLineBreak(int32_t ticks, bool yield) {
  if (Closing()) return;
  RequireDispatcher()->SendLineBreak(ticks, yield);
}

// ---- triggers -------------------------------------------------------------------------------

int32_t TCustomComPort::NewTimerTrigger() {
  if (Closing()) return 0;
  return CheckCode(this, RequireDispatcher()->NewTimerTrigger());
}

int32_t TCustomComPort::NewStatusTrigger(int32_t kind) {
  if (Closing()) return 0;
  return CheckCode(this, RequireDispatcher()->NewStatusTrigger(kind));
}

void TCustomComPort::DropTrigger(int32_t handle) {
  TBaseDispatcher* d = Dispatcher();
  const TOpenState state = OpenState();
  if (state == osOpen && d != nullptr) {
    CheckCode(this, d->DropTrigger(handle));
    return;
  }
  // A user that lets go of a trigger while the port closes or is closed (a transfer that the
  // close cancelled) must not find it armed again after the next open: it goes from the
  // dispatcher that is closing and from the triggers kept for the reopen. Nothing is raised:
  // the trigger is gone either way.
  if (state == osClosing && d != nullptr) d->DropTrigger(handle);
  std::lock_guard<std::mutex> g(savedLock_);
  auto& timers = savedTriggers_.Timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(),
                              [handle](const TTimerTrigger& t) { return t.Handle == handle; }),
               timers.end());
  auto& status = savedTriggers_.Status;
  status.erase(std::remove_if(status.begin(), status.end(),
                              [handle](const TStatusTrigger& t) { return t.Handle == handle; }),
               status.end());
  auto& data = savedTriggers_.Data;
  data.erase(std::remove_if(data.begin(), data.end(),
                            [handle](const TDataTrigger& t) { return (t.Handle & ~7) == handle; }),
             data.end());
}

void TCustomComPort::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  if (Closing()) return;
  CheckCode(this, RequireDispatcher()->ArmTimerTrigger(handle, ticks, activate));
}

void TCustomComPort::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
  if (Closing()) return;
  CheckCode(this, RequireDispatcher()->ArmStatusTrigger(handle, value, activate));
}

// ---- properties -----------------------------------------------------------------------------

void TCustomComPort::SetDeviceLayer(TDeviceLayer value) {
  if (value == deviceLayer_) return;
  if (OpenState() != osClosed) return;
  if ((allowedLayers_ & (1u << value)) == 0) return;
  deviceLayer_ = value;
  DeviceLayerChanged();
}

void TCustomComPort::SetComNumber(uint16_t value) {
  if (value == comNumber_) return;
  if (OpenState() != osOpen) {
    comNumber_ = value;
    return;
  }
  // The close keeps the triggers and the open gives them back before any user hears of it;
  // the users (a packet's manager) then make their own afresh and OnPortOpen may arm them.
  // Restoring the kept triggers once more after the open would throw those away.
  const TTraceLogState tracing = tracing_;
  const TTraceLogState logging = logging_;
  SetOpen(false);
  comNumber_ = value;
  // The recorders go on over the move, except one whose file could not be written.
  SetTracing(closeFileFailures_ & kTraceFileFailed ? tlOff : tracing);
  SetLogging(closeFileFailures_ & kLogFileFailed ? tlOff : logging);
  SetOpen(true);
}

void TCustomComPort::ApplyLineNow() {
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr)
    CheckCode(this, d->ApplyLine(baud_, parity_, dataBits_, stopBits_));
}

void TCustomComPort::SetBaud(int32_t value) {
  if (value == baud_) return;
  const int32_t old = baud_;
  baud_ = value;
  try {
    ApplyLineNow();
  } catch (...) {
    baud_ = old;
    throw;
  }
}

void TCustomComPort::SetParity(TParity value) {
  if (value == parity_) return;
  const TParity old = parity_;
  parity_ = value;
  try {
    ApplyLineNow();
  } catch (...) {
    parity_ = old;
    throw;
  }
}

void TCustomComPort::SetDataBits(uint16_t value) {
  if (value == dataBits_) return;
  const uint16_t old = dataBits_;
  dataBits_ = value;
  try {
    ApplyLineNow();
  } catch (...) {
    dataBits_ = old;
    throw;
  }
}

void TCustomComPort::SetStopBits(uint16_t value) {
  if (value == stopBits_) return;
  const uint16_t old = stopBits_;
  stopBits_ = value;
  try {
    ApplyLineNow();
  } catch (...) {
    stopBits_ = old;
    throw;
  }
}

void TCustomComPort::SetInSize(uint16_t value) {
  if (value == inSize_) return;
  inSize_ = value;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) d->ResizeQueues(inSize_, outSize_);
}

void TCustomComPort::SetOutSize(uint16_t value) {
  if (value == outSize_) return;
  outSize_ = value;
  TBaseDispatcher* d = Dispatcher();
  // The output ring keeps the size it was opened with; only the device is asked.
  if (OpenState() == osOpen && d != nullptr) d->ResizeQueues(inSize_, outSize_);
}

void TCustomComPort::SetDTR(bool value) {
  if (value == dtr_ && !reapply_) return;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) {
    // 1: hardware flow control owns the line and nothing changed.
    if (d->SetDtrLine(value) == 0) dtr_ = value;
    return;
  }
  dtr_ = value;
}

void TCustomComPort::SetRTS(bool value) {
  if (value == rts_ && !reapply_) return;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) {
    if (d->SetRtsLine(value) == 0) rts_ = value;
    return;
  }
  rts_ = value;
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptionSet value) {
  if (value == hwFlowOptions_ && !reapply_) return;
  const uint32_t options = value & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
  if (options != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = RoundedShare(inSize_, 90);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = RoundedShare(inSize_, 10);
  }
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr)
    CheckCode(this, d->SetHardwareFlow(bufferFull_, bufferResume_, options));
  hwFlowOptions_ = value;
  // Hardware flow on RTS or CTS and the RS-485 turnaround cannot share the RTS line.
  if (value & (hwfUseRTS | hwfRequireCTS)) rs485Mode_ = false;
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
  if (value == swFlowOptions_ && !reapply_) return;
  // Bit 1: the device stops sending on XOFF; bit 2: it sends XOFF/XON as the input fills.
  static constexpr uint32_t kOptions[] = {0, 2, 1, 3};
  const uint32_t options = kOptions[value & 3];
  if (options != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = RoundedShare(inSize_, 75);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = RoundedShare(inSize_, 25);
  }
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) {
    CheckCode(this, options != 0 ? d->SetSoftwareFlow(bufferFull_, bufferResume_, options)
                                 : d->SoftwareFlowOff());
  }
  swFlowOptions_ = value;
}

void TCustomComPort::SetXOnChar(char value) {
  if (value == xonChar_ && !reapply_) return;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr)
    CheckCode(this, d->SetFlowChars(static_cast<uint8_t>(value), static_cast<uint8_t>(xoffChar_)));
  xonChar_ = value;
}

void TCustomComPort::SetXOffChar(char value) {
  if (value == xoffChar_ && !reapply_) return;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr)
    CheckCode(this, d->SetFlowChars(static_cast<uint8_t>(xonChar_), static_cast<uint8_t>(value)));
  xoffChar_ = value;
}

void TCustomComPort::ReapplyFlow() {
  TFlagScope reapply(reapply_, true);
  SetHWFlowOptions(hwFlowOptions_);
  SetSWFlowOptions(swFlowOptions_);
}

void TCustomComPort::SetBufferFull(uint16_t value) {
  if (value == bufferFull_ && !reapply_) return;
  bufferFull_ = value > inSize_ ? RoundedShare(value, 90) : value;
  ReapplyFlow();
}

void TCustomComPort::SetBufferResume(uint16_t value) {
  if (value == bufferResume_ && !reapply_) return;
  bufferResume_ = value > bufferFull_ ? RoundedShare(bufferFull_, 10) : value;
  ReapplyFlow();
}

void TCustomComPort::SetUseMSRShadow(bool) {}

void TCustomComPort::SetUseEventWord(bool value) {
  if (value == useEventWord_ && !reapply_) return;
  useEventWord_ = value;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) {
    if (value) {
      d->SetOptionBits(4);
    } else {
      d->ClearOptionBits(4);
    }
  }
}

void TCustomComPort::SetRS485Mode(bool value) {
  if (value == rs485Mode_ && !reapply_) return;
  rs485Mode_ = value;
  if (value) {
    // The turnaround drives RTS itself.
    SetHWFlowOptions(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS));
    SetRTS(false);
  }
}

void TCustomComPort::SetAvailLength(uint16_t value) {
  if (value == availLength_ && !reapply_) return;
  availLength_ = value;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) d->SetAvailLength(value);
}

void TCustomComPort::SetThreadPriorityBoost(uint8_t value) {
  if (value == threadPriorityBoost_ && !reapply_) return;
  threadPriorityBoost_ = value;
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() == osOpen && d != nullptr) d->SetThreadBoost(value);
}

// ---- trace and dispatch log -----------------------------------------------------------------

void TCustomComPort::SetTracing(TTraceLogState value) {
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() != osOpen || d == nullptr) {
    // Only a plain on or off can wait for the next open.
    tracing_ = (value == tlOff || value == tlOn) ? value : tlOff;
    return;
  }
  if (value == tracing_ && !reapply_) return;
  const TTraceLogState current = tracing_;
  switch (value) {
    case tlOff:
      if (RecorderRunning(current)) {
        d->DiscardTrace();
        tracing_ = tlOff;
      }
      break;
    case tlOn:
      if (current == tlPause) {
        d->ResumeTrace();
      } else {
        CheckCode(this, d->BeginTrace(traceSize_));
      }
      tracing_ = tlOn;
      break;
    case tlDump:
    case tlAppend:
    case tlAppendAndContinue:
      if (RecorderRunning(current)) {
        d->ResumeTrace();
        CheckCode(this, d->WriteTraceFile(traceName_, value != tlDump, traceHex_, traceAllHex_));
        tracing_ = value == tlAppendAndContinue ? tlOn : tlOff;
      }
      break;
    case tlClear:
      if (RecorderRunning(current)) CheckCode(this, d->ClearTrace());
      break;
    case tlPause:
      if (current == tlOn) {
        d->PauseTrace();
        tracing_ = tlPause;
      }
      break;
  }
}

void TCustomComPort::SetLogging(TTraceLogState value) {
  TBaseDispatcher* d = Dispatcher();
  if (OpenState() != osOpen || d == nullptr) {
    logging_ = (value == tlOff || value == tlOn) ? value : tlOff;
    return;
  }
  if (value == logging_ && !reapply_) return;
  const TTraceLogState current = logging_;
  switch (value) {
    case tlOff:
      if (RecorderRunning(current)) {
        d->DiscardDispatchLog();
        logging_ = tlOff;
      }
      break;
    case tlOn:
      if (current == tlPause) {
        d->ResumeDispatchLog();
      } else {
        d->BeginDispatchLog(logSize_);
      }
      logging_ = tlOn;
      break;
    case tlDump:
    case tlAppend:
    case tlAppendAndContinue:
      if (RecorderRunning(current)) {
        d->ResumeDispatchLog();
        CheckCode(this, d->WriteDispatchLogFile(logName_, value != tlDump, logHex_, logAllHex_));
        logging_ = value == tlAppendAndContinue ? tlOn : tlOff;
      }
      break;
    case tlClear:
      if (RecorderRunning(current)) d->ClearDispatchLog();
      break;
    case tlPause:
      if (current == tlOn) {
        d->PauseDispatchLog();
        logging_ = tlPause;
      }
      break;
  }
}

void TCustomComPort::SetTraceSize(uint32_t value) {
  value = std::min(value, kMaxTraceSize);
  if (value == traceSize_) return;
  const TTraceLogState earlier = tracing_;
  const bool restart = OpenState() == osOpen && RecorderRunning(earlier);
  if (restart) SetTracing(tlOff);
  traceSize_ = value;
  // An earlier tlOn starts a recorder of the new size; an earlier tlPause stays off.
  if (restart) SetTracing(earlier);
}

void TCustomComPort::SetLogSize(uint32_t value) {
  value = std::min(value, kMaxLogSize);
  if (value == logSize_) return;
  const TTraceLogState earlier = logging_;
  const bool restart = OpenState() == osOpen && RecorderRunning(earlier);
  if (restart) SetLogging(tlOff);
  logSize_ = value;
  if (restart) SetLogging(earlier);
}

// ---- finding a port -------------------------------------------------------------------------

TCustomComPort* FindOwnerPort(TBaseComponent* owner) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TBaseComponent* component = owner->Component(i);
    if (auto* port = dynamic_cast<TCustomComPort*>(component)) return port;
    if (TCustomComPort* port = FindOwnerPort(component)) return port;
  }
  return nullptr;
}

}  // namespace comm
