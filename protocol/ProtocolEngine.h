#pragma once
// The protocol engine: the protocol-independent half of a file transfer. Each protocol
// component owns one TransferRecord; the engine keeps in it the settings, counters and file
// state of a transfer, starts the transfer on the component's serial port (BeginTransfer),
// owns the triggers it uses, makes the port's dispatcher run the protocol's step procedure on
// every trigger, computes block checks, hands status reports, log codes, errors and the end
// of the transfer to the component's hidden window, and releases everything at the end.
//
// Threads: a step runs on the thread that starts the transfer (its first step), on the
// dispatch thread (trigger deliveries) and on the thread that cancels; StepLock serialises
// them. Fields that the component reads from the main thread while a step may run elsewhere
// are atomics.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/Common.h"
#include "comm/Dispatcher.h"
#include "platform/MessageQueue.h"

namespace comm {

class TCustomComPort;

enum TProtocolType : uint8_t {
  ptNoProtocol,
  ptXmodem,
  ptXmodemCRC,
  ptXmodem1K,
  ptXmodem1KG,
  ptYmodem,
  ptYmodemG,
  ptZmodem,
  ptKermit,
  ptAscii
};

enum TBlockCheckMethod : uint8_t {
  bcmNone,
  bcmChecksum,
  bcmChecksum2,
  bcmCrc16,
  bcmCrc32,
  bcmCrcK
};

enum TWriteFailAction : uint8_t {
  wfWriteNone,
  wfWriteFail,
  wfWriteRename,
  wfWriteAnyway,
  wfWriteResume
};

// ---- messages -----------------------------------------------------------------------------
// Reach a step procedure besides the trigger messages.
constexpr uint32_t NestedStepMessage = 0x7E05;
constexpr uint32_t ProtocolCancelMessage = 0x7E14;
constexpr uint32_t ProtocolAbortMessage = 0x7E1C;
// Reach the component's hidden window.
constexpr uint32_t ProtocolStatusMessage = 0x7E15;
constexpr uint32_t ProtocolLogMessage = 0x7E16;
constexpr uint32_t ProtocolNextFileMessage = 0x7E17;
constexpr uint32_t ProtocolAcceptMessage = 0x7E18;
constexpr uint32_t ProtocolFinishMessage = 0x7E19;
constexpr uint32_t ProtocolResumeMessage = 0x7E1A;
constexpr uint32_t ProtocolErrorMessage = 0x7E1B;

// How long a notification waits for the component's thread to take it up.
constexpr uint32_t kNotifyTimeoutMs = 1000;

// ---- status codes (StatusCode) ------------------------------------------------------------
constexpr int32_t psOK = 4700;
constexpr int32_t psProtocolHandshake = 4701;
constexpr int32_t psFileRejected = 4703;
constexpr int32_t psCantWriteFile = 4707;
constexpr int32_t psTimeout = 4708;
constexpr int32_t psBlockCheckError = 4709;
constexpr int32_t psProtocolError = 4712;
constexpr int32_t psCancelRequested = 4713;
constexpr int32_t psEndFile = 4714;
constexpr int32_t psSequenceError = 4716;
constexpr int32_t psAbortNoCarrier = 4717;
constexpr int32_t psAbort = 4730;

// ---- error codes (ErrorCode) --------------------------------------------------------------
constexpr int32_t ecFileNotFound = -2;   // no file name
constexpr int32_t ecAccessDenied = -5;   // the file is held for writing elsewhere
constexpr int32_t ecReadPastEnd = -100;  // the file ended before its length
constexpr int32_t ecNotOpen = -103;      // the port is not open
constexpr int32_t ecNoSearchMask = -6002;
constexpr int32_t ecNoMatchingFiles = -6003;
constexpr int32_t ecDirNotFound = -6004;
constexpr int32_t ecCancelRequested = -6005;
constexpr int32_t ecTimeout = -6006;
constexpr int32_t ecProtocolError = -6007;
constexpr int32_t ecTooManyErrors = -6008;
constexpr int32_t ecSequenceError = -6009;
constexpr int32_t ecFileRejected = -6011;
constexpr int32_t ecCantWriteFile = -6012;
constexpr int32_t ecAbortNoCarrier = -6014;
constexpr int32_t ecFuncNotSupported = -6015;
constexpr int32_t ecProtocolAbort = -6016;

// ---- status report options, log codes, option flags ---------------------------------------
constexpr uint16_t soFirstReport = 1;
constexpr uint16_t soLastReport = 2;

constexpr uint16_t lfTransmitStart = 4;
constexpr uint16_t lfTransmitOk = 5;
constexpr uint16_t lfTransmitFail = 6;

constexpr int32_t apIncludeDirectory = 0x01;
constexpr int32_t apHonorDirectory = 0x02;
constexpr int32_t apRTSLowForWrite = 0x04;
constexpr int32_t apAbortNoCarrier = 0x08;
constexpr int32_t apBP2KTransmit = 0x80;
constexpr int32_t apAsciiSuppressCtrlZ = 0x100;

// Sizes of the engine's buffers and texts.
constexpr int32_t kFileBufferSize = 8192;
constexpr int32_t kWorkBlockSize = 1024;
constexpr size_t kMaxPathText = 255;
constexpr uint8_t PadByte = 0x1A;

// Dispatch-log subkind of the end-of-transfer entry.
constexpr uint16_t kLogTransferEnd = 8;

// States of the Xmodem machine (the Xmodem fields of the record); the dispatch log names
// them with subkind 117 + state.
enum TXmodemState : uint8_t {
  txInitial,
  txHandshake,
  txGetBlock,
  txWtFreeSpc,
  txSendBlock,
  txDraining,
  txRplyPnding,
  txEndDrain,
  txFirstEOT,
  txRestEOT,
  txEotReply,
  txFinished,
  txDone,
  rxInitial,
  rxWtFrHSRply,
  rxWtFrBlStrt,
  rxCollBlock,
  rxProcBlck,
  rxFinSkip,
  rxFinished,
  rxDone
};
constexpr uint16_t kXmodemStateLogBase = 117;

struct TransferRecord;

// A step procedure is a dispatcher procedure handler.
using TStepProc = TTriggerProc;
using TPrepareProc = void (*)(TransferRecord& record);

// The routines a transfer reaches the component and the file through. Filled with the
// engine's own routines at creation.
struct TTransferHooks {
  void (*StatusNotify)(TransferRecord& record, uint16_t options) = nullptr;
  void (*LogNotify)(TransferRecord& record, uint16_t code) = nullptr;
  bool (*NextFile)(TransferRecord& record, std::string& destination) = nullptr;
  bool (*AcceptFile)(TransferRecord& record, const std::string& name) = nullptr;
  void (*OpenSourceFile)(TransferRecord& record) = nullptr;
  bool (*ReadSourceBlock)(TransferRecord& record, uint8_t* destination, int32_t& count) = nullptr;
  void (*CloseSourceFile)(TransferRecord& record) = nullptr;
};

// State of an open directory search: the names that matched, in name order.
struct TSearchRecord {
  std::vector<std::string> Matches;
  size_t Next = 0;
  std::string Name;  // the last match handed out
};

// The per-component record of a transfer. Created zero-filled with the values of a newly
// placed component by CreateTransferRecord; lives as long as its component.
struct TransferRecord {
  TransferRecord();
  ~TransferRecord();
  TransferRecord(const TransferRecord&) = delete;
  TransferRecord& operator=(const TransferRecord&) = delete;

  // Triggers of the transfer (0 = none).
  std::atomic<int32_t> StatusTimer{0};
  std::atomic<int32_t> TimeoutTimer{0};
  std::atomic<int32_t> OutputFreeTrigger{0};
  std::atomic<int32_t> OutputUsedTrigger{0};
  std::atomic<int32_t> ModemTrigger{0};

  platform::HWND MessageWindow = 0;
  std::atomic<TCustomComPort*> Port{nullptr};
  std::atomic<bool> TimerRunning{false};
  std::atomic<uint8_t> ProtocolType{ptNoProtocol};
  std::atomic<uint8_t> BlockCheck{bcmNone};
  std::atomic<int32_t> HandshakeRetry{10};
  std::atomic<int32_t> HandshakeWait{182};
  std::atomic<int32_t> HandshakeAttempt{0};
  std::atomic<int32_t> BlockLength{128};
  std::atomic<int32_t> BlockNumber{0};
  std::atomic<int32_t> Flags{0};
  std::atomic<int32_t> TransmitTimeout{1092};
  std::atomic<int32_t> FinishWait{364};
  std::atomic<int32_t> StatusCode{0};
  std::atomic<int32_t> LastReadCount{0};
  std::atomic<int32_t> ErrorCode{0};
  std::atomic<int32_t> FileLength{0};
  std::atomic<int32_t> FileDate{0};
  std::atomic<int32_t> CheckValue{0};
  std::unique_ptr<uint8_t[]> WorkBlock;
  std::atomic<TStepProc> StepProc{nullptr};
  std::recursive_mutex StepLock;
  // The step that holds StepLock waits for a handler on the main thread.
  std::atomic<int32_t> MainThreadWaits{0};
  // A cancel asked for on the main thread while the running step waited for it: the step
  // carries it out before it lets go of StepLock.
  std::atomic<bool> CancelPending{false};
  std::atomic<bool> ForceStatus{false};
  std::atomic<int32_t> InProgressCount{0};
  std::atomic<int32_t> BlockErrors{0};
  std::atomic<int32_t> TotalErrors{0};
  std::atomic<int32_t> CharsPerSecond{0};
  std::atomic<int32_t> Overhead{0};
  std::atomic<int32_t> TurnDelay{0};
  std::atomic<int32_t> StatusInterval{10};
  std::atomic<int32_t> BytesRemaining{0};
  std::atomic<int32_t> RawBytesTransferred{0};
  std::atomic<int32_t> ElapsedTicks{0};
  TTimerRecord ElapsedTimer;
  std::atomic<bool> EndPending{false};
  std::atomic<bool> FileOpen{false};
  std::atomic<bool> FileEnding{false};
  // Xmodem: too many errors on a 1024-byte block; the blocks after it go in 128 bytes.
  std::atomic<bool> ShortBlocksNext{false};
  std::atomic<uint8_t> WriteFailAction{wfWriteRename};
  int32_t BufferStart = 0;
  int32_t BufferEnd = 0;
  int32_t LastOffset = 0;
  std::atomic<int32_t> FileOffset{0};
  int32_t DataEnd = 0;
  std::unique_ptr<uint8_t[]> FileBuffer;
  std::atomic<bool> UpcaseNames{true};
  std::atomic<bool> SearchPending{false};
  // Texts of at most 255 characters. Written on the component's thread only.
  std::string PathName;
  std::string SearchMask = "*.*";
  TSearchRecord SearchRecord;
  std::atomic<bool> SearchOpen{false};
  TTransferHooks Hooks;
  int SourceFile = -1;  // descriptor of the open source file
  // The path as it was before UpcaseNames changed PathName: the file is opened by it, since
  // the file system tells case apart.
  std::string OpenName;
  std::string DestinationFolder;

  // ---- protocol area: the Xmodem fields
  std::atomic<bool> CrcMode{false};
  std::atomic<bool> OneKMode{false};
  std::atomic<bool> GMode{false};
  std::atomic<int32_t> MaxBlockErrors{0};
  std::atomic<int32_t> BlockWait{0};
  std::atomic<uint8_t> StartChar{0};
  std::atomic<int32_t> EotNakCount{0};
  std::atomic<uint8_t> XmodemState{txInitial};
};

// ---- ProtocolTable ------------------------------------------------------------------------
struct TProtocolRoutines {
  TPrepareProc Prepare = nullptr;
  TStepProc Step = nullptr;
};
struct TProtocolEntry {
  TProtocolRoutines Receive;
  TProtocolRoutines Transmit;
};
// Indexed by TProtocolType. The four Xmodem types share one transmit pair; the other types
// are present without routines (this library starts no other protocol).
const TProtocolEntry& ProtocolTableEntry(TProtocolType type);

// ---- engine operations --------------------------------------------------------------------
int32_t CreateTransferRecord(std::unique_ptr<TransferRecord>& record, TCustomComPort* port,
                             int32_t flags);
void FreeTransferRecord(std::unique_ptr<TransferRecord>& record);

// Starts a transfer; its outcome arrives later through the finish message. Raises the port's
// exceptions (trigger allocation, a port without dispatcher).
void BeginTransfer(TransferRecord& record, TProtocolType type, TStepProc step,
                   TPrepareProc prepare);

int32_t ComputeBytesTransferred(TransferRecord& record);
// Its arithmetic: the acknowledged bytes less those of the whole blocks still queued (used
// bytes in the output buffer, each block carrying overhead protocol bytes); never below 0.
int32_t BytesTransferredFor(int32_t raw, int32_t used, int32_t blockLength, int32_t overhead);
void ComputeCharsPerSecond(TransferRecord& record, int32_t baud);
void ResetCounters(TransferRecord& record);
void ReportFirstStatus(TransferRecord& record);
void ReportLastStatus(TransferRecord& record);
// Hands the code to the component (its error event) and then keeps it in ErrorCode.
void ReportError(TransferRecord& record, int32_t code);
void EndTransfer(TransferRecord& record);
void ReleaseTransfer(TransferRecord& record);

uint32_t UpdateChecksum(uint8_t byte, uint32_t sum);
uint16_t UpdateCrc16(uint8_t byte, uint16_t crc);
// The CRC of a block: each data byte, then two zero bytes (CRC-16/XMODEM).
uint16_t BlockCrc16(const uint8_t* data, int32_t length);

// The default notification routines (the hooks at creation): each reaches the component's
// hidden window and waits at most kNotifyTimeoutMs for its thread to take the message up.
void StatusNotify(TransferRecord& record, uint16_t options);
void LogNotify(TransferRecord& record, uint16_t code);
bool NextFile(TransferRecord& record, std::string& destination);
bool AcceptFile(TransferRecord& record, const std::string& name);

// Dispatch-log kind of a protocol type (12 for the Xmodem types, 0 for none).
uint8_t ProtocolLogKind(uint8_t type);

// ---- step framing -------------------------------------------------------------------------
// What a pass leaves for the next one.
enum class TPassRule : uint8_t { Stop, WhileBytes, Always };

// The protocol side of the step framing.
struct TStepMachine {
  uint8_t (*State)(const TransferRecord& record);
  uint16_t (*StateLogCode)(uint8_t state);
  bool (*IsFinal)(uint8_t state);
  // The abort check moved the machine to its finishing state; cancel: by ProtocolCancelMessage.
  void (*Abort)(TransferRecord& record, TBaseDispatcher& dispatcher, bool cancel);
  // One pass of the state switch; true when it completed the finishing state.
  bool (*Switch)(TransferRecord& record, TBaseDispatcher& dispatcher, uint32_t msg,
                 int32_t trigger);
  TPassRule (*Rule)(uint8_t state);
  // A fault inside a pass: bring the machine to its final state, the transfer's end reported.
  void (*Fault)(TransferRecord& record);
};

// Runs one step of a protocol machine for a trigger message: finds the record through the
// dispatcher's user slot 1, serialises on StepLock, makes passes until the pass rule ends
// them. Returns 1 when the machine is or was brought to its final state, else 0.
int32_t RunStep(const TStepMachine& machine, uint32_t msg, uint32_t trigger, int32_t lParam);

// The lParam a step procedure is called with for a dispatcher.
int32_t DispatcherParam(const TBaseDispatcher& dispatcher);

}  // namespace comm
