// The device dialogue and the update sequence: a state machine driven by the device's reply
// lines. States 0 to 4 query the device, 10 to 17 update it (TDialogueState in Main.h).

#include <string>

#include "app/Cp1251.h"
#include "app/Main.h"
#include "comm/Exceptions.h"
#include "platform/PortTable.h"

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

constexpr int32_t kProtocolStatusOk = 4700;

bool Contains(const std::string& text, const std::string& marker) {
  return !marker.empty() && text.find(marker) != std::string::npos;
}

}  // namespace

void TForm1::ComPort1PortOpen(comm::TCustomComPort*) {
  try {
    // The packet listens before the probe goes out: a device that answers at once would
    // otherwise have its reply dropped by a packet not yet armed, and the dialogue would
    // never start.
    MainMarker = "ERROR";
    AltMarker = "OK";
    DataPacket1.SetEnabled(true);
    DataPacket1.SetAutoEnable(true);
    ComPort1.SendText("\r\nloader\r\n");
  } catch (...) {
    try {
      DataPacket1.SetEnabled(false);
      DataPacket1.SetAutoEnable(false);
    } catch (...) {
    }
    SetStatusText(kCannotConnect);
  }
}

void TForm1::DataPacket1StringPacket(comm::TDataPacket*, const std::string& Data) {
  const TUpdateEndCheck endCheck(*this);
  // The line without its leading line feed and its last character (the carriage return, or
  // the second C of the receiver's handshake).
  const std::string Text = Data.size() >= 3 ? Data.substr(1, Data.size() - 2) : std::string();
  if (Contains(Text, AltMarker)) {
    DialogueStep(false, Text);
  } else if (Contains(Text, MainMarker)) {
    DialogueStep(true, Text);
  }
}

void TForm1::DialogueStep(bool IsMain, const std::string& Text) {
  auto markers = [this](const char* main, const char* alt) {
    MainMarker = main;
    AltMarker = alt;
  };
  auto enable = [this] { DataPacket1.SetEnabled(true); };
  auto disable = [this] {
    DataPacket1.SetEnabled(false);
    DataPacket1.SetAutoEnable(false);
  };
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
        DialogueState = dsAwaitProbe;
        PasswordRequired = true;
        ShowVersionStatus();
        disable();
        return;
      case dsAwaitUpdateProbe:
        if (PasswordRequired) {
          DialogueState = dsAwaitUnlocked;
          sendPassword();
          markers("OK", "ERROR");
        } else {
          DialogueState = dsAwaitProgramReady;
          ComPort1.SendText("wr_prog\r\n");
          markers("wr_prog", "ERROR");
        }
        enable();
        return;
      default:
        DialogueState = dsAwaitProbe;
        disable();
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
      DialogueState = dsAwaitProbe;
      disable();
      ShowVersionStatus();
      break;
    case dsAwaitUpdateProbe:
      DialogueState = PasswordRequired ? dsAwaitBootThenUnlock : dsAwaitUnlocked;
      ComPort1.SendText("boot\r\n");
      markers("BOOTLOADER", "ERROR");
      enable();
      break;
    case dsAwaitBootThenUnlock:
      DialogueState = dsAwaitUnlocked;
      sendPassword();
      markers("OK", "ERROR");
      enable();
      break;
    case dsAwaitUnlocked:
      // The one step that moves on only once its command is out.
      ComPort1.SendText("wr_prog\r\n");
      DialogueState = dsAwaitProgramReady;
      markers("wr_prog", "ERROR");
      enable();
      break;
    case dsAwaitProgramReady:
      // The receiver announces itself with its handshake characters, not with a line.
      DialogueState = dsAwaitHandshake;
      DataPacket1.SetEndString("CC");
      markers("C", "ERROR");
      enable();
      break;
    case dsAwaitHandshake: {
      DialogueState = dsAwaitVerdict;
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
      SetProgressMax(XModem1.FileLength());
      SetButtonEnabled(false);
      break;
    }
    case dsAwaitVerdict:
      DialogueState = dsAwaitRunning;
      SetProgressPosition(View().ProgressMax);
      // Modal: no packet is processed until the user has closed it.
      ModalMessageBox("", kUpdated, TMessageIcon::Information);
      ComPort1.SendText("run\r\n");
      TempImage().Delete();
      DataPacket1.SetTimeOut(1000);
      DataPacket1.SetEndString("\r");
      markers("OK", "ERROR");
      break;
    case dsAwaitRunning:
      DialogueState = dsAwaitNewVersion;
      // The device starts its new application meanwhile.
      PauseThen(1000, [this, markers, enable] {
        ComPort1.SendText("versw?\r\n");
        markers("VERSW=", "ERROR");
        enable();
      });
      break;
    case dsAwaitNewVersion:
      DialogueState = dsAwaitProbe;
      SetButtonEnabled(true);
      disable();
      SetSWVerText(valueAfterMarker());
      ShowVersionStatus();
      break;
    default:
      break;
  }
}

void TForm1::DataPacket1Timeout(comm::TDataPacket*) {
  const TUpdateEndCheck endCheck(*this);
  SetStatusText(kNoReply);
  DialogueState = dsAwaitProbe;
  DataPacket1.SetEnabled(false);
  DataPacket1.SetAutoEnable(false);
}

void TForm1::Xmodem1ProtocolStatus(comm::TCustomProtocol*, uint16_t) {
  if (XModem1.ProtocolStatus() == kProtocolStatusOk)
    SetProgressPosition(XModem1.BytesTransferred());
}

void TForm1::Xmodem1ProtocolFinish(comm::TCustomProtocol*, int32_t ErrorCode) {
  const TUpdateEndCheck endCheck(*this);
  if (ErrorCode != 0 && updateRunning_) transferFailed_ = true;
  // Success is the device's "OK" line, not the protocol's end; only a failed transfer that is
  // still waiting for that line matters here.
  if (ErrorCode != 0 && DialogueState == dsAwaitVerdict) SetButtonEnabled(true);
}

void TForm1::StartUpdate() {
  // An earlier update still counted as running (a transfer given up, waiting for a verdict)
  // ends here, before its file makes way for the new one.
  if (updateRunning_) EndUpdate();
  // Everything that can fail is settled before the first byte goes out: once the device has
  // been told to boot and prepare for programming, its application is gone.
  if (!PrepareUpdateImage()) return;
  const TUpdateEndCheck endCheck(*this);
  try {
    ComPort1.SetOpen(false);
    DialogueState = dsAwaitUpdateProbe;
    ComPort1.SetComNumber(PortNumberOfComName(ComName));
    updateRunning_ = true;
    transferFailed_ = false;
    ViewInterface().UpdateStarted(platform::PortPath(ComPort1.ComNumber()));
    ComPort1.SetOpen(true);
  } catch (...) {
  }
}

void TForm1::uiButton1Click() {
  if (PasswordRequired) {
    ViewInterface().OpenPasswordWindow();
  } else {
    StartUpdate();
  }
}

}  // namespace app
