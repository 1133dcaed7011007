#include "protocol/Protocol.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "comm/ErrorText.h"
#include "comm/Exceptions.h"
#include "protocol/SourceFile.h"
#include "protocol/Xmodem.h"

namespace comm {

namespace {

constexpr const char* kWindowClass = "protocolMsgHandler";

// WindowRegistry: which component owns which hidden window.
struct TWindowRegistry {
  std::mutex Lock;
  std::vector<std::pair<platform::HWND, TCustomProtocol*>> Entries;
};

TWindowRegistry& WindowRegistry() {
  static TWindowRegistry registry;
  return registry;
}

bool IsXmodemType(TProtocolType type) { return type >= ptXmodem && type <= ptXmodem1KG; }
bool IsXYmodemType(TProtocolType type) { return type >= ptXmodem && type <= ptYmodemG; }

// The first status display (or protocol log) among the owner's components that has no
// protocol yet, depth first like FindOwnerPort.
template <typename T>
T* FindUnattached(TBaseComponent* owner) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TBaseComponent* c = owner->Component(i);
    if (auto* found = dynamic_cast<T*>(c); found != nullptr && found->Protocol() == nullptr)
      return found;
    if (T* inner = FindUnattached<T>(c)) return inner;
  }
  return nullptr;
}

}  // namespace

// ---- attachable displays ------------------------------------------------------------------

TAbstractStatus::TAbstractStatus(TBaseComponent* owner) : TBaseComponent(owner) {
  AnnounceInsert();
}
void TAbstractStatus::UpdateDisplay(bool, bool) {}

TProtocolLog::TProtocolLog(TBaseComponent* owner) : TBaseComponent(owner) { AnnounceInsert(); }
void TProtocolLog::UpdateLog(uint16_t) {}

// ---- construction -------------------------------------------------------------------------

TCustomProtocol::TCustomProtocol(TBaseComponent* owner) : TBaseComponent(owner) {
  CheckCode(this, CreateTransferRecord(record_, nullptr, 0));
  TransferRecord& r = *record_;
  r.HandshakeWait = 182;
  r.HandshakeRetry = 10;
  r.TransmitTimeout = 1092;
  r.FinishWait = 364;
  r.TurnDelay = 0;
  r.Overhead = 0;
  r.UpcaseNames = true;
  r.Flags = 0;

  SetComPort(FindOwnerPort(owner));
  SetStatusDisplay(FindUnattached<TAbstractStatus>(owner));
  SetProtocolLog(FindUnattached<TProtocolLog>(owner));

  // The window procedure learns its own handle once the window exists; no message can reach
  // it before, since both happen on this (the main) thread.
  auto handle = std::make_shared<platform::HWND>(0);
  messageWindow_ = platform::CreateHiddenWindow(
      kWindowClass, [handle](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        return MessageWindowProc(*handle, msg, wParam, lParam);
      });
  if (messageWindow_ == 0) throw EInternal(-1006);
  *handle = messageWindow_;
  {
    TWindowRegistry& registry = WindowRegistry();
    std::lock_guard<std::mutex> lock(registry.Lock);
    registry.Entries.emplace_back(messageWindow_, this);
  }
  r.MessageWindow = messageWindow_;
  protocolType_ = ptNoProtocol;

  AnnounceInsert();
}

TCustomProtocol::~TCustomProtocol() {
  TransferRecord& r = *record_;
  // A transfer that went on would call into this component's record after it is gone.
  if (InProgress()) {
    try {
      CancelProtocol();
    } catch (...) {
    }
  }
  if (comPort_ != nullptr) {
    comPort_->DetachPortUser(this);
    if (comPort_->Open()) {
      if (TBaseDispatcher* dispatcher = comPort_->ActiveDispatcher()) {
        if (dispatcher->GetUserData(1) == &r) {
          if (TStepProc step = r.StepProc) dispatcher->RemoveProcedureHandler(step);
          dispatcher->SetUserData(1, nullptr);
        }
      }
    }
  }
  // A step that is still running finishes before the record goes.
  { std::lock_guard<std::recursive_mutex> wait(r.StepLock); }

  platform::DestroyHiddenWindow(messageWindow_);
  {
    TWindowRegistry& registry = WindowRegistry();
    std::lock_guard<std::mutex> lock(registry.Lock);
    std::erase_if(registry.Entries, [this](const auto& e) { return e.second == this; });
  }
  try {
    SetProtocolType(ptNoProtocol);
  } catch (...) {
  }
  if (statusDisplay_ != nullptr && statusDisplay_->Protocol() == this)
    statusDisplay_->SetProtocol(nullptr);
  if (protocolLog_ != nullptr && protocolLog_->Protocol() == this)
    protocolLog_->SetProtocol(nullptr);
  FreeTransferRecord(record_);
}

TCustomProtocol* TCustomProtocol::FindByWindow(platform::HWND window) {
  TWindowRegistry& registry = WindowRegistry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  for (const auto& [w, component] : registry.Entries)
    if (w == window) return component;
  return nullptr;
}

// ---- operations ---------------------------------------------------------------------------

void TCustomProtocol::StartTransmit() {
  if (protocolType_ == ptNoProtocol) return;
  if (comPort_ == nullptr) {
    CheckCode(this, -1005);
    return;
  }
  const TProtocolRoutines& transmit = ProtocolTableEntry(protocolType_).Transmit;
  if (transmit.Step == nullptr || transmit.Prepare == nullptr) {
    // The other protocols of the type list have no transmitter in this library.
    throw EProtocol(ecFuncNotSupported);
  }
  TransferRecord& r = *record_;
  r.Port = comPort_;
  comPort_->AttachPortUser(this,
                           [this](TCustomComPort* CP, TPortNotice kind) { PortNotice(CP, kind); });
  if (lineSpeedPending_) {
    ComputeCharsPerSecond(r, comPort_->Baud());
    lineSpeedPending_ = false;
  }
  stepProc_ = transmit.Step;
  BeginTransfer(r, protocolType_, transmit.Step, transmit.Prepare);
}

void TCustomProtocol::CancelProtocol() {
  if (stepProc_ == nullptr || !InProgress() || comPort_ == nullptr) return;
  TBaseDispatcher* dispatcher = comPort_->RequireDispatcher();
  stepProc_(ProtocolCancelMessage, 0, DispatcherParam(*dispatcher));
}

std::string TCustomProtocol::StatusText(int32_t code) const {
  if ((code >= 4700 && code <= 4723) || code == 4730) return ErrorText(code);
  return "";
}

void TCustomProtocol::PortNotice(TCustomComPort*, TPortNotice kind) {
  if ((kind == NoticeClosing || kind == NoticeClosed) && InProgress()) {
    // The port is in the middle of its own close sequence: a failure here is shown, not
    // thrown into it.
    try {
      CancelProtocol();
    } catch (...) {
      ShowCurrentException();
    }
  }
}

// ---- events -------------------------------------------------------------------------------

void TCustomProtocol::DoProtocolAccept(bool& Accept, std::string& FName) {
  Accept = true;
  if (OnProtocolAccept) OnProtocolAccept(this, Accept, FName);
}

void TCustomProtocol::DoProtocolError(int32_t ErrorCode) {
  if (OnProtocolError) OnProtocolError(this, ErrorCode);
}

void TCustomProtocol::DoProtocolFinish(int32_t ErrorCode) {
  if (comPort_ != nullptr) comPort_->DetachPortUser(this);
  if (OnProtocolFinish) OnProtocolFinish(this, ErrorCode);
}

void TCustomProtocol::DoProtocolLog(uint16_t Log) {
  if (protocolLog_ != nullptr) protocolLog_->UpdateLog(Log);
  if (OnProtocolLog) OnProtocolLog(this, Log);
}

void TCustomProtocol::DoProtocolNextFile(std::string& FName) {
  if (OnProtocolNextFile) {
    OnProtocolNextFile(this, FName);
    return;
  }
  std::string found;
  FName = NextFromMask(*record_, found) ? found.substr(0, kMaxPathText) : std::string();
}

void TCustomProtocol::DoProtocolResume(TWriteFailAction& Resume) {
  if (OnProtocolResume) OnProtocolResume(this, Resume);
}

void TCustomProtocol::DoProtocolStatus(uint16_t Options) {
  if (statusDisplay_ != nullptr)
    statusDisplay_->UpdateDisplay((Options & soFirstReport) != 0, (Options & soLastReport) != 0);
  if (OnProtocolStatus) OnProtocolStatus(this, Options);
}

intptr_t TCustomProtocol::MessageWindowProc(platform::HWND window, uint32_t msg, uintptr_t wParam,
                                            intptr_t lParam) {
  TCustomProtocol* p = FindByWindow(window);
  if (p == nullptr) return 0;
  // An exception from an event handler is the application's to show; the transfer that sent
  // the message goes on.
  try {
    switch (msg) {
      case ProtocolStatusMessage:
        p->DoProtocolStatus(static_cast<uint16_t>(wParam));
        return 0;
      case ProtocolLogMessage:
        p->DoProtocolLog(static_cast<uint16_t>(wParam));
        return 0;
      case ProtocolNextFileMessage: {
        std::string name;
        p->DoProtocolNextFile(name);
        if (name.empty()) return 0;
        char* destination = reinterpret_cast<char*>(lParam);
        const size_t n = name.copy(destination, kMaxPathText);
        destination[n] = '\0';
        return 1;
      }
      case ProtocolAcceptMessage: {
        bool accept = false;
        std::string name = reinterpret_cast<const char*>(lParam);
        p->DoProtocolAccept(accept, name);
        return accept ? 1 : 0;
      }
      case ProtocolFinishMessage:
        p->DoProtocolFinish(static_cast<int16_t>(wParam));
        return 0;
      case ProtocolResumeMessage: {
        TWriteFailAction resume = p->WriteFailAction();
        p->DoProtocolResume(resume);
        return resume;
      }
      case ProtocolErrorMessage:
        p->DoProtocolError(static_cast<int16_t>(wParam));
        return 0;
      default:
        return 0;
    }
  } catch (...) {
    ShowCurrentException();
  }
  return 0;
}

void TCustomProtocol::Notification(TBaseComponent* component, TOperation operation) {
  TBaseComponent::Notification(component, operation);
  if (component == this) return;
  if (operation == opRemove) {
    if (component == comPort_) {
      comPort_ = nullptr;
      record_->Port = nullptr;
    }
    if (component == statusDisplay_) statusDisplay_ = nullptr;
    if (component == protocolLog_) protocolLog_ = nullptr;
    return;
  }
  if (auto* port = dynamic_cast<TCustomComPort*>(component); port != nullptr && comPort_ == nullptr)
    SetComPort(port);
  if (auto* display = dynamic_cast<TAbstractStatus*>(component);
      display != nullptr && statusDisplay_ == nullptr && display->Protocol() == nullptr)
    SetStatusDisplay(display);
  if (auto* log = dynamic_cast<TProtocolLog*>(component);
      log != nullptr && protocolLog_ == nullptr && log->Protocol() == nullptr)
    SetProtocolLog(log);
}

// ---- properties ---------------------------------------------------------------------------

void TCustomProtocol::SetComPort(TCustomComPort* value) {
  if (value == comPort_) return;
  if (comPort_ != nullptr) RemoveFreeNotification(comPort_);
  comPort_ = value;
  record_->Port = value;
  // Told when the port goes, also when it belongs to another owner.
  if (value != nullptr) FreeNotification(value);
}

void TCustomProtocol::SetProtocolType(TProtocolType value) {
  if (value == protocolType_ && !Loading()) return;
  // Releasing the current type's set-up: none of the types kept here holds buffers.
  typeConfigured_ = true;
  TransferRecord& r = *record_;
  if (IsXmodemType(value)) {
    ConfigureXmodem(r, value != ptXmodem, value == ptXmodem1K, value == ptXmodem1KG);
    protocolType_ = value;
    SetXYmodemBlockWait(xyModemBlockWait_);
    return;
  }
  r.ProtocolType = value;
  protocolType_ = value;
}

void TCustomProtocol::SetDestinationDirectory(const std::string& value) {
  record_->DestinationFolder = value.substr(0, kMaxPathText);
}

void TCustomProtocol::SetFileMask(const std::string& value) {
  record_->SearchMask = value.substr(0, kMaxPathText);
}

void TCustomProtocol::SetBlockCheckMethod(TBlockCheckMethod value) {
  TransferRecord& r = *record_;
  if (value == r.BlockCheck || InProgress()) return;
  switch (protocolType_) {
    case ptXmodem:
      if (value == bcmCrc16) SetProtocolType(ptXmodemCRC);
      break;
    case ptXmodemCRC:
      if (value == bcmChecksum) SetProtocolType(ptXmodem);
      break;
    case ptZmodem:
      if (value == bcmCrc16 || value == bcmCrc32) r.BlockCheck = value;
      break;
    case ptKermit:
      if (value == bcmChecksum || value == bcmChecksum2 || value == bcmCrcK) r.BlockCheck = value;
      break;
    default:
      break;
  }
}

void TCustomProtocol::SetRecordValue(std::atomic<int32_t>& field, uint32_t value) {
  field = static_cast<int32_t>(value);
}

void TCustomProtocol::SetHandshakeRetry(uint32_t value) {
  SetRecordValue(record_->HandshakeRetry, value);
}
void TCustomProtocol::SetHandshakeWait(uint32_t value) {
  SetRecordValue(record_->HandshakeWait, value);
}
void TCustomProtocol::SetTransmitTimeout(uint32_t value) {
  SetRecordValue(record_->TransmitTimeout, value);
}
void TCustomProtocol::SetFinishWait(uint32_t value) { SetRecordValue(record_->FinishWait, value); }
void TCustomProtocol::SetTurnDelay(uint32_t value) { SetRecordValue(record_->TurnDelay, value); }
void TCustomProtocol::SetOverhead(uint32_t value) { SetRecordValue(record_->Overhead, value); }
void TCustomProtocol::SetStatusInterval(uint32_t value) {
  SetRecordValue(record_->StatusInterval, value);
}

void TCustomProtocol::SetWriteFailAction(TWriteFailAction value) {
  record_->WriteFailAction = value;
}

void TCustomProtocol::SetFlag(int32_t bit, bool value) {
  if (value)
    record_->Flags |= bit;
  else
    record_->Flags &= ~bit;
}

void TCustomProtocol::SetStatusDisplay(TAbstractStatus* value) {
  if (value == statusDisplay_) return;
  statusDisplay_ = value;
  if (value != nullptr) {
    value->SetProtocol(this);
    FreeNotification(value);
  }
}

void TCustomProtocol::SetProtocolLog(TProtocolLog* value) {
  if (value == protocolLog_) return;
  protocolLog_ = value;
  if (value != nullptr) {
    value->SetProtocol(this);
    FreeNotification(value);
  }
}

void TCustomProtocol::SetFileName(const std::string& value) {
  if (record_->FileOpen) return;  // the file of the running transfer stays
  AssignPathName(*record_, value.substr(0, kMaxPathText));
}

uint32_t TCustomProtocol::XYmodemBlockWait() const {
  if (IsXYmodemType(protocolType_)) return static_cast<uint32_t>(record_->BlockWait);
  return xyModemBlockWait_;
}

void TCustomProtocol::SetXYmodemBlockWait(uint32_t value) {
  // Until the type is configured an unchanged value is skipped; afterwards the type's
  // set-up relies on this write reaching the record.
  if (!typeConfigured_ && value == xyModemBlockWait_) return;
  xyModemBlockWait_ = value;
  if (IsXYmodemType(protocolType_)) record_->BlockWait = static_cast<int32_t>(value);
}

}  // namespace comm
