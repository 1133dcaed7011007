#pragma once
// The serial port component: keeps the line settings and options of one serial device as
// properties, turns opening and closing into the creation and destruction of a dispatcher,
// and offers the reads, writes, buffer clearing and trigger operations that the application
// and the other communication components use. Components bound to the port register as port
// users and are told when it opens, is about to close and has closed.
//
// Threads: opening, closing, property writes and the port-user notices run on the main
// thread. The byte and trigger operations are also called by trigger handlers on the dispatch
// thread; they only look at OpenState and forward to the dispatcher, whose locks protect its
// buffers and lists.
//
// Port numbers: ComNumber n names the device "\\.\COM<n>", resolved through the process-wide
// port table. A library user that knows a device path gets its number from
// PortNumberForPath(path) (the path is entered into the table if it is not there yet).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comm/Common.h"
#include "comm/Dispatcher.h"
#include "platform/MessageQueue.h"

namespace comm {

enum TOpenState : uint8_t { osClosed = 0, osClosing = 1, osOpen = 2 };
enum TPortNotice : uint8_t { NoticeOpen = 0, NoticeClosing = 1, NoticeClosed = 2 };
enum TTraceLogState : uint8_t {
  tlOff,
  tlOn,
  tlDump,
  tlAppend,
  tlClear,
  tlPause,
  tlAppendAndContinue
};
enum TDeviceLayer : uint8_t { dlWin32 = 0, dlWinsock = 1 };
enum TParity : uint8_t { pNone = 0, pOdd = 1, pEven = 2, pMark = 3, pSpace = 4 };
enum TSWFlowOptions : uint8_t { swfNone = 0, swfReceive = 1, swfTransmit = 2, swfBoth = 3 };
enum TTapiMode : uint8_t { tmNone = 0, tmAuto = 1, tmOn = 2, tmOff = 3 };

// Members of THWFlowOptionSet, a set kept as the OR of its members' bits.
enum THWFlowOption : uint8_t {
  hwfUseDTR = 0x01,
  hwfUseRTS = 0x02,
  hwfRequireDSR = 0x04,
  hwfRequireCTS = 0x08
};
using THWFlowOptionSet = uint8_t;

// Messages of the port-user notices (sent to window-style users) and of the deferred close.
constexpr uint32_t PortOpenMessage = 0x7E08;
constexpr uint32_t PortCloseMessage = 0x7E09;
constexpr uint32_t PortClosingMessage = 0x7E0A;

// Limits of the recorder sizes.
constexpr uint32_t kMaxLogSize = 16000000;

class TCustomComPort;

using TPortCallback = std::function<void(TCustomComPort* CP, TPortNotice kind)>;
using TLegacyPortCallback = std::function<void(TCustomComPort* CP, bool Opening)>;
// A hook that creates the dispatcher instead of the built-in choice.
using TDispatcherFactory = std::function<std::unique_ptr<TBaseDispatcher>(TCustomComPort* CP)>;

using TPortNotifyEvent = std::function<void(TCustomComPort* CP)>;
using TTriggerEvent =
    std::function<void(TCustomComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TCustomComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TCustomComPort* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TCustomComPort* CP, char Ch)>;

// A trace or dispatch log file that the close could not write.
struct TRecorderFileFailure {
  std::string FileName;   // as the port names it (TraceName, LogName)
  int32_t ErrorCode = 0;  // the I/O error, as EInOutError carries it
  std::string Reason;     // its text
};
using TRecorderFailureEvent =
    std::function<void(TCustomComPort* CP, const std::vector<TRecorderFileFailure>& Failures)>;

// The report of OnRecorderFailure's default: one line on standard error that names each file
// (resolved against the current folder) and why it could not be written.
void ReportRecorderFailure(TCustomComPort* CP, const std::vector<TRecorderFileFailure>& Failures);
std::string RecorderFailureLine(const std::vector<TRecorderFileFailure>& Failures);

// One of the port's own trigger events. Assigning it (a callable or nullptr) stores it and
// tells the port, so that an open port starts or stops serving its hidden window.
template <typename Fn>
class TTriggerEventProperty {
 public:
  explicit TTriggerEventProperty(TCustomComPort& port) : port_(port) {}
  TTriggerEventProperty(const TTriggerEventProperty&) = delete;
  TTriggerEventProperty& operator=(const TTriggerEventProperty&) = delete;

  TTriggerEventProperty& operator=(Fn fn);
  explicit operator bool() const { return static_cast<bool>(fn_); }
  const Fn& Get() const { return fn_; }
  template <typename... Args>
  void operator()(Args&&... args) const {
    fn_(std::forward<Args>(args)...);
  }

 private:
  TCustomComPort& port_;
  Fn fn_;
};

class TCustomComPort : public TBaseComponent {
 public:
  explicit TCustomComPort(TBaseComponent* owner = nullptr);
  ~TCustomComPort() override;

  // The port number of a device path (entered into the process's port table when new).
  static uint16_t PortNumberForPath(const std::string& path);

  // ---- port users
  // code identifies the callback for DetachPortUser (the object is not compared). Returns the
  // entry's index.
  int32_t AttachPortUser(const void* code, TPortCallback callback);
  // Removes every entry with that code; does nothing while the port is being destroyed.
  void DetachPortUser(const void* code);
  int32_t PortUserCount() const { return static_cast<int32_t>(users_.size()); }

  // ---- the dispatcher
  // The dispatcher of the open port. A closed port with AutoOpen set is opened first (only on
  // the main thread, where opening is allowed). Null while closed otherwise.
  TBaseDispatcher* ActiveDispatcher();
  // ActiveDispatcher, raising ECommNotOpen (-2007) when there is none.
  TBaseDispatcher* RequireDispatcher();
  // Replaces the built-in dispatcher choice (null: the platform dispatcher).
  void SetDispatcherFactory(TDispatcherFactory factory) { factory_ = std::move(factory); }

  // ---- byte operations (main thread and trigger handlers); quiet while closing
  void SendText(std::string_view text);
  void SendBlock(const void* data, int32_t length);
  void SendByte(uint8_t b);
  uint8_t ReceiveByte();
  bool ByteWaiting();
  void ClearInput();
  void ClearOutput();
  int32_t OutputUsed();
  int32_t OutputFree();
  void SendLineBreak(int32_t ticks, bool yield);

  // ---- triggers
  int32_t NewTimerTrigger();
  int32_t NewStatusTrigger(int32_t kind);
  void DropTrigger(int32_t handle);
  void ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
  void ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);

  // ---- state
  bool Open() const { return open_.load(); }
  void SetOpen(bool value);
  TOpenState OpenState() const { return openState_.load(); }
  bool ReopenRequested() const { return reopenRequested_; }
  platform::HWND ComWindow() const { return comWindow_; }

  // ---- properties (defaults: those of a newly placed component)
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer value);
  uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(uint16_t value);
  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t value);
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool value) { promptForPort_ = value; }
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(uint16_t value);
  uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(uint16_t value);
  uint16_t InSize() const { return inSize_; }
  void SetInSize(uint16_t value);
  uint16_t OutSize() const { return outSize_; }
  void SetOutSize(uint16_t value);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool value) { autoOpen_ = value; }
  bool DTR() const { return dtr_; }
  void SetDTR(bool value);
  bool RTS() const { return rts_; }
  void SetRTS(bool value);
  THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet value);
  TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions value);
  char XOnChar() const { return xonChar_; }
  void SetXOnChar(char value);
  char XOffChar() const { return xoffChar_; }
  void SetXOffChar(char value);
  uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t value);
  uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t value);

  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState value);
  uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t value);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(const std::string& value) { traceName_ = value; }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool value) { traceHex_ = value; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool value) { traceAllHex_ = value; }

  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState value);
  uint32_t LogSize() const { return logSize_; }
  void SetLogSize(uint32_t value);
  const std::string& LogName() const { return logName_; }
  void SetLogName(const std::string& value) { logName_ = value; }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool value) { logHex_ = value; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool value) { logAllHex_ = value; }

  bool UseMSRShadow() const { return useMSRShadow_; }
  virtual void SetUseMSRShadow(bool value);  // has no effect
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool value);
  uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t value) { commNotificationLevel_ = value; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
  bool RS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool value);
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t value) { tag_ = value; }
  uint16_t AvailLength() const { return availLength_; }
  void SetAvailLength(uint16_t value);
  uint8_t ThreadPriorityBoost() const { return threadPriorityBoost_; }
  void SetThreadPriorityBoost(uint8_t value);

  // ---- events (main thread)
  TPortNotifyEvent OnPortOpen;
  TPortNotifyEvent OnPortClose;
  // The close writes the trace and the dispatch log first; a file that cannot be written
  // never keeps the port open. The close goes on, the recorder stays off from then on (no
  // later close tries again), and the failures of that close are handed here, once, when the
  // close has run. By default they are reported on standard error; a library user may take
  // them instead (nullptr: not reported at all).
  TRecorderFailureEvent OnRecorderFailure = ReportRecorderFailure;
  TWaitCharEvent OnWaitChar;
  // The port's own trigger events: delivered through the port's hidden window on the main
  // thread. Assigning one makes an open port ask its dispatcher to serve that window.
  TTriggerEventProperty<TTriggerEvent> OnTrigger{*this};
  TTriggerEventProperty<TTriggerAvailEvent> OnTriggerAvail{*this};
  TTriggerEventProperty<TTriggerDataEvent> OnTriggerData{*this};
  TTriggerEventProperty<TTriggerStatusEvent> OnTriggerStatus{*this};
  TTriggerEventProperty<TTriggerTimerEvent> OnTriggerTimer{*this};
  TTriggerEventProperty<TTriggerLineErrorEvent> OnTriggerLineError{*this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerModemStatus{*this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutbuffFree{*this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutbuffUsed{*this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutSent{*this};

  // Ends the loading bracket; an Open written True while loading opens the port now (an
  // exception there goes to the application's exception display).
  void Loaded() override;

  // Asks the dispatcher to serve the port's hidden window when any trigger event is assigned.
  virtual void RecheckTriggerEvents();

 protected:
  virtual void CreateDispatcher();
  virtual void DeviceLayerChanged() {}
  virtual void OpenDispatcher();
  virtual void SetComWindow(bool install);
  virtual void EnsureComNumber();
  virtual void DoTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void DoTriggerAvail(uint16_t Count);
  virtual void DoTriggerData(uint16_t TriggerHandle);
  virtual void DoTriggerStatus(uint16_t TriggerHandle);
  virtual void DoTriggerTimer(uint16_t TriggerHandle);
  virtual void DoTriggerLineError(uint16_t Error, bool LineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void DoWaitChar(char Ch);
  virtual void ClosePortNow();
  virtual void ServicePort() {}
  virtual void NotifyOpen();
  virtual void NotifyClose();
  virtual void NotifyClosing();
  virtual void OpenPortNow();

  // The device layers a port accepts ({dlWin32} from construction).
  uint8_t allowedLayers_ = 1u << dlWin32;

 private:
  struct TPortUser {
    platform::HWND Window = 0;
    const void* Code = nullptr;
    TLegacyPortCallback Legacy;
    TPortCallback Callback;
    bool EventStyle = false;
  };

  intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  void CompleteDeferredClose(int32_t dispatcherHandle);
  // Destroys the hidden window and the dispatcher and marks the port closed.
  // The closed notice to the port users (NotifyClose without OnPortClose).
  void TellUsersClosed();
  void FinishClose();
  void DestroyDispatcher();
  // The first step of the close: writes both recorders' files; returns what could not be
  // written (and notes which recorders failed in closeFileFailures_).
  std::vector<TRecorderFileFailure> DumpRecorders();
  // The close after the files: the users' notices, the stop, the end of the dispatcher.
  void CloseAfterDump();
  void TellRecorderFailures(const std::vector<TRecorderFileFailure>& failures);
  static constexpr uint8_t kTraceFileFailed = 1;
  static constexpr uint8_t kLogFileFailed = 2;
  void ReapplyFlow();
  void ApplyLineNow();
  bool Closing() const { return openState_.load() == osClosing; }
  TBaseDispatcher* Dispatcher() const { return dispatcher_.load(); }

  // Owner of the dispatcher; dispatcher_ mirrors it for the trigger handlers on the dispatch
  // thread, which read it while the main thread opens and closes.
  std::unique_ptr<TBaseDispatcher> dispatcherOwner_;
  std::atomic<TBaseDispatcher*> dispatcher_{nullptr};
  std::atomic<TOpenState> openState_{osClosed};
  std::atomic<bool> open_{false};
  bool reapply_ = false;
  bool reopenRequested_ = false;
  bool openAfterLoading_ = false;
  bool destroying_ = false;
  platform::HWND comWindow_ = 0;
  TDispatcherFactory factory_;
  // Written by the close and the open on the main thread; a trigger dropped while the port
  // closes may come from the dispatch thread (a transfer's last step).
  std::mutex savedLock_;
  TSavedTriggers savedTriggers_;
  bool restoreOnOpen_ = false;
  // Which recorder files the last close could not write.
  uint8_t closeFileFailures_ = 0;
  std::vector<TPortUser> users_;

  TDeviceLayer deviceLayer_ = dlWin32;
  uint16_t comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = swfNone;
  char xonChar_ = 17;
  char xoffChar_ = 19;
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  uint32_t traceSize_ = 10000;
  std::string traceName_ = "COMM.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = tlOff;
  uint32_t logSize_ = 10000;
  std::string logName_ = "COMM.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useMSRShadow_ = true;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  bool rs485Mode_ = false;
  int32_t tag_ = 0;
  uint16_t availLength_ = 1;
  uint8_t threadPriorityBoost_ = 0;
};

// The component an application places: all behaviour is in TCustomComPort.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};

// The first serial port component among the owner's components, depth first in index order
// (a component's own components are searched before its next sibling); null when none.
TCustomComPort* FindOwnerPort(TBaseComponent* owner);

template <typename Fn>
TTriggerEventProperty<Fn>& TTriggerEventProperty<Fn>::operator=(Fn fn) {
  fn_ = std::move(fn);
  port_.RecheckTriggerEvents();
  return *this;
}

}  // namespace comm
