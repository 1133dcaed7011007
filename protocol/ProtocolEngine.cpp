#include "protocol/ProtocolEngine.h"

#include <unistd.h>

#include <array>
#include <exception>
#include <string>
#include <thread>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "protocol/SourceFile.h"
#include "protocol/Xmodem.h"

namespace comm {

// ---- record -------------------------------------------------------------------------------

TransferRecord::TransferRecord() {
  Hooks.StatusNotify = comm::StatusNotify;
  Hooks.LogNotify = comm::LogNotify;
  Hooks.NextFile = comm::NextFile;
  Hooks.AcceptFile = comm::AcceptFile;
  Hooks.OpenSourceFile = comm::OpenSourceFile;
  Hooks.ReadSourceBlock = comm::ReadSourceBlock;
  Hooks.CloseSourceFile = comm::CloseSourceFile;
}

TransferRecord::~TransferRecord() {
  if (SourceFile >= 0) ::close(SourceFile);
}

int32_t CreateTransferRecord(std::unique_ptr<TransferRecord>& record, TCustomComPort* port,
                             int32_t flags) {
  record = std::make_unique<TransferRecord>();
  record->Port = port;
  record->Flags = flags;
  if (port != nullptr && port->Open()) record->CharsPerSecond = port->Baud() / 10;
  return 0;
}

void FreeTransferRecord(std::unique_ptr<TransferRecord>& record) { record.reset(); }

// ---- ProtocolTable ------------------------------------------------------------------------

const TProtocolEntry& ProtocolTableEntry(TProtocolType type) {
  static const std::array<TProtocolEntry, ptAscii + 1> table = [] {
    std::array<TProtocolEntry, ptAscii + 1> t{};
    const TProtocolRoutines xmodemTransmit{PrepareTransmit, TransmitStep};
    for (TProtocolType x : {ptXmodem, ptXmodemCRC, ptXmodem1K, ptXmodem1KG})
      t[x].Transmit = xmodemTransmit;
    return t;
  }();
  static const TProtocolEntry none{};
  if (type > ptAscii) return none;
  return table[type];
}

uint8_t ProtocolLogKind(uint8_t type) {
  switch (type) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
      return 12;
    case ptYmodem:
    case ptYmodemG:
      return 13;
    case ptZmodem:
      return 14;
    case ptKermit:
      return 15;
    case ptAscii:
      return 16;
    default:
      return 0;
  }
}

int32_t DispatcherParam(const TBaseDispatcher& dispatcher) {
  return static_cast<int32_t>(static_cast<uint32_t>(dispatcher.Handle()) << 16);
}

// ---- starting and ending ------------------------------------------------------------------

namespace {

// Sends a notification to the component's window and waits for its handler. The waits are
// counted so that the main thread, should that handler cancel the transfer or close the
// port, knows that this step cannot go on until the handler returns.
bool NotifyWindow(TransferRecord& record, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                  intptr_t* result) {
  TBaseDispatcher* dispatcher = nullptr;
  if (TCustomComPort* port = record.Port) dispatcher = port->ActiveDispatcher();
  record.MainThreadWaits.fetch_add(1);
  if (dispatcher != nullptr) dispatcher->BeginMainThreadWait();
  const bool handled = platform::SendMessageTimeout(record.MessageWindow, msg, wParam, lParam,
                                                    kNotifyTimeoutMs, result);
  if (dispatcher != nullptr) dispatcher->EndMainThreadWait();
  record.MainThreadWaits.fetch_sub(1);
  return handled;
}

}  // namespace

void BeginTransfer(TransferRecord& record, TProtocolType type, TStepProc step,
                   TPrepareProc prepare) {
  record.ProtocolType = type;
  record.StepProc = step;
  record.SearchPending = true;
  record.CancelPending = false;

  TCustomComPort* port = record.Port;
  if (port == nullptr || !port->Open()) {
    record.ErrorCode = ecNotOpen;
    EndTransfer(record);
    return;
  }
  TBaseDispatcher* dispatcher = port->RequireDispatcher();
  dispatcher->SetAvailLength(1);

  record.TimeoutTimer = port->NewTimerTrigger();
  record.StatusTimer = port->NewTimerTrigger();
  record.OutputFreeTrigger = port->NewStatusTrigger(StatusOutputFree);
  record.OutputUsedTrigger = port->NewStatusTrigger(StatusOutputUsed);
  record.ModemTrigger = port->NewStatusTrigger(StatusModem);

  dispatcher->SetUserData(1, &record);

  prepare(record);
  if (record.ErrorCode != 0) {
    EndTransfer(record);
    return;
  }

  step(0, 0, DispatcherParam(*dispatcher));
  if (record.ErrorCode != 0) return;

  port->ArmTimerTrigger(record.StatusTimer, record.StatusInterval, true);

  if ((record.Flags & apAbortNoCarrier) != 0) {
    if (dispatcher->CarrierPresent()) {
      port->ArmStatusTrigger(record.ModemTrigger, 0x80, true);
    } else {
      // No carrier to begin with ends the transfer as a carrier loss would: through the
      // machine's finishing state, so the last status report and the file's closing happen.
      step(0, static_cast<uint32_t>(record.ModemTrigger.load()), DispatcherParam(*dispatcher));
      return;
    }
  }

  dispatcher->AddProcedureHandler(step);
}

void EndTransfer(TransferRecord& record) {
  ReleaseTransfer(record);

  if (record.ErrorCode == 0) {
    switch (record.StatusCode.load()) {
      case psFileRejected:
        record.ErrorCode = ecFileRejected;
        break;
      case psCantWriteFile:
        record.ErrorCode = ecCantWriteFile;
        break;
      case psTimeout:
        record.ErrorCode = ecTimeout;
        break;
      case psProtocolError:
        record.ErrorCode = ecProtocolError;
        break;
      case psCancelRequested:
        record.ErrorCode = ecCancelRequested;
        break;
      case psSequenceError:
        record.ErrorCode = ecSequenceError;
        break;
      case psAbortNoCarrier:
        record.ErrorCode = ecAbortNoCarrier;
        break;
      case psAbort:
        record.ErrorCode = ecProtocolAbort;
        break;
      default:
        break;
    }
  }

  // The end-of-transfer log entry goes through RequireDispatcher, so a port without a
  // dispatcher raises its not-open exception here and no finish message is posted.
  if (TCustomComPort* port = record.Port) {
    TBaseDispatcher* dispatcher = port->RequireDispatcher();
    if (dispatcher->LogOn()) {
      dispatcher->RecordLogText(ProtocolLogKind(record.ProtocolType), kLogTransferEnd, 0,
                                "ErrorCode:" + std::to_string(record.ErrorCode.load()));
    }
  }

  platform::PostMessage(record.MessageWindow, ProtocolFinishMessage,
                        static_cast<uintptr_t>(static_cast<uint32_t>(record.ErrorCode.load())),
                        reinterpret_cast<intptr_t>(&record));
}

void ReleaseTransfer(TransferRecord& record) {
  TCustomComPort* port = record.Port;
  for (std::atomic<int32_t>* trigger :
       {&record.TimeoutTimer, &record.StatusTimer, &record.OutputFreeTrigger,
        &record.OutputUsedTrigger, &record.ModemTrigger}) {
    const int32_t handle = trigger->exchange(0);
    if (handle > 0 && port != nullptr) {
      // The release goes on whatever one trigger's drop says: the rest must not be left
      // behind.
      try {
        port->DropTrigger(handle);
      } catch (const std::exception&) {
      }
    }
  }

  if (port != nullptr && port->Open()) {
    if (TBaseDispatcher* dispatcher = port->ActiveDispatcher()) {
      if (TStepProc step = record.StepProc) dispatcher->RemoveProcedureHandler(step);
    }
  }

  if (record.SearchOpen) CloseSearch(record);
  if (record.FileOpen) {
    CloseSourceDescriptor(record);
    record.FileOpen = false;
  }
}

// ---- counters and reports -----------------------------------------------------------------

void ResetCounters(TransferRecord& record) {
  if (record.InProgressCount == 0) {
    record.FileLength = 0;
    record.BytesRemaining = 0;
  }
  record.RawBytesTransferred = 0;
  record.BlockNumber = 0;
  record.ElapsedTicks = 0;
  record.BlockErrors = 0;
  record.TotalErrors = 0;
  record.StatusCode = psOK;
  record.ErrorCode = 0;
}

void ReportFirstStatus(TransferRecord& record) {
  const uint16_t options = record.InProgressCount == 0 ? soFirstReport : 0;
  record.Hooks.StatusNotify(record, options);
  ++record.InProgressCount;
}

void ReportLastStatus(TransferRecord& record) {
  if (record.InProgressCount == 0) return;
  const int32_t left = --record.InProgressCount;
  record.Hooks.StatusNotify(record, left == 0 ? soLastReport : 0);
}

void ReportError(TransferRecord& record, int32_t code) {
  NotifyWindow(record, ProtocolErrorMessage, static_cast<uintptr_t>(static_cast<uint32_t>(code)), 0,
               nullptr);
  record.ErrorCode = code;
}

int32_t ComputeBytesTransferred(TransferRecord& record) {
  TCustomComPort* port = record.Port;
  if (port == nullptr) return 0;
  return BytesTransferredFor(record.RawBytesTransferred, static_cast<uint16_t>(port->OutputUsed()),
                             record.BlockLength, record.Overhead);
}

int32_t BytesTransferredFor(int32_t raw, int32_t used, int32_t blockLength, int32_t overhead) {
  if (used < blockLength) return raw;
  const int32_t overheadBytes = blockLength == 0 ? 0 : (used / blockLength) * overhead;
  const int32_t result = raw - (used - overheadBytes);
  return result > 0 ? result : 0;
}

void ComputeCharsPerSecond(TransferRecord& record, int32_t baud) {
  int32_t divisor = 10;
  TCustomComPort* port = record.Port;
  if (port != nullptr && port->Open()) {
    if (TBaseDispatcher* dispatcher = port->ActiveDispatcher()) {
      const TBaseDispatcher::TLineSettings line = dispatcher->QueryLine();
      divisor = line.DataBits + 2 + (line.Parity != NOPARITY ? 1 : 0);
    }
  }
  record.CharsPerSecond = divisor > 0 ? baud / divisor : 0;
}

// ---- block checks -------------------------------------------------------------------------

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 8;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000) != 0 ? (r << 1) ^ 0x1021 : r << 1;
    table[i] = static_cast<uint16_t>(r & 0xFFFF);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t UpdateChecksum(uint8_t byte, uint32_t sum) { return sum + byte; }

uint16_t UpdateCrc16(uint8_t byte, uint16_t crc) {
  return static_cast<uint16_t>(((static_cast<uint32_t>(crc) << 8) ^ kCrcTable[crc >> 8] ^ byte) &
                               0xFFFF);
}

uint16_t BlockCrc16(const uint8_t* data, int32_t length) {
  uint16_t crc = 0;
  for (int32_t i = 0; i < length; ++i) crc = UpdateCrc16(data[i], crc);
  crc = UpdateCrc16(0, crc);
  return UpdateCrc16(0, crc);
}

// ---- notifications ------------------------------------------------------------------------

void StatusNotify(TransferRecord& record, uint16_t options) {
  NotifyWindow(record, ProtocolStatusMessage, options, reinterpret_cast<intptr_t>(&record),
               nullptr);
}

void LogNotify(TransferRecord& record, uint16_t code) {
  NotifyWindow(record, ProtocolLogMessage, code, reinterpret_cast<intptr_t>(&record), nullptr);
}

bool NextFile(TransferRecord& record, std::string& destination) {
  // The window copies the name into this buffer while the sender waits for it.
  char name[kMaxPathText + 1] = {};
  intptr_t result = 0;
  const bool handled =
      NotifyWindow(record, ProtocolNextFileMessage, 0, reinterpret_cast<intptr_t>(name), &result);
  if (!handled || result == 0) return false;
  destination = name;
  return true;
}

bool AcceptFile(TransferRecord& record, const std::string& name) {
  char text[kMaxPathText + 1] = {};
  name.copy(text, kMaxPathText);
  intptr_t result = 0;
  const bool handled =
      NotifyWindow(record, ProtocolAcceptMessage, 0, reinterpret_cast<intptr_t>(text), &result);
  return handled && result != 0;
}

// ---- step framing -------------------------------------------------------------------------

namespace {

// The record of the transfer on the dispatcher named by lParam's high 16 bits. The table
// lock is held only for the look-up: the main thread may need it while a step runs.
TransferRecord* FindRecord(int32_t lParam, TBaseDispatcher*& dispatcher) {
  std::lock_guard<std::recursive_mutex> guard(DispatcherTableLock());
  dispatcher = FindDispatcher(static_cast<int32_t>(static_cast<uint32_t>(lParam) >> 16));
  if (dispatcher == nullptr) return nullptr;
  return static_cast<TransferRecord*>(dispatcher->GetUserData(1));
}

}  // namespace

int32_t RunStep(const TStepMachine& machine, uint32_t msg, uint32_t trigger, int32_t lParam) {
  TBaseDispatcher* dispatcher = nullptr;
  TransferRecord* found = FindRecord(lParam, dispatcher);
  if (found == nullptr) return 0;
  TransferRecord& record = *found;

  std::unique_lock<std::recursive_mutex> stepGuard(record.StepLock, std::defer_lock);
  if (msg == ProtocolCancelMessage && platform::IsMainThread()) {
    // The running step may be waiting for a handler of this very thread (one that cancels or
    // closes the port): waiting for its lock could never end. The cancel is left to the step,
    // which carries it out before it lets go of the lock; should the step have let go just
    // before it saw the request, the cancel runs here after all.
    if (!stepGuard.try_lock()) {
      record.CancelPending.store(true);
      for (;;) {
        if (stepGuard.try_lock()) {
          if (!record.CancelPending.exchange(false)) return 0;  // the step did it
          break;
        }
        if (record.MainThreadWaits.load() > 0) return 0;  // the step will see it
        std::this_thread::yield();                        // the step is finishing a pass
      }
    }
  } else {
    stepGuard.lock();
  }
  if (machine.IsFinal(machine.State(record))) return 1;

  int32_t handle = msg == TriggerAvailMessage ? 0 : static_cast<int32_t>(trigger);
  bool finished = false;
  try {
    for (;;) {
      if (dispatcher->LogOn()) {
        dispatcher->RecordLogEntry(ProtocolLogKind(record.ProtocolType),
                                   machine.StateLogCode(machine.State(record)), 0, nullptr, 0);
      }

      // Abort check: a cancel request, the carrier watch finding the carrier gone, or a
      // trigger arriving from a device that failed (it vanished: no reply can come, and the
      // dispatcher fires the transfer's timers once to say so).
      const int32_t modemTrigger = record.ModemTrigger;
      const bool cancel = msg == ProtocolCancelMessage || record.CancelPending.exchange(false);
      if (cancel ||
          (modemTrigger != 0 && handle == modemTrigger && !dispatcher->CarrierPresent()) ||
          (handle != 0 && dispatcher->DeviceFailed())) {
        machine.Abort(record, *dispatcher, cancel);
        record.ForceStatus = true;
      }

      // Status check: periodic reports, and forced ones once the status timer has run out.
      if ((handle != 0 && handle == record.StatusTimer) || record.ForceStatus) {
        if (record.TimerRunning) record.ElapsedTicks = TicksElapsed(record.ElapsedTimer);
        int32_t left = 0;
        if (dispatcher->TimerTicksLeft(record.StatusTimer, left) != 0) left = 0;
        if (left == 0) {
          record.Hooks.StatusNotify(record, 0);
          if (TCustomComPort* port = record.Port)
            port->ArmTimerTrigger(record.StatusTimer, record.StatusInterval, true);
          record.ForceStatus = false;
        }
      }

      if (machine.Switch(record, *dispatcher, msg, handle)) finished = true;

      const TPassRule rule = machine.Rule(machine.State(record));
      handle = 0;
      // A cancel left by the main thread is carried out before the lock goes.
      if (record.CancelPending.load() && !machine.IsFinal(machine.State(record))) continue;
      if (rule == TPassRule::Stop) break;
      if (rule == TPassRule::WhileBytes && !dispatcher->ByteWaiting()) break;
    }
  } catch (...) {
    // A fault inside a pass (an operation of a port that has gone away, say) ends the
    // transfer as a carrier loss; the machine is brought to its end so that the transfer is
    // no longer reported as running.
    record.ErrorCode = ecAbortNoCarrier;
    try {
      machine.Fault(record);
      EndTransfer(record);
    } catch (...) {
    }
    finished = true;
  }
  return finished ? 1 : 0;
}

}  // namespace comm
