#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace platform {

// USB serial devices as udev knows them: the stand-in for the device-information sets and the
// device-interface notifications through which the utility finds its device and hears of it
// being plugged in and pulled out.

// A device-instance identifier "USB\Vid_ffff&Pid_0005\VEXILORA" taken apart: vendor and product
// as numbers, the serial-number segment as text (empty: any serial).
struct TUsbInstanceId {
  unsigned Vendor = 0;
  unsigned Product = 0;
  std::string Serial;
};

// Nothing when the text is not of the form USB\Vid_<4 hex>&Pid_<4 hex>[\<serial>] (the words
// in any letter case, as the platform treats them).
std::optional<TUsbInstanceId> ParseUsbInstanceId(const std::string& instanceId);

// What a USB device says it is: its vendor and product numbers and its serial-number string
// (empty when it has none). Unlike its manufacturer and product strings, these are what an
// identifier names.
struct TUsbIdentity {
  unsigned Vendor = 0;
  unsigned Product = 0;
  std::string Serial;
  bool operator==(const TUsbIdentity&) const = default;
};

// The identity has the identifier's vendor and product and, when the identifier names one,
// its serial (letter case ignored, as the platform compares instance identifiers).
bool MatchesInstanceId(const TUsbIdentity& identity, const TUsbInstanceId& id);

// One serial device (tty) on a USB device that matches an instance identifier.
struct TUsbSerialPort {
  std::string DevicePath;  // "/dev/ttyACM0": what the port opens
  std::string SysPath;     // the tty's sysfs path
  int PortNumber = 0;      // the device path's number in the port table
  // "<USB product string> (COM<n>)", or "USB Serial Device (COM<n>)" when the product string
  // is empty or holds "COM" itself.
  std::string FriendlyName;
  int UsbBusNumber = 0;     // 1 for "1-1.2"
  std::string UsbPortPath;  // "1.2" for "1-1.2": the chain of hub ports from the root hub
  std::string UsbLocation;  // "1-1.2": bus number, a dash and the port path
};

// The present tty devices whose USB device has the identifier's vendor, product and serial
// (letter case of the serial ignored), in udev's order (by sysfs path). Each one's device
// path is entered in the port table, which gives it its number. Devices count as present
// whether or not udev has finished initialising them: a real system initialises them before
// anyone hears of them, and a mocked one never does. Nothing when the identifier is malformed
// or udev cannot be asked.
std::optional<std::vector<TUsbSerialPort>> EnumerateUsbSerialPorts(const std::string& instanceId);

enum class TUdevAction { Arrival, Removal };

// An arrival or removal of a tty as udev reported it, after its rules ran.
struct TUdevEvent {
  TUdevAction Action = TUdevAction::Arrival;
  // The event's ID_SERIAL (manufacturer_product_serial of a USB device; empty for other
  // ttys) followed by its devpath: the text on which the utility makes its name test.
  std::string InterfacePath;
  std::string DevicePath;  // "/dev/ttyACM0"; empty when the event names no node
  std::string SysPath;
  // The identity of the USB device the tty belongs to; nothing for a tty of no USB device or
  // one whose identity could not be learned. A removal carries it too, although the device's
  // sysfs entries are gone by the time it is read: from the event's own properties (those
  // udev's rules gave the tty), or else from what the monitor learned when the tty arrived or
  // when the monitor started.
  std::optional<TUsbIdentity> Usb;
};

// A monitor of udev's tty events (the "udev" source: rules such as permissions have been
// applied by the time an event comes). Its descriptor becomes readable when events wait; an
// event loop watches it and calls Read until it yields nothing. Single-threaded: use it from
// the thread that watches it.
class TUdevMonitor {
 public:
  TUdevMonitor();
  ~TUdevMonitor();
  TUdevMonitor(const TUdevMonitor&) = delete;
  TUdevMonitor& operator=(const TUdevMonitor&) = delete;

  // False when udev could not be reached; the monitor then never reports anything.
  bool Valid() const { return monitor_ != nullptr; }
  // -1 when not valid.
  int Fd() const;
  // Does not block. The next arrival or removal waiting; events of other kinds (change,
  // bind, move, ...) or of other subsystems are taken and skipped. Nothing when none waits.
  std::optional<TUdevEvent> Read();

 private:
  void RememberPresent();

  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
  // The USB identity of each tty present, by its sysfs path.
  std::map<std::string, TUsbIdentity> known_;
};

}  // namespace platform
