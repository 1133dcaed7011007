// The port name and number taken from a device's friendly name, which arrivals and removals
// concern a Vexilora, and the line a user reads on standard error when the device cannot be
// opened for a reason they can mend.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/Discovery.h"
#include "app/Main.h"
#include "comm/Exceptions.h"
#include "platform/Udev.h"

namespace {

std::optional<int> PortNumber(const std::string& comName) {
  try {
    return app::TForm1::PortNumberOfComName(comName);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

TEST(PortName, FromFriendlyNameToPortNumber) {
  struct TCase {
    std::string FriendlyName;
    std::string ComName;
    std::optional<int> Number;
  };
  const TCase cases[] = {
      {"USB Serial Port (COM5)", "COM5", 5},
      {"Vexilora (COM12)", "COM12", 12},
      {"USB Serial Device (COM65535)", "COM65535", 65535},
      {"Modem (COM007)", "COM007", 7},
      // Text after the closing bracket: the last character goes, the rest spoils the number.
      {"Device (COM3) x", "COM3) ", std::nullopt},
      // No "COM": the whole name, which is no port name.
      {"Vexilora", "Vexilora", std::nullopt},
      {"", "", std::nullopt},
      {"COM", "CO", std::nullopt},
      {"(COM)", "COM", std::nullopt},
      // The first "COM" counts, wherever it stands.
      {"COMPORT (COM4)", "COMPORT (COM4", std::nullopt},
      {"X (COM0)", "COM0", std::nullopt},
      {"X (COM65536)", "COM65536", std::nullopt},
      {"X (COM99999999999)", "COM99999999999", std::nullopt},
      {"X (COM 5)", "COM 5", std::nullopt},
      {"X (COM5 )", "COM5 ", std::nullopt},
      {"X (COM0x1F)", "COM0x1F", std::nullopt},
      // Letter case counts: "com" is no port name.
      {"x (com5)", "x (com5)", std::nullopt},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE("friendly name '" + c.FriendlyName + "'");
    const std::string comName = discovery::ComNameFromFriendlyName(c.FriendlyName);
    EXPECT_EQ(comName, c.ComName);
    EXPECT_EQ(PortNumber(comName), c.Number);
  }
}

TEST(PortName, AFriendlyNameTooLongForTheBufferReadsAsEmpty) {
  const std::string fits = std::string(249, 'x') + " (COM5)";  // 257 bytes with its zero
  ASSERT_EQ(fits.size() + 1, discovery::kFriendlyNameBuffer);
  EXPECT_EQ(discovery::FriendlyNameInBuffer(fits), fits);
  EXPECT_EQ(discovery::FriendlyNameInBuffer(fits + "x"), "");
  EXPECT_EQ(discovery::FriendlyNameInBuffer(std::string("ab\0cd", 5)), "ab");
}

TEST(HotPlug, ADeviceCountsByItsIdentityOrElseByTheNameTest) {
  using platform::TUsbIdentity;
  const std::string devpath = "/devices/pci0000:00/usb1/1-1/1-1:1.0/tty/ttyACM0";
  struct TCase {
    const char* Name;
    std::optional<TUsbIdentity> Usb;
    std::string InterfacePath;
    bool Counts;
  };
  const TCase cases[] = {
      {"the identity, with the device's own strings", TUsbIdentity{0xffff, 0x0005, "VEXILORA"},
       "Vexilora_Vexilora_VEXILORA" + devpath, true},
      {"the identity, with a generic adapter's strings", TUsbIdentity{0xffff, 0x0005, "VEXILORA"},
       "Generic_Virtual_COM_Port_VEXILORA" + devpath, true},
      {"the identity, the serial in another letter case", TUsbIdentity{0xffff, 0x0005, "vexilora"},
       "Generic_Virtual_COM_Port_vexilora" + devpath, true},
      {"another serial, named by the strings", TUsbIdentity{0xffff, 0x0005, "OTHER"},
       "Vexilora_Vexilora_OTHER" + devpath, true},
      {"another serial, other strings", TUsbIdentity{0xffff, 0x0005, "OTHER"},
       "Generic_Virtual_COM_Port_OTHER" + devpath, false},
      {"another product", TUsbIdentity{0xffff, 0x0006, "VEXILORA"},
       "Generic_Virtual_COM_Port_VEXILORA" + devpath, false},
      {"another vendor", TUsbIdentity{0x1234, 0x0005, "VEXILORA"}, "Acme_Modem_VEXILORA" + devpath,
       false},
      // Without a known identity the name test alone decides, letter case counting.
      {"no identity, the name", std::nullopt, "Vexilora_Vexilora_VEXILORA" + devpath, true},
      {"no identity, the name in lower case", std::nullopt, "vexilora_vexilora" + devpath, false},
      {"a tty of no USB device", std::nullopt, "/devices/platform/serial8250/tty/ttyS0", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (platform::TUdevAction action :
         {platform::TUdevAction::Arrival, platform::TUdevAction::Removal}) {
      platform::TUdevEvent event;
      event.Action = action;
      event.InterfacePath = c.InterfacePath;
      event.Usb = c.Usb;
      EXPECT_EQ(discovery::IsVexiloraNotification(event), c.Counts);
    }
  }
}

TEST(OpenFailureAdvice, NamesDeviceReasonAndRemedyForFailuresAUserCanMend) {
  const std::string denied =
      discovery::OpenFailureAdvice("/dev/ttyACM0", comm::EInOutError("Permission denied", 13));
  EXPECT_NE(denied.find("/dev/ttyACM0"), std::string::npos) << denied;
  EXPECT_NE(denied.find("permission denied"), std::string::npos) << denied;
  EXPECT_NE(denied.find("70-vexilora.rules"), std::string::npos) << denied;
  EXPECT_NE(denied.find("dialout"), std::string::npos) << denied;

  const std::string busy = discovery::OpenFailureAdvice("/dev/ttyACM1", comm::EAlreadyOpen(-2008));
  EXPECT_NE(busy.find("/dev/ttyACM1"), std::string::npos) << busy;
  EXPECT_NE(busy.find("in use"), std::string::npos) << busy;
  EXPECT_NE(busy.find("modem manager"), std::string::npos) << busy;

  for (const std::string& line : {denied, busy}) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one line: " << line;
  }
  // Failures a user cannot mend keep the window's silence on standard error as well.
  EXPECT_EQ(discovery::OpenFailureAdvice("/dev/ttyACM0", comm::EBadId(-2001)), "");
  EXPECT_EQ(discovery::OpenFailureAdvice("/dev/ttyACM0", comm::EInOutError("I/O error", 5)), "");
  EXPECT_EQ(discovery::OpenFailureAdvice("/dev/ttyACM0", std::runtime_error("other")), "");
}

}  // namespace
