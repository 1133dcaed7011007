#pragma once
// The dispatcher: owns one open serial device for one port component. It keeps the received
// bytes in an 8192-byte input ring and the bytes still to be sent in an output ring, the line
// settings and status, the trigger tables and handler lists, the worker threads, and the two
// diagnostic recorders (byte trace and dispatch log).
//
// Locks: StateLock, OutputLock and InputLock are never nested in one another; handlers are
// called with no dispatcher lock held.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/Common.h"
#include "comm/IoQueue.h"
#include "comm/RecorderFiles.h"
#include "platform/Event.h"
#include "platform/MessageQueue.h"

namespace comm {

class TBaseDispatcher;

// A re-entrant lock with a timed acquire, built on a condition variable (the runtime's timed
// mutexes are not understood by the thread checker).
class TReentrantLock {
 public:
  void lock();
  void unlock();
  bool try_lock_for(std::chrono::milliseconds limit);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
};

// ---- trigger messages --------------------------------------------------------------------
constexpr uint32_t TriggerAvailMessage = 0x7E01;
constexpr uint32_t TriggerDataMessage = 0x7E02;
constexpr uint32_t TriggerTimerMessage = 0x7E03;
constexpr uint32_t TriggerStatusMessage = 0x7E04;

// Status trigger kinds (the low three bits of a status trigger's handle).
constexpr int32_t StatusNone = 0;
constexpr int32_t StatusModem = 1;
constexpr int32_t StatusLine = 2;
constexpr int32_t StatusOutputFree = 3;
constexpr int32_t StatusOutputUsed = 4;
constexpr int32_t StatusOutputSent = 5;

constexpr int32_t kInputRingSize = 8192;
// Received records that may wait in the input queue beyond the ring. When an application
// reads slower than the device sends, the read thread stops reading at this bound and the
// kernel's flow control holds the device back, instead of memory growing without end.
constexpr uint32_t kInputQueueLimit = 65536;
constexpr int32_t kAvailTriggerHandle = 1;

// StartPort options.
constexpr uint32_t kOptionDtrOn = 0x01;
constexpr uint32_t kOptionRtsOn = 0x02;
constexpr uint32_t kOptionHwFlowDtr = 0x10;
constexpr uint32_t kOptionHwFlowRts = 0x20;

// Device event mask bits (as the status thread reports them).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_RINGTE = 0x2000;

// Line functions.
constexpr int32_t SETRTS = 3;
constexpr int32_t CLRRTS = 4;
constexpr int32_t SETDTR = 5;
constexpr int32_t CLRDTR = 6;

// A handler receives (Msg, wParam, lParam); lParam = dispatcher handle * 65536 + data.
using TTriggerProc = void (*)(uint32_t Msg, uint32_t wParam, int32_t lParam);
using TTriggerMethod = std::function<void(uint32_t Msg, uint32_t wParam, int32_t lParam)>;

// The serial state record (the fields the logic uses; termios holds what it can express).
enum : uint8_t { NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4 };
enum : uint8_t { ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2 };
enum : uint8_t { DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2 };
enum : uint8_t {
  RTS_CONTROL_DISABLE = 0,
  RTS_CONTROL_ENABLE = 1,
  RTS_CONTROL_HANDSHAKE = 2,
  RTS_CONTROL_TOGGLE = 3
};

struct TDeviceState {
  uint32_t BaudRate = 115200;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = DTR_CONTROL_DISABLE;
  uint8_t fRtsControl = RTS_CONTROL_DISABLE;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = true;
  bool fOutX = false;
  bool fInX = false;
  bool fNull = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t XonChar = 17;
  uint8_t XoffChar = 19;
  bool operator==(const TDeviceState&) const = default;
};

// Bytes waiting in the device's queues, as last read.
struct TDeviceStatus {
  uint32_t InQue = 0;
  uint32_t OutQue = 0;
};

// ---- triggers and handlers ----------------------------------------------------------------
struct TTimerTrigger {
  int32_t Handle = 0;
  TTimerRecord Timer;
  int32_t Interval = 0;
  bool Active = false;
};

struct TStatusTrigger {
  int32_t Handle = 0;
  int32_t Kind = 0;
  uint16_t Value = 0;
  bool Armed = false;
  bool Hit = false;
};

// Never created by this system's components; kept so that removal, snapshots and the scan
// accept the list.
struct TDataTrigger {
  int32_t Handle = 0;
  std::string Pattern;
  std::vector<uint8_t> MatchState;
  bool Matched = false;
  bool IgnoreCase = false;
};

// Trigger copies kept by a closed port so that a reopen restores them with their handles.
struct TSavedTriggers {
  int32_t AvailLength = 0;
  bool HasLists = false;
  std::vector<TTimerTrigger> Timers;
  std::vector<TDataTrigger> Data;
  std::vector<TStatusTrigger> Status;
};

// ---- worker threads -----------------------------------------------------------------------
class TDispatcherThread {
 public:
  explicit TDispatcherThread(TBaseDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  virtual ~TDispatcherThread();
  TDispatcherThread(const TDispatcherThread&) = delete;
  TDispatcherThread& operator=(const TDispatcherThread&) = delete;

  void Start();  // begins Execute on a new thread
  void Join();   // joins once the run has ended (no-op when never started or already joined)
  bool IsCurrentThread() const;
  TBaseDispatcher& Dispatcher() const { return dispatcher_; }
  int32_t ReturnValue() const { return returnValue_.load(); }
  // True from Start until the run (including NoteThreadEnd) has finished.
  bool Running() const { return running_.load(); }
  // True once NoteThreadEnd has done its work for this thread.
  bool Ended() const { return ended_.load(); }
  bool WaitEnded(uint32_t ms) { return ended_.load() || endedEvent_.Wait(ms); }
  int32_t NativeId() const { return tid_.load(); }
  // Called by NoteThreadEnd as its last step; wakes whoever waits for this thread's end.
  void MarkEnded();

 protected:
  virtual void Execute() = 0;
  void SetReturnValue(int32_t code) { returnValue_.store(code); }
  TBaseDispatcher& dispatcher_;

 private:
  void Run();
  std::thread thread_;
  std::mutex joinLock_;
  std::atomic<std::thread::id> id_{};
  std::atomic<int32_t> tid_{0};
  std::atomic<int32_t> returnValue_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> ended_{false};
  platform::TEvent endedEvent_{true, false};
};

// The dispatch thread: turns queued input and status into ring contents and deliveries.
class TDispThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;

 protected:
  void Execute() override;
};

// Runs fn on the main thread while the given worker thread waits (a dispatch thread that runs
// a handler). With no thread, or on the main thread, fn runs directly. An exception escaping fn
// is rethrown here.
void RunOnMainThread(TDispatcherThread* thread, const std::function<void()>& fn);

// ---- the process-wide dispatcher table ----------------------------------------------------
std::recursive_mutex& DispatcherTableLock();
// The live dispatcher with that handle, or null. Call with DispatcherTableLock held.
TBaseDispatcher* FindDispatcher(int32_t handle);
int32_t DispatcherTableSize();

// ---- trace and dispatch log ---------------------------------------------------------------
constexpr uint32_t kMaxTraceSize = 4000000;

class TBaseDispatcher {
 public:
  explicit TBaseDispatcher(TBaseComponent* owner);
  virtual ~TBaseDispatcher();
  TBaseDispatcher(const TBaseDispatcher&) = delete;
  TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

  // ---- identity
  TBaseComponent* Owner() const { return owner_; }
  int32_t Handle() const { return handle_; }
  int DeviceHandle() const { return deviceHandle_.load(); }
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& name) { deviceName_ = name; }
  // Operating-system error of the last failed open or worker-thread read/write (errno values;
  // a device in use reports 5, a missing device 2).
  int32_t LastOsError() const { return lastOsError_.load(); }

  // ---- lifecycle (main thread)
  int32_t StartPort(const std::string& deviceName, int32_t baud, int32_t parity, int32_t dataBits,
                    int32_t stopBits, int32_t inSize, int32_t outSize, uint32_t options);
  void StopPort();

  // ---- line control
  int32_t ApplyLine(int32_t baud, int32_t parity, int32_t dataBits, int32_t stopBits);
  struct TLineSettings {
    int32_t Baud;
    int32_t Parity;
    int32_t DataBits;
    int32_t StopBits;
  };
  TLineSettings QueryLine();
  int32_t SetDtrLine(bool on);
  int32_t SetRtsLine(bool on);
  uint8_t ModemStatusNow();
  bool CarrierPresent();
  int32_t TakeLineError();
  bool TakeBreak();
  void SendLineBreak(int32_t ticks, bool yield);
  int32_t SetHardwareFlow(int32_t full, int32_t resume, uint32_t options);
  int32_t SetSoftwareFlow(int32_t full, int32_t resume, uint32_t options);
  int32_t SoftwareFlowOff();
  int32_t SetFlowChars(uint8_t xon, uint8_t xoff);
  struct TFlowSettings {
    uint32_t HardwareOptions;
    uint32_t SoftwareOptions;
    uint8_t XonChar;
    uint8_t XoffChar;
  };
  TFlowSettings QueryFlow();
  int32_t ResizeQueues(int32_t inSize, int32_t outSize);
  std::pair<int32_t, int32_t> QueueSizes() const { return {inSize_.load(), outSize_}; }
  int32_t LineErrors() const;       // the line-error accumulator (-1 after a worker failure)
  uint8_t ModemStatusByte() const;  // without refreshing from the device
  const TDeviceState& DeviceStateRecord() const { return dcb_; }

  // ---- input (dispatch thread in handlers, main thread)
  bool ByteWaiting();
  int32_t ByteAt(int32_t n, uint8_t& byte);  // n counted from 1; 0 or -3007
  int32_t ReceiveByte(uint8_t& byte);
  // count or -3007; endPos receives the ring index after the last byte copied.
  int32_t ReadAhead(void* buffer, int32_t offset, int32_t count, int32_t* endPos = nullptr);
  int32_t ReceiveBlock(void* buffer, int32_t count);
  int32_t InputUsed();
  int32_t InputFree();
  int32_t ClearInput();

  // ---- output
  int32_t SendByte(uint8_t b);
  int32_t SendBlock(const void* data, int32_t length);
  int32_t OutputUsed();
  int32_t OutputFree();
  int32_t ClearOutput();

  // ---- other
  int32_t SetUserData(int32_t slot, void* pointer);
  void* GetUserData(int32_t slot);  // null for a bad slot
  void SetOptionBits(uint32_t bits);
  void ClearOptionBits(uint32_t bits);
  uint32_t OptionBits() const;

  // ---- triggers (each takes StateLock)
  int32_t NewTimerTrigger();
  int32_t NewStatusTrigger(int32_t kind);
  int32_t DropTrigger(int32_t handle);
  int32_t ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
  int32_t TimerTicksLeft(int32_t handle, int32_t& ticks);
  int32_t ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
  void SetAvailLength(int32_t n);
  int32_t AvailLength() const { return availLength_.load(); }
  void DropAllTriggers();
  void ResetStatusHits();
  void SnapshotTriggers(TSavedTriggers& saved);
  void RestoreTriggers(const TSavedTriggers& saved);
  // Read-only views for diagnostics and tests (copies taken under StateLock).
  std::vector<TTimerTrigger> TimerTriggers();
  std::vector<TStatusTrigger> StatusTriggers();

  // ---- handlers
  void AddWindowHandler(platform::HWND window);
  void AddProcedureHandler(TTriggerProc procedure);
  // code identifies the method for removal (the object is not compared).
  void AddEventHandler(const void* code, TTriggerMethod method);
  void RemoveWindowHandler(platform::HWND window);
  void RemoveProcedureHandler(TTriggerProc procedure);
  void RemoveEventHandler(const void* code);
  virtual void RecheckHandlerService(int32_t change);

  // ---- threads
  virtual void SetThreadBoost(uint8_t boost);
  TDispatcherThread* DispatchThread() const { return dispatchThread_.get(); }
  bool ThreadsRunning() const { return threadsRunning_.load(); }
  int32_t LiveThreadCount() const { return liveThreadCount_.load(); }
  bool StopRequested() const { return stopRequested_.load(); }
  // Asks every worker thread to end (a failing thread does so for all of them) and wakes
  // their waits, which have no time limit.
  void RequestStop() {
    stopRequested_.store(true);
    WakeWorkers();
  }
  bool DispatchActive() const { return dispatchActive_.load(); }
  bool ClosePending() const { return closePending_.load(); }
  // A worker thread ended with a device read or write failure since the port started: the
  // device has gone away (or broke), and no dispatch pass runs again until it is reopened.
  bool DeviceFailed() const { return deviceFailed_.load(); }
  bool BuffersReleased() const;
  // A worker thread of this dispatcher is about to wait for the main thread (a handler that
  // sends a message to a window of the main thread) / has stopped waiting. A close on the main
  // thread then does not wait for a thread that waits for it.
  void BeginMainThreadWait() { mainThreadCalls_.fetch_add(1); }
  void EndMainThreadWait() { mainThreadCalls_.fetch_sub(1); }
  // Waits at most ms for every worker thread to end; true when none runs any more.
  bool WaitThreadsEnded(uint32_t ms);
  void NoteThreadStart(TDispatcherThread* thread);
  void NoteThreadEnd(TDispatcherThread* thread);
  TIOQueue& InputQueue() { return inputQueue_; }
  platform::TEvent& StartEvent() { return startEvent_; }

  // ---- dispatch loop passes (dispatch thread)
  void InputPass();
  void TimerPass();
  bool PullInput();
  bool ScanStatusTriggers();
  bool ScanReceivedData();
  bool ScanTimerTriggers();

  // ---- trace
  void RecordTraceByte(uint8_t kind, uint8_t byte);
  bool TraceOn() const { return traceOn_.load(std::memory_order_relaxed); }
  int32_t BeginTrace(uint32_t entries);
  int32_t ClearTrace();
  void DiscardTrace();
  void ResumeTrace();
  void PauseTrace();
  int32_t WriteTraceFile(const std::string& name, bool append, bool hex, bool allHex);

  // ---- dispatch log
  void RecordLogEntry(uint8_t kind, uint16_t subKind, uint32_t data, const void* bytes,
                      int32_t length);
  void RecordLogText(uint8_t kind, uint16_t subKind, uint32_t data, const std::string& text);
  bool LogOn() const { return logOn_.load(std::memory_order_relaxed); }
  uint32_t LogClock() const;
  void BeginDispatchLog(uint32_t limit);
  void ClearDispatchLog();
  void DiscardDispatchLog();
  void ResumeDispatchLog();
  void PauseDispatchLog();
  int32_t WriteDispatchLogFile(const std::string& name, bool append, bool hex, bool allHex);
  TIOQueue& LogQueue() { return logQueue_; }
  static std::string OperatingSystemText();

  // ---- locks
  std::recursive_mutex& StateLock() const { return stateLock_; }
  std::recursive_mutex& OutputLock() const { return outputLock_; }
  std::recursive_mutex& InputLock() const { return inputLock_; }

  // ---- virtual operations of the device layer
  // (the most-derived destructor must call Shutdown() first: the base destructor cannot reach
  // the device layer any more)
  virtual int32_t LineFunction(int32_t code) = 0;
  virtual int32_t PurgeDevice(int32_t side) = 0;
  virtual int32_t ReadDeviceErrors(TDeviceStatus& status) = 0;
  virtual int32_t NoteReadFailure(int32_t code) = 0;
  virtual int32_t GetDeviceState(TDeviceState& record) = 0;
  virtual int32_t ReadDevice(uint8_t* buffer, int32_t count) = 0;
  virtual int32_t SetDeviceState(const TDeviceState& record) = 0;
  virtual int32_t WriteDevice(const uint8_t* data, int32_t count) = 0;
  virtual bool WaitDeviceEvent(uint32_t& mask) = 0;
  virtual bool SizeDeviceQueues(int32_t inSize, int32_t outSize) = 0;
  virtual void ReleaseBuffers();
  virtual void StartThreads() = 0;
  virtual void StopThreads() = 0;
  virtual int32_t OutputPending() = 0;
  virtual int32_t InputPending();
  virtual int32_t OpenDevice(const std::string& name, int32_t inSize, int32_t outSize) = 0;
  virtual int32_t CloseDevice() = 0;
  virtual int32_t ServiceDevice() = 0;
  // Reads the device's modem lines (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80); 0 when it has none.
  virtual uint8_t ReadModemLines() = 0;
  virtual int32_t SetBreak(bool on) = 0;
  // Ends the current wait of every worker thread, so that each looks at StopRequested.
  virtual void WakeWorkers() { inputQueue_.Event().Set(); }

 public:
  // Stops the port (or finishes a pending close), then serves the main-thread queue until
  // every worker thread has ended, and joins them. The most-derived destructor calls it; a
  // subclass of the platform dispatcher must call it in its own destructor (or the owner
  // before deleting), so that no thread still runs while a destructor is under way.
  void Shutdown();

 protected:
  void JoinAllThreads();
  // The worker threads' shared stop sequence (closes no device): used by the platform's
  // CloseDevice. Returns false when a close was already running; the caller then has nothing
  // to do. A close returns only with the device closed: a caller other than the closing
  // thread and this dispatcher's own threads (which that close may be waiting for) first
  // waits for the running close to end, serving the main-thread queue when it is the main
  // thread. (After a device failure the dispatch thread closes the device as it ends, and a
  // stop from the main thread may come meanwhile.)
  bool BeginClose();
  void EndClose();
  bool CloseRunning() const { return closeRunning_.load(); }
  // Waits, pumping the main-thread queue, until the thread has ended or maxMs passed
  // (kInfinite: no limit). True when it ended.
  bool PumpUntilEnded(TDispatcherThread* thread, uint32_t maxMs);
  void StopWorkerThreads(const std::function<void()>& wakeStatus,
                         const std::function<void()>& wakeWrite,
                         const std::function<void()>& wakeRead);
  void RecordWorkerError(int32_t error) { lastOsError_.store(error); }

  int32_t CommitDeviceState(TDeviceState& record);
  void DrainBeforeLineChange();
  void RefreshLineErrors();
  uint8_t RefreshModemStatus(uint8_t mask);
  void UpdateModemDeltas();
  int32_t AllocTriggerHandle();
  void FireTimersAfterFailure();
  bool DeliverTrigger(uint32_t msg, uint32_t wParam, uint32_t data);
  int32_t InputHeld() const;  // under InputLock

  // identity
  TBaseComponent* owner_;
  int32_t handle_ = -1;
  std::atomic<int> deviceHandle_{-1};
  std::string deviceName_;
  std::atomic<int32_t> lastOsError_{0};

  // sizes
  std::atomic<int32_t> inSize_{0};
  int32_t outSize_ = 0;  // fixed while the rings exist

  // input ring (InputLock)
  std::unique_ptr<uint8_t[]> inBuf_;
  int32_t inHead_ = 0;
  int32_t inTail_ = 0;
  bool inFull_ = false;
  bool peekMode_ = false;
  int32_t peekCount_ = 0;
  int32_t maxPeekCount_ = 0;
  int32_t peekFloor_ = 0;     // bytes a ClearInput discarded during this delivery: read by no one
  uint64_t pulledTotal_ = 0;  // bytes ever moved into the ring: tells new arrivals

  // output ring (OutputLock)
  std::unique_ptr<uint8_t[]> outBuf_;
  int32_t outHead_ = 0;
  int32_t outTail_ = 0;
  bool outFull_ = false;

  // line (StateLock)
  TDeviceState dcb_;
  uint32_t lastBaud_ = 115200;
  bool dtrState_ = false;
  bool dtrAuto_ = false;
  bool rtsState_ = false;
  bool rtsAuto_ = false;
  uint32_t modemStatus_ = 0;
  std::atomic<int32_t> lastError_{0};  // line-error accumulator
  TDeviceStatus comStatus_;
  uint32_t currentEvent_ = 0;
  std::atomic<bool> ringFlag_{false};
  std::atomic<bool> outSentPending_{false};
  uint32_t optionBits_ = 0;
  bool rs485Mode_ = false;
  uint16_t baseAddress_ = 0;

  // triggers (StateLock)
  std::atomic<int32_t> availLength_{0};
  int32_t lastAvailNotice_ = 0;
  uint64_t lastAvailArrivals_ = 0;  // dispatch thread only
  int32_t scanPosition_ = 0;
  int32_t handleCounter_ = 1;
  bool statusHit_ = false;
  std::vector<TTimerTrigger> timerTriggers_;
  std::vector<TStatusTrigger> statusTriggers_;
  std::vector<TDataTrigger> dataTriggers_;

  // handlers (StateLock)
  struct TWindowEntry {
    platform::HWND Window;
    bool Deleted;
  };
  struct TProcEntry {
    TTriggerProc Proc;
    bool Deleted;
  };
  struct TEventEntry {
    const void* Code;
    std::shared_ptr<TTriggerMethod> Method;
    bool Deleted;
  };
  std::vector<TWindowEntry> windowHandlers_;
  std::vector<TProcEntry> procHandlers_;
  std::vector<TEventEntry> eventHandlers_;
  std::atomic<bool> deliveryWanted_{false};
  std::atomic<bool> portWindowServed_{false};
  std::atomic<bool> dispatchActive_{false};
  std::atomic<bool> handlersDirty_{false};
  std::atomic<bool> closePending_{false};
  // Serialises deliveries: a worker thread that fails runs a status scan while the dispatch
  // thread may be delivering.
  TReentrantLock deliveryLock_;

  // threads
  std::unique_ptr<TDispatcherThread> readThread_;
  std::unique_ptr<TDispatcherThread> writeThread_;
  std::unique_ptr<TDispatcherThread> statusThread_;
  std::unique_ptr<TDispatcherThread> dispatchThread_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> threadsRunning_{false};
  std::atomic<int32_t> liveThreadCount_{0};
  std::atomic<bool> releaseOnDispatchExit_{false};
  std::atomic<bool> deviceFailed_{false};
  std::atomic<bool> closeRunning_{false};
  std::thread::id closeThread_;  // the thread running the close (StateLock)
  std::mutex closeEndedLock_;
  std::condition_variable closeEnded_;
  std::atomic<bool> shutDown_{false};
  std::mutex threadsEndedLock_;
  std::condition_variable threadsEnded_;
  // A worker thread of this dispatcher waits for the main thread (RunOnMainThread, or a
  // window handler reached with SendMessageTimeout).
  std::atomic<int32_t> mainThreadCalls_{0};
  uint8_t threadBoost_ = 0;
  platform::TEvent startEvent_{false, false};
  TIOQueue inputQueue_;

  // user data (StateLock)
  void* userData_[3] = {nullptr, nullptr, nullptr};

  // trace (StateLock)
  std::atomic<bool> traceOn_{false};
  std::unique_ptr<uint8_t[]> traceBuf_;
  uint32_t tracePosition_ = 0;
  uint32_t traceSize_ = 0;
  bool traceWrapped_ = false;

  // dispatch log (the log queue's own lock)
  std::atomic<bool> logOn_{false};
  TIOQueue logQueue_;
  std::atomic<uint32_t> logLimit_{0};
  std::atomic<uint32_t> logBaseTime_{0};

  mutable std::recursive_mutex stateLock_;
  mutable std::recursive_mutex outputLock_;
  mutable std::recursive_mutex inputLock_;

  friend void RunOnMainThread(TDispatcherThread* thread, const std::function<void()>& fn);
  friend class TDispThread;
};

// Dispatch-log kinds and subkinds used by the library.
namespace logk {
constexpr uint8_t Dispatch = 1, Trigger = 2, TrigAllc = 5, TrigDisp = 6, TrgHdAlc = 7, TrgHdDsp = 8,
                  TrDatChg = 9, XModem = 12, Packet = 18;
constexpr uint16_t ReadCom = 1, WriteCom = 2, ModemStatusSub = 4, AvailSub = 5, TimerSub = 6,
                   DataSub = 7, StatusSub = 8, Timer = 14, Status = 15, Avail = 16, Window = 17,
                   Procedure = 18, Method = 19;
}  // namespace logk

}  // namespace comm
