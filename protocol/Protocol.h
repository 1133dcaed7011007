#pragma once
// The file transfer component: placed next to a serial port component, it keeps the transfer
// settings as properties, owns the engine's TransferRecord and a hidden message window,
// starts a transmit (StartTransmit), cancels it (CancelProtocol), shows the transfer's
// progress as read-only values and turns the engine's notifications into events that run on
// the thread that created the component (the main thread).
//
// A transfer runs on the port's triggers: after StartTransmit has made the first step, the
// rest runs on the dispatch thread, and every event reaches the main thread through the
// message window (the sender waits at most 1000 ms for it to be taken up; the finish event
// is queued and runs after the step that ended the transfer).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/ComPort.h"
#include "comm/Common.h"
#include "platform/MessageQueue.h"
#include "protocol/ProtocolEngine.h"

namespace comm {

class TCustomProtocol;

enum TZmodemFileOptions : uint8_t {
  zfoNoOption,
  zfoWriteNewerLonger,
  zfoWriteCrc,
  zfoWriteAppend,
  zfoWriteClobber,
  zfoWriteNewer,
  zfoWriteDifferent,
  zfoWriteProtect
};

enum TAsciiEOLTranslation : uint8_t { aetNone, aetStrip, aetAddCRBefore, aetAddLFAfter };

// A status display that can be attached to a protocol component: told of every status
// report. This base shows nothing.
class TAbstractStatus : public TBaseComponent {
 public:
  explicit TAbstractStatus(TBaseComponent* owner = nullptr);
  TCustomProtocol* Protocol() const { return protocol_; }
  virtual void SetProtocol(TCustomProtocol* protocol) { protocol_ = protocol; }
  // first: the transfer's first report; last: its last one.
  virtual void UpdateDisplay(bool first, bool last);

 private:
  TCustomProtocol* protocol_ = nullptr;
};

// A protocol log that can be attached to a protocol component: told of every log code. This
// base records nothing.
class TProtocolLog : public TBaseComponent {
 public:
  explicit TProtocolLog(TBaseComponent* owner = nullptr);
  TCustomProtocol* Protocol() const { return protocol_; }
  virtual void SetProtocol(TCustomProtocol* protocol) { protocol_ = protocol; }
  virtual void UpdateLog(uint16_t log);

 private:
  TCustomProtocol* protocol_ = nullptr;
};

using TProtocolAcceptEvent =
    std::function<void(TCustomProtocol* CP, bool& Accept, std::string& FName)>;
using TProtocolErrorEvent = std::function<void(TCustomProtocol* CP, int32_t ErrorCode)>;
using TProtocolFinishEvent = std::function<void(TCustomProtocol* CP, int32_t ErrorCode)>;
using TProtocolLogEvent = std::function<void(TCustomProtocol* CP, uint16_t Log)>;
using TProtocolNextFileEvent = std::function<void(TCustomProtocol* CP, std::string& FName)>;
using TProtocolResumeEvent = std::function<void(TCustomProtocol* CP, TWriteFailAction& Resume)>;
using TProtocolStatusEvent = std::function<void(TCustomProtocol* CP, uint16_t Options)>;

class TCustomProtocol : public TBaseComponent {
 public:
  // Takes the first serial port component among the owner's components as its ComPort.
  // Raises EInternal (-1006) when the hidden window cannot be created. Main thread only.
  explicit TCustomProtocol(TBaseComponent* owner = nullptr);
  // A transfer still running is cancelled first.
  ~TCustomProtocol() override;

  // Starts sending the file that FileMask (or OnProtocolNextFile) names. Returns after the
  // first step (file opened, first handshake wait armed). Nothing happens with ptNoProtocol;
  // raises EPortNotAssigned (-1005) without a port and the port's exceptions when the port
  // is not open or has no trigger left.
  void StartTransmit();
  // Sends the cancel sequence and ends a running transfer with -6005; nothing otherwise.
  void CancelProtocol();

  // ---- read-only values
  int32_t ProtocolStatus() const { return record_->StatusCode; }
  int32_t FileLength() const { return record_->FileLength; }
  int32_t BytesTransferred() const { return ComputeBytesTransferred(*record_); }
  bool InProgress() const { return record_->InProgressCount != 0; }
  // The transmitter has sent its end of file and waits for the receiver's answer to it: a
  // receiver that speaks now has the whole file (its acknowledgement may still be on its way).
  bool AwaitingEndOfFileReply() const { return record_->XmodemState == txEotReply; }
  int32_t ElapsedTicks() const { return record_->ElapsedTicks; }
  // The message of a status code (4700 to 4723 and 4730); empty for any other code.
  std::string StatusText(int32_t code) const;

  // The port-user callback: a closing or closed port cancels a running transfer.
  void PortNotice(TCustomComPort* CP, TPortNotice kind);

  // ---- properties
  TCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TCustomComPort* value);
  TProtocolType ProtocolType() const { return protocolType_; }
  void SetProtocolType(TProtocolType value);
  std::string DestinationDirectory() const { return record_->DestinationFolder; }
  void SetDestinationDirectory(const std::string& value);
  std::string FileMask() const { return record_->SearchMask; }
  void SetFileMask(const std::string& value);
  TBlockCheckMethod BlockCheckMethod() const {
    return static_cast<TBlockCheckMethod>(record_->BlockCheck.load());
  }
  void SetBlockCheckMethod(TBlockCheckMethod value);
  uint32_t HandshakeRetry() const { return static_cast<uint32_t>(record_->HandshakeRetry); }
  void SetHandshakeRetry(uint32_t value);
  uint32_t HandshakeWait() const { return static_cast<uint32_t>(record_->HandshakeWait); }
  void SetHandshakeWait(uint32_t value);
  uint32_t TransmitTimeout() const { return static_cast<uint32_t>(record_->TransmitTimeout); }
  void SetTransmitTimeout(uint32_t value);
  uint32_t FinishWait() const { return static_cast<uint32_t>(record_->FinishWait); }
  void SetFinishWait(uint32_t value);
  uint32_t TurnDelay() const { return static_cast<uint32_t>(record_->TurnDelay); }
  void SetTurnDelay(uint32_t value);
  uint32_t Overhead() const { return static_cast<uint32_t>(record_->Overhead); }
  void SetOverhead(uint32_t value);
  TWriteFailAction WriteFailAction() const {
    return static_cast<TWriteFailAction>(record_->WriteFailAction.load());
  }
  void SetWriteFailAction(TWriteFailAction value);
  bool HonorDirectory() const { return FlagSet(apHonorDirectory); }
  void SetHonorDirectory(bool value) { SetFlag(apHonorDirectory, value); }
  bool IncludeDirectory() const { return FlagSet(apIncludeDirectory); }
  void SetIncludeDirectory(bool value) { SetFlag(apIncludeDirectory, value); }
  bool RTSLowForWrite() const { return FlagSet(apRTSLowForWrite); }
  void SetRTSLowForWrite(bool value) { SetFlag(apRTSLowForWrite, value); }
  bool AbortNoCarrier() const { return FlagSet(apAbortNoCarrier); }
  void SetAbortNoCarrier(bool value) { SetFlag(apAbortNoCarrier, value); }
  bool BP2KTransmit() const { return FlagSet(apBP2KTransmit); }
  void SetBP2KTransmit(bool value) { SetFlag(apBP2KTransmit, value); }
  bool AsciiSuppressCtrlZ() const { return FlagSet(apAsciiSuppressCtrlZ); }
  void SetAsciiSuppressCtrlZ(bool value) { SetFlag(apAsciiSuppressCtrlZ, value); }
  TAbstractStatus* StatusDisplay() const { return statusDisplay_; }
  void SetStatusDisplay(TAbstractStatus* value);
  TProtocolLog* ProtocolLog() const { return protocolLog_; }
  void SetProtocolLog(TProtocolLog* value);
  uint32_t StatusInterval() const { return static_cast<uint32_t>(record_->StatusInterval); }
  void SetStatusInterval(uint32_t value);
  std::string FileName() const { return record_->PathName; }
  void SetFileName(const std::string& value);
  uint32_t XYmodemBlockWait() const;
  void SetXYmodemBlockWait(uint32_t value);
  bool UpcaseFileNames() const { return record_->UpcaseNames; }
  void SetUpcaseFileNames(bool value) { record_->UpcaseNames = value; }

  // Options of the other protocols: kept with the component, never used by a transmit here.
  bool ZmodemOptionOverride() const { return zmodemOptionOverride_; }
  void SetZmodemOptionOverride(bool value) { zmodemOptionOverride_ = value; }
  bool ZmodemSkipNoFile() const { return zmodemSkipNoFile_; }
  void SetZmodemSkipNoFile(bool value) { zmodemSkipNoFile_ = value; }
  TZmodemFileOptions ZmodemFileOption() const { return zmodemFileOption_; }
  void SetZmodemFileOption(TZmodemFileOptions value) { zmodemFileOption_ = value; }
  bool ZmodemRecover() const { return zmodemRecover_; }
  void SetZmodemRecover(bool value) { zmodemRecover_ = value; }
  bool Zmodem8K() const { return zmodem8K_; }
  void SetZmodem8K(bool value) { zmodem8K_ = value; }
  uint32_t ZmodemFinishRetry() const { return zmodemFinishRetry_; }
  void SetZmodemFinishRetry(uint32_t value) { zmodemFinishRetry_ = value; }
  bool ZmodemEscControl() const { return zmodemEscControl_; }
  void SetZmodemEscControl(bool value) { zmodemEscControl_ = value; }
  uint32_t KermitMaxLen() const { return kermitMaxLen_; }
  void SetKermitMaxLen(uint32_t value) { kermitMaxLen_ = value; }
  uint32_t KermitMaxWindows() const { return kermitMaxWindows_; }
  void SetKermitMaxWindows(uint32_t value) { kermitMaxWindows_ = value; }
  uint32_t KermitSWCTurnDelay() const { return kermitSWCTurnDelay_; }
  void SetKermitSWCTurnDelay(uint32_t value) { kermitSWCTurnDelay_ = value; }
  uint32_t KermitTimeoutSecs() const { return kermitTimeoutSecs_; }
  void SetKermitTimeoutSecs(uint32_t value) { kermitTimeoutSecs_ = value; }
  char KermitPadCharacter() const { return kermitPadCharacter_; }
  void SetKermitPadCharacter(char value) { kermitPadCharacter_ = value; }
  uint32_t KermitPadCount() const { return kermitPadCount_; }
  void SetKermitPadCount(uint32_t value) { kermitPadCount_ = value; }
  char KermitTerminator() const { return kermitTerminator_; }
  void SetKermitTerminator(char value) { kermitTerminator_ = value; }
  char KermitCtlPrefix() const { return kermitCtlPrefix_; }
  void SetKermitCtlPrefix(char value) { kermitCtlPrefix_ = value; }
  char KermitHighbitPrefix() const { return kermitHighbitPrefix_; }
  void SetKermitHighbitPrefix(char value) { kermitHighbitPrefix_ = value; }
  char KermitRepeatPrefix() const { return kermitRepeatPrefix_; }
  void SetKermitRepeatPrefix(char value) { kermitRepeatPrefix_ = value; }
  uint32_t AsciiCharDelay() const { return asciiCharDelay_; }
  void SetAsciiCharDelay(uint32_t value) { asciiCharDelay_ = value; }
  uint32_t AsciiLineDelay() const { return asciiLineDelay_; }
  void SetAsciiLineDelay(uint32_t value) { asciiLineDelay_ = value; }
  char AsciiEOLChar() const { return asciiEOLChar_; }
  void SetAsciiEOLChar(char value) { asciiEOLChar_ = value; }
  TAsciiEOLTranslation AsciiCRTranslation() const { return asciiCRTranslation_; }
  void SetAsciiCRTranslation(TAsciiEOLTranslation value) { asciiCRTranslation_ = value; }
  TAsciiEOLTranslation AsciiLFTranslation() const { return asciiLFTranslation_; }
  void SetAsciiLFTranslation(TAsciiEOLTranslation value) { asciiLFTranslation_ = value; }
  uint32_t AsciiEOFTimeout() const { return asciiEOFTimeout_; }
  void SetAsciiEOFTimeout(uint32_t value) { asciiEOFTimeout_ = value; }

  // ---- events (main thread)
  TProtocolAcceptEvent OnProtocolAccept;
  TProtocolErrorEvent OnProtocolError;
  TProtocolFinishEvent OnProtocolFinish;
  TProtocolLogEvent OnProtocolLog;
  TProtocolNextFileEvent OnProtocolNextFile;
  TProtocolResumeEvent OnProtocolResume;
  TProtocolStatusEvent OnProtocolStatus;

  // ---- the engine's side
  TransferRecord& Record() { return *record_; }
  const TransferRecord& Record() const { return *record_; }
  platform::HWND MessageWindow() const { return messageWindow_; }
  // The component whose hidden window this is (the window registry), or null.
  static TCustomProtocol* FindByWindow(platform::HWND window);

 protected:
  virtual void DoProtocolAccept(bool& Accept, std::string& FName);
  virtual void DoProtocolError(int32_t ErrorCode);
  virtual void DoProtocolFinish(int32_t ErrorCode);
  virtual void DoProtocolLog(uint16_t Log);
  virtual void DoProtocolNextFile(std::string& FName);
  virtual void DoProtocolResume(TWriteFailAction& Resume);
  virtual void DoProtocolStatus(uint16_t Options);

  void Notification(TBaseComponent* component, TOperation operation) override;

 private:
  static intptr_t MessageWindowProc(platform::HWND window, uint32_t msg, uintptr_t wParam,
                                    intptr_t lParam);
  bool FlagSet(int32_t bit) const { return (record_->Flags & bit) != 0; }
  void SetFlag(int32_t bit, bool value);
  void SetRecordValue(std::atomic<int32_t>& field, uint32_t value);

  std::unique_ptr<TransferRecord> record_;
  bool lineSpeedPending_ = true;
  TStepProc stepProc_ = nullptr;
  bool typeConfigured_ = false;
  platform::HWND messageWindow_ = 0;
  TCustomComPort* comPort_ = nullptr;
  TProtocolType protocolType_ = ptNoProtocol;
  TAbstractStatus* statusDisplay_ = nullptr;
  TProtocolLog* protocolLog_ = nullptr;

  uint32_t xyModemBlockWait_ = 91;
  bool zmodemOptionOverride_ = false;
  bool zmodemSkipNoFile_ = false;
  TZmodemFileOptions zmodemFileOption_ = zfoWriteNewer;
  bool zmodemRecover_ = false;
  bool zmodem8K_ = false;
  uint32_t zmodemFinishRetry_ = 0;
  bool zmodemEscControl_ = false;
  uint32_t kermitMaxLen_ = 80;
  uint32_t kermitMaxWindows_ = 0;
  uint32_t kermitSWCTurnDelay_ = 0;
  uint32_t kermitTimeoutSecs_ = 5;
  char kermitPadCharacter_ = ' ';
  uint32_t kermitPadCount_ = 0;
  char kermitTerminator_ = 13;
  char kermitCtlPrefix_ = '#';
  char kermitHighbitPrefix_ = 'Y';
  char kermitRepeatPrefix_ = '~';
  uint32_t asciiCharDelay_ = 0;
  uint32_t asciiLineDelay_ = 0;
  char asciiEOLChar_ = 13;
  TAsciiEOLTranslation asciiCRTranslation_ = aetNone;
  TAsciiEOLTranslation asciiLFTranslation_ = aetNone;
  uint32_t asciiEOFTimeout_ = 364;
};

// The component an application places: all behaviour is in TCustomProtocol.
class TProtocol : public TCustomProtocol {
 public:
  using TCustomProtocol::TCustomProtocol;
};

}  // namespace comm
