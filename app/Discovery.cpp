#include "app/Discovery.h"

#include <errno.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "app/Main.h"
#include "comm/Exceptions.h"
#include "platform/PortTable.h"
#include "platform/Udev.h"

namespace discovery {

bool IsVexiloraNotification(const platform::TUdevEvent& event) {
  static const std::optional<platform::TUsbInstanceId> searched =
      platform::ParseUsbInstanceId(kDeviceInstanceId);
  if (event.Usb && searched && platform::MatchesInstanceId(*event.Usb, *searched)) return true;
  return event.InterfacePath.find(kNameTest) != std::string::npos;
}

std::string ComNameFromFriendlyName(const std::string& friendlyName) {
  size_t p = friendlyName.find("COM");
  if (p == std::string::npos) return friendlyName;
  // From "COM" on, less the last character of the name (the closing bracket).
  std::string name = friendlyName.substr(p);
  name.pop_back();
  return name;
}

std::string FriendlyNameInBuffer(const std::string& name) {
  std::string text = name.substr(0, name.find('\0'));
  return text.size() + 1 > kFriendlyNameBuffer ? std::string() : text;
}

std::string OpenFailureAdvice(const std::string& devicePath, const std::exception& failure) {
  if (auto* io = dynamic_cast<const comm::EInOutError*>(&failure); io && io->ErrorCode() == 13) {
    return std::string(program_invocation_short_name) + ": cannot open " + devicePath +
           ": permission denied; install the udev rule shipped with this program "
           "(/usr/lib/udev/rules.d/70-vexilora.rules) and plug the device in again, or add "
           "your user to the 'dialout' group and log in again";
  }
  if (dynamic_cast<const comm::EAlreadyOpen*>(&failure)) {
    return std::string(program_invocation_short_name) + ": cannot open " + devicePath +
           ": the port is in use by another program (a modem manager probing new serial "
           "devices, a terminal program); close that program and plug the device in again";
  }
  return {};
}

}  // namespace discovery

namespace app {

std::string TForm1::GetFriendlyName(const platform::TUsbSerialPort& Device) {
  return discovery::FriendlyNameInBuffer(Device.FriendlyName);
}

void TForm1::FindDevice() {
  std::optional<std::vector<platform::TUsbSerialPort>> members =
      platform::EnumerateUsbSerialPorts(discovery::kDeviceInstanceId);
  // udev cannot be asked: the window stays as it is.
  if (!members) return;
  // Each member overwrites the port name: with several devices the last one wins.
  for (const platform::TUsbSerialPort& member : *members) {
    DevicePresent = true;
    ComName = discovery::ComNameFromFriendlyName(GetFriendlyName(member));
  }
  if (DevicePresent) {
    // Found now, or announced by an arrival that the enumeration may not list yet. On the
    // number the port is already open on, only the dialogue starts over (nothing is sent);
    // on another number the port closes and opens there.
    try {
      ComPort1.SetComNumber(PortNumberOfComName(ComName));
      DialogueState = dsAwaitProbe;
      ComPort1.SetOpen(true);
    } catch (const std::exception& failure) {
      // The window stays silent; a failure the user can mend is named on standard error.
      std::string advice =
          discovery::OpenFailureAdvice(platform::PortPath(ComPort1.ComNumber()), failure);
      if (!advice.empty()) std::fprintf(stderr, "%s\n", advice.c_str());
    } catch (...) {
    }
    return;
  }
  ShowNotConnected();
}

void TForm1::DeviceChange(const platform::TUdevEvent& Event) {
  if (!discovery::IsVexiloraNotification(Event)) return;
  auto react = [this, arrival = Event.Action == platform::TUdevAction::Arrival] {
    if (arrival) {
      DevicePresent = true;
    } else {
      try {
        ComPort1.SetOpen(false);
      } catch (...) {
      }
      DevicePresent = false;
    }
    FindDevice();
  };
  // A message box or pause of a dialogue step is open: the step still uses the port, so the
  // change is handled once the step has returned.
  if (DeferWhileModal(react)) return;
  react();
}

void TForm1::ShowNotConnected() {
  SetStatusText(QT_TRANSLATE_NOOP("TForm1", "Пожалуйста, подключите Vexilora к компьютеру!"));
  ShowIcon(iiInformation);
  SetProgressPosition(0);
  SetButtonEnabled(false);
  SetHWVerText(kAbsent);
  SetSWVerText(kAbsent);
  DialogueState = dsAwaitProbe;
  if (ComPort1.Open()) {
    try {
      ComPort1.ClearInput();
      ComPort1.ClearOutput();
    } catch (...) {
    }
    // Closed even when clearing failed (a device that hung up has no buffers left): a port
    // left open would hold the vanished device's node and keep its number busy.
    try {
      ComPort1.SetOpen(false);
    } catch (...) {
    }
  }
}

}  // namespace app
