// The device dialogue and the update sequence: a state machine driven by the device's reply
// lines. States 0 to 4 query the device, 10 to 17 update it (TDialogueState in Main.h).
//
// Every way a dialogue can end leads through EndDialogue. An update that does not end with the
// device reporting the image's version says so in the window (FailUpdate): the success row of
// the version presentation, and the success box, follow only from what the device verifiably
// said.

#include <string>

#include "app/Cp1251.h"
#include "app/Main.h"
#include "comm/Exceptions.h"
#include "platform/PortTable.h"
#include "protocol/Xmodem.h"

namespace app {

namespace {

constexpr const char* kCannotConnect = QT_TRANSLATE_NOOP(
    "TForm1",
    "Не удается подключиться к Vexilora. Пожалуйста, отключите её от компьютера и подключите "
    "снова.");
constexpr const char* kNoReply = QT_TRANSLATE_NOOP(
    "TForm1",
    "Не удается получить ответ от Vexilora. Пожалуйста, отключите её от компьютера и подключите "
    "снова.");
constexpr const char* kUpdated =
    QT_TRANSLATE_NOOP("TForm1", "Программное обеспечение Vexilora успешно обновлено.");

// The failures of an update. Each says that the update did not complete, what went wrong and
// what to do, in one paragraph that another sentence may follow.
constexpr const char* kWrongPassword = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora не приняла пароль. Нажмите «Обновить Vexilora» и введите "
    "верный пароль.");
constexpr const char* kRefused = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora отказалась принять обновление. Отключите её от "
    "компьютера, подключите снова и повторите обновление.");
constexpr const char* kImageRejected = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora отвергла переданное программное обеспечение. Повторите "
    "обновление.");
constexpr const char* kTransferBroken = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: передача программного обеспечения в Vexilora прервана. Проверьте "
    "подключение и повторите обновление.");
constexpr const char* kNoAnswer = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora перестала отвечать. Отключите её от компьютера, "
    "подключите снова и повторите обновление.");
constexpr const char* kNotRestarted = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora не запустила новое программное обеспечение. Отключите её "
    "от компьютера, подключите снова и повторите обновление.");
constexpr const char* kNoVersion = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: после перезапуска Vexilora не сообщила версию программного "
    "обеспечения. Отключите её от компьютера и подключите снова.");
constexpr const char* kWrongVersion = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: после перезапуска Vexilora сообщает версию %1 вместо %2. "
    "Повторите обновление.");
constexpr const char* kUnplugged = QT_TRANSLATE_NOOP(
    "TForm1",
    "Обновление не завершено: Vexilora отключена от компьютера. Подключите её снова и повторите "
    "обновление.");

const char* FailureText(TUpdateOutcome outcome) {
  switch (outcome) {
    case uoWrongPassword:
      return kWrongPassword;
    case uoRefused:
      return kRefused;
    case uoImageRejected:
      return kImageRejected;
    case uoTransferBroken:
      return kTransferBroken;
    case uoNotRestarted:
      return kNotRestarted;
    case uoNoVersion:
      return kNoVersion;
    case uoWrongVersion:
      return kWrongVersion;
    case uoUnplugged:
      return kUnplugged;
    case uoCannotOpen:
      return kCannotConnect;
    default:
      return kNoAnswer;
  }
}

// The receiver's acknowledgement of the end of file (the protocol's status after a transfer
// that ended well).
constexpr int32_t kProtocolStatusOk = 4700;
constexpr int32_t kProtocolStatusEndFile = 4714;

bool Contains(const std::string& text, const std::string& marker) {
  return !marker.empty() && text.find(marker) != std::string::npos;
}

constexpr const char* kProbe = "\r\nloader\r\n";

bool IsUpdateState(TDialogueState state) {
  return state >= dsAwaitUpdateProbe && state <= dsAwaitNewVersion;
}

}  // namespace

bool TForm1::UpdateRunning() const {
  // A dialogue left in an update state by a port that closed under it (the device pulled out,
  // the window going) runs no more.
  return updateRunning_ || (IsUpdateState(DialogueState) && ComPort1.Open());
}

void TForm1::ComPort1PortOpen(comm::TCustomComPort*) {
  const bool update = IsUpdateState(DialogueState);
  transferStarted_ = false;
  pendingVerdict_.reset();
  portDeviceRemoved_ = false;
  probeRepeated_ = false;
  try {
    // A reply ends with a carriage return, whatever an earlier dialogue was waiting for when
    // it ended (the receiver's handshake ends differently).
    DataPacket1.SetEndString("\r");
    // What came before the probe answers nothing of this dialogue: a reply the device sent
    // to the last one, left in the line when the port closed and opened again at once, would
    // be taken for the probe's and throw the dialogue one question out of step.
    ComPort1.ClearInput();
    // The packet listens before the probe goes out: a device that answers at once would
    // otherwise have its reply dropped by a packet not yet armed, and the dialogue would
    // never start.
    MainMarker = "ERROR";
    AltMarker = "OK";
    DataPacket1.SetEnabled(true);
    DataPacket1.SetAutoEnable(true);
    ComPort1.SendText(kProbe);
  } catch (...) {
    try {
      DataPacket1.SetEnabled(false);
      DataPacket1.SetAutoEnable(false);
    } catch (...) {
    }
    if (update) {
      FailUpdate(uoCannotOpen);
    } else {
      SetStatusText(kCannotConnect);
      ShowIcon(iiError);
      EndDialogue();
    }
    return;
  }
  if (update) {
    updateOutcome_ = uoRunning;
  } else {
    // What the window shows of a device is what this one says: a device that does not tell
    // a version leaves it unknown, not the last device's (nor how its last update went).
    SetHWVerText(kAbsent);
    SetSWVerText(kAbsent);
    // Nor may the button stay on from the last device: a press before this one has been judged
    // would update a device whose hardware nobody checked. The version presentation turns it
    // on again for a device that may be updated.
    SetButtonEnabled(false);
    updateOutcome_ = uoNone;
  }
  ArmWatchdog();
}

void TForm1::DataPacket1StringPacket(comm::TDataPacket*, const std::string& Data) {
  const TUpdateEndCheck endCheck(*this);
  // The line without its leading line feed and its last character (the carriage return, or
  // the second C of the receiver's handshake).
  const std::string Text = Data.size() >= 3 ? Data.substr(1, Data.size() - 2) : std::string();
  bool IsMain;
  if (Contains(Text, AltMarker)) {
    IsMain = false;
  } else if (Contains(Text, MainMarker)) {
    IsMain = true;
  } else {
    return;
  }
  if (DialogueState == dsAwaitVerdict) {
    VerdictLine(Data, IsMain, Text);
    return;
  }
  DialogueStep(IsMain, Text);
}

void TForm1::VerdictLine(const std::string& Data, bool IsMain, const std::string& Text) {
  // The device's verdict follows the receiver's acknowledgement of the end of file; a line
  // before it is not one (a device may let out a stray "OK" in the middle of the transfer).
  if (transferStarted_ && XModem1.ProtocolStatus() == kProtocolStatusEndFile) {
    DialogueStep(IsMain, Text);
    return;
  }
  // The acknowledgement and the verdict often come in one piece, and the packet sees the
  // received bytes before the transmitter does: a line that comes while the transmitter
  // waits for the answer to its end of file is kept until the transmitter's end is known.
  if (transferStarted_ && XModem1.InProgress() && XModem1.AwaitingEndOfFileReply())
    pendingVerdict_ = Data;
}

void TForm1::DialogueStep(bool IsMain, const std::string& Text) {
  auto markers = [this](const char* main, const char* alt) {
    MainMarker = main;
    AltMarker = alt;
  };
  auto enable = [this] { DataPacket1.SetEnabled(true); };
  auto valueAfterMarker = [&] {
    const size_t at = Text.find(MainMarker);
    return at == std::string::npos ? std::string() : Text.substr(at + MainMarker.size());
  };
  auto sendPassword = [this] {
    // The device reads the password in its own code page; a character it lacks cannot have
    // been typed, so a failed conversion means a broken text and nothing is sent.
    const std::optional<std::string> bytes = Utf8ToCp1251(Password);
    if (!bytes) throw comm::Exception("The password cannot be sent to the Vexilora.");
    ComPort1.SendText("pass=" + *bytes + "\r\n");
  };

  if (!IsMain) {
    switch (DialogueState) {
      case dsAwaitProbe:
        DialogueState = dsAwaitHardwareVersion;
        ComPort1.SendText("verhw?\r\n");
        markers("VERHW=", "ERROR");
        enable();
        return;
      case dsAwaitPasswordState:
        PasswordRequired = true;
        ShowVersionStatus();
        EndDialogue();
        return;
      case dsAwaitUpdateProbe:
        if (PasswordRequired) {
          DialogueState = dsAwaitUnlocked;
          sendPassword();
          markers("OK", "ERROR");
        } else {
          DialogueState = dsAwaitProgramReady;
          ComPort1.SendText("wr_prog\r\n");
          ProgrammingBegun();
          markers("wr_prog", "ERROR");
        }
        enable();
        ArmWatchdog();
        return;
      // The device refused what was asked of it.
      case dsAwaitSoftwareVersion:
      case dsAwaitBootloader:
      case dsAwaitHardwareVersion:
        ShowNoReply();
        return;
      case dsAwaitBootThenUnlock:
        FailUpdate(uoRefused);
        return;
      case dsAwaitUnlocked:
        // With a password, the reply to the password; without, the reply to "boot".
        FailUpdate(PasswordRequired ? uoWrongPassword : uoRefused);
        return;
      case dsAwaitProgramReady:
      case dsAwaitHandshake:
        FailUpdate(uoRefused);
        return;
      case dsAwaitVerdict:
        FailUpdate(uoImageRejected);
        return;
      case dsAwaitRunning:
        FailUpdate(uoNotRestarted);
        return;
      case dsAwaitNewVersion:
        FailUpdate(uoNoVersion);
        return;
      default:
        EndDialogue();
        return;
    }
  }

  switch (DialogueState) {
    case dsAwaitProbe:
      DialogueState = dsAwaitSoftwareVersion;
      ComPort1.SendText("versw?\r\n");
      markers("VERSW=", "ERROR");
      enable();
      break;
    case dsAwaitSoftwareVersion:
      DialogueState = dsAwaitBootloader;
      SetSWVerText(valueAfterMarker());
      ComPort1.SendText("boot\r\n");
      markers("BOOTLOADER", "ERROR");
      enable();
      break;
    case dsAwaitBootloader:
      DialogueState = dsAwaitHardwareVersion;
      ComPort1.SendText("verhw?\r\n");
      markers("VERHW=", "ERROR");
      enable();
      break;
    case dsAwaitHardwareVersion:
      DialogueState = dsAwaitPasswordState;
      SetHWVerText(valueAfterMarker());
      ComPort1.SendText("pass?\r\n");
      markers("OK", "PASSWORD ERROR");
      enable();
      break;
    case dsAwaitPasswordState:
      ShowVersionStatus();
      EndDialogue();
      break;
    case dsAwaitUpdateProbe:
      DialogueState = PasswordRequired ? dsAwaitBootThenUnlock : dsAwaitUnlocked;
      ComPort1.SendText("boot\r\n");
      markers("BOOTLOADER", "ERROR");
      enable();
      ArmWatchdog();
      break;
    case dsAwaitBootThenUnlock:
      DialogueState = dsAwaitUnlocked;
      sendPassword();
      markers("OK", "ERROR");
      enable();
      ArmWatchdog();
      break;
    case dsAwaitUnlocked:
      // The one step that moves on only once its command is out.
      ComPort1.SendText("wr_prog\r\n");
      DialogueState = dsAwaitProgramReady;
      ProgrammingBegun();
      markers("wr_prog", "ERROR");
      enable();
      ArmWatchdog();
      break;
    case dsAwaitProgramReady:
      // The receiver announces itself with its handshake characters, not with a line.
      DialogueState = dsAwaitHandshake;
      DataPacket1.SetEndString("CC");
      markers("C", "ERROR");
      enable();
      ArmWatchdog();
      break;
    case dsAwaitHandshake: {
      DialogueState = dsAwaitVerdict;
      transferStarted_ = false;
      pendingVerdict_.reset();
      // From here the packet waits for the device's verdict on the transfer; AutoEnable
      // arms it again after this step.
      DataPacket1.SetTimeOut(2000);
      DataPacket1.SetEndString("\r");
      markers("OK", "ERROR");
      // The file was written and checked by StartUpdate, before the device was touched.
      XModem1.SetFileMask(TempImage().Path());
      ComPort1.ClearInput();
      ComPort1.ClearOutput();
      SetProgressPosition(0);
      XModem1.StartTransmit();
      transferStarted_ = true;
      // The transfer has time limits of its own; the watchdog waits for its end.
      DisarmWatchdog();
      SetProgressMax(XModem1.FileLength());
      SetButtonEnabled(false);
      break;
    }
    case dsAwaitVerdict:
      DialogueState = dsAwaitRunning;
      DisarmWatchdog();
      SetProgressPosition(View().ProgressMax);
      // No line is taken while the box is open (a device that repeats its verdict must not
      // have the repetition taken for the answer to a "run" not yet sent).
      MainMarker.clear();
      AltMarker.clear();
      // Modal: the user closes it, for as long as that takes.
      ModalMessageBox("", kUpdated, TMessageIcon::Information);
      // Pulled out meanwhile (its removal, held back for the box, says so next), or the
      // dialogue ended while the box was open.
      if (portDeviceRemoved_ || DialogueState != dsAwaitRunning) break;
      ComPort1.SendText("run\r\n");
      TempImage().Delete();
      DataPacket1.SetTimeOut(1000);
      DataPacket1.SetEndString("\r");
      markers("OK", "ERROR");
      ArmWatchdog();
      break;
    case dsAwaitRunning:
      DialogueState = dsAwaitNewVersion;
      DisarmWatchdog();
      // The device starts its new application meanwhile.
      PauseThen(1000, [this, markers, enable] {
        ComPort1.SendText("versw?\r\n");
        markers("VERSW=", "ERROR");
        enable();
        ArmWatchdog();
      });
      break;
    case dsAwaitNewVersion: {
      const std::string reported = valueAfterMarker();
      const std::string expected = View().uiTEUpVer;
      SetSWVerText(reported);
      // Only the image's version, reported by the restarted device, is an update done.
      if (!expected.empty() && reported != expected) {
        FailUpdate(uoWrongVersion, {reported, expected});
        break;
      }
      updateOutcome_ = uoUpdated;
      SetButtonEnabled(true);
      ShowVersionStatus();
      EndDialogue();
      break;
    }
    default:
      break;
  }
}

void TForm1::DataPacket1Timeout(comm::TDataPacket*) {
  const TUpdateEndCheck endCheck(*this);
  // A line begun in the middle of the transfer that never ended is no verdict, and one begun
  // while the success box is open answers nothing yet: the packet looks for the next line.
  if ((DialogueState == dsAwaitVerdict && XModem1.InProgress()) || InModalStep()) {
    DataPacket1.SetEnabled(true);
    return;
  }
  DeviceSilent();
}

void TForm1::Xmodem1ProtocolStatus(comm::TCustomProtocol*, uint16_t) {
  if (XModem1.ProtocolStatus() == kProtocolStatusOk)
    SetProgressPosition(XModem1.BytesTransferred());
}

void TForm1::Xmodem1ProtocolFinish(comm::TCustomProtocol*, int32_t ErrorCode) {
  const TUpdateEndCheck endCheck(*this);
  if (ErrorCode != 0 && updateRunning_) transferFailed_ = true;
  // Only the end of this update's transfer, while its verdict is awaited, matters here.
  if (DialogueState != dsAwaitVerdict || !transferStarted_) return;
  if (ErrorCode != 0) {
    // Cancelled, given up, or the device went silent: whatever the device says now is no
    // verdict on a whole image.
    FailUpdate(uoTransferBroken);
    return;
  }
  if (!pendingVerdict_) {
    // The verdict is still to come.
    ArmWatchdog();
    return;
  }
  // The verdict came before the transmitter's end was known: it is taken now, as the packet
  // would have delivered it (vexilora-flash follows the dialogue by the packet's event).
  const std::string line = std::move(*pendingVerdict_);
  pendingVerdict_.reset();
  try {
    if (DataPacket1.OnStringPacket)
      DataPacket1.OnStringPacket(&DataPacket1, line);
    else
      DataPacket1StringPacket(&DataPacket1, line);
  } catch (...) {
    comm::ShowCurrentException();
  }
}

void TForm1::StartUpdate() {
  // An earlier update still counted as running ends here, before its file makes way for the
  // new one.
  if (updateRunning_) EndUpdate();
  // Everything that can fail is settled before the first byte goes out: once the device has
  // been told to boot and prepare for programming, its application is gone.
  if (!PrepareUpdateImage()) return;
  const TUpdateEndCheck endCheck(*this);
  updateOutcome_ = uoRunning;
  try {
    ComPort1.SetOpen(false);
    DialogueState = dsAwaitUpdateProbe;
    ComPort1.SetComNumber(PortNumberOfComName(ComName));
    updateRunning_ = true;
    transferFailed_ = false;
    ViewInterface().UpdateStarted(platform::PortPath(ComPort1.ComNumber()));
    ComPort1.SetOpen(true);
  } catch (const std::exception& failure) {
    // Pressing the button must never do nothing visible: the window says why.
    DialogueState = dsAwaitUpdateProbe;
    if (ShowOpenFailure(failure, true)) {
      updateOutcome_ = uoCannotOpen;
      EndDialogue();
    } else {
      FailUpdate(uoCannotOpen);
    }
  } catch (...) {
    DialogueState = dsAwaitUpdateProbe;
    FailUpdate(uoCannotOpen);
  }
}

void TForm1::uiButton1Click() {
  if (PasswordRequired) {
    ViewInterface().OpenPasswordWindow();
  } else {
    StartUpdate();
  }
}

void TForm1::ProgrammingBegun() {
  // From "wr_prog" on the device's receiver waits for the image and takes nothing else: a
  // second press would start the dialogue over with a probe it never answers, and the update
  // would fail as a silent device. The button comes back with the update's ending.
  SetButtonEnabled(false);
}

// ---- how dialogues end ----------------------------------------------------------------------

void TForm1::EndDialogue() {
  const bool update = IsUpdateState(DialogueState);
  DialogueState = dsAwaitProbe;
  DataPacket1.SetEnabled(false);
  DataPacket1.SetAutoEnable(false);
  // A failed wait for the receiver's handshake must not leave every later reply waiting for
  // "CC".
  DataPacket1.SetEndString("\r");
  DisarmWatchdog();
  transferStarted_ = false;
  pendingVerdict_.reset();
  if (update && hotplugPending_) PostSearchAfresh();
}

void TForm1::ShowNoReply() {
  SetStatusText(kNoReply);
  ShowTraceNote();
  ShowIcon(iiError);
  EndDialogue();
}

void TForm1::FailUpdate(TUpdateOutcome outcome, std::vector<std::string> args) {
  // From "wr_prog" on the device's application may be gone: the version shown before is no
  // longer known to be there.
  const bool programming = DialogueState >= dsAwaitProgramReady;
  updateOutcome_ = outcome;
  SetStatusText(FailureText(outcome), std::move(args));
  ShowTraceNote();
  ShowIcon(iiError);
  SetProgressPosition(0);
  // Pressing the button again can succeed, unless the device is gone.
  SetButtonEnabled(outcome != uoUnplugged);
  if (programming && outcome != uoWrongVersion) SetSWVerText(kAbsent);
  EndDialogue();
}

bool TForm1::RepeatProbe() {
  if (probeRepeated_ || !ComPort1.Open() ||
      (DialogueState != dsAwaitProbe && DialogueState != dsAwaitUpdateProbe))
    return false;
  probeRepeated_ = true;
  try {
    // The receiver's handshakes or NAKs that came meanwhile answer nothing.
    ComPort1.ClearInput();
    // A device that reads commands after all sees the cancel's bytes wiped by its backspaces,
    // on a line the probe's leading line end closes.
    ComPort1.SendText(std::string(comm::kCancelSequence) + kProbe);
  } catch (...) {
    return false;
  }
  DataPacket1.SetEnabled(true);
  ArmWatchdog();
  return true;
}

void TForm1::DeviceSilent() {
  // The first silence of an opening may be a device still in its receiver.
  if (RepeatProbe()) return;
  switch (DialogueState) {
    case dsAwaitRunning:
      FailUpdate(uoNotRestarted);
      return;
    case dsAwaitNewVersion:
      FailUpdate(uoNoVersion);
      return;
    case dsAwaitVerdict:
      // A transfer that never began (its step failed), or one whose verdict never came.
      FailUpdate(transferStarted_ ? uoNoAnswer : uoTransferBroken);
      return;
    default:
      if (IsUpdateState(DialogueState)) {
        FailUpdate(uoNoAnswer);
      } else {
        ShowNoReply();
      }
      return;
  }
}

// ---- the reply watchdog ---------------------------------------------------------------------

void TForm1::ArmWatchdog() {
  DisarmWatchdog();
  if (replyTimeout_ == 0) return;
  const uint32_t generation = watchdogGeneration_;
  watchdog_ = viewInterface_.SetTimer(replyTimeout_, [this, generation] {
    watchdog_ = 0;
    WatchdogExpired(generation);
  });
}

void TForm1::DisarmWatchdog() {
  ++watchdogGeneration_;
  if (watchdog_ == 0) return;
  const uint32_t id = watchdog_;
  watchdog_ = 0;
  viewInterface_.KillTimer(id);
}

void TForm1::WatchdogExpired(uint32_t generation) {
  // Disarmed or armed anew since (a step went on meanwhile).
  if (generation != watchdogGeneration_) return;
  // The timer is an event of its own, like a reply: an update it ends must end here (its file
  // removed, sleep allowed again, the changes held back for it looked at), not at some later
  // event that may never come.
  const TUpdateEndCheck endCheck(*this);
  // A message box or pause of a step is open: decided once the step has returned, unless it
  // moved the dialogue on.
  if (DeferWhileModal([this, generation] { WatchdogExpired(generation); })) return;
  if (XModem1.InProgress()) {
    // A transfer has time limits of its own.
    ArmWatchdog();
    return;
  }
  DeviceSilent();
}

}  // namespace app
