// Device search and hot-plug.

#include "app/Main.h"

namespace app {

void TForm1::FindDevice() {
  if (DevicePresent) {
    try {
      ComPort1.SetComNumber(PortNumberOfComName(ComName));
      DialogueState = 0;
      ComPort1.SetOpen(true);
    } catch (...) {
      // A name without a port number or a port that cannot be opened: nothing is shown.
    }
    return;
  }
  ShowNotConnected();
}

void TForm1::ShowNotConnected() {
  SetStatusText("Пожалуйста, подключите Vexilora к компьютеру!");
  ShowIcon(iiInformation);
  SetProgressPosition(0);
  SetButtonEnabled(false);
  SetHWVerText(kAbsent);
  SetSWVerText(kAbsent);
  DialogueState = 0;
  if (ComPort1.Open()) {
    try {
      ComPort1.ClearInput();
      ComPort1.ClearOutput();
    } catch (...) {
    }
    // Closed even when clearing failed (a device that hung up has no buffers left): a port
    // left open would keep the next arrival on the same number from being queried.
    try {
      ComPort1.SetOpen(false);
    } catch (...) {
    }
  }
}

}  // namespace app
