#pragma once

#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace testsupport {

// What a mocked USB serial device looks like to udev. The defaults describe a Vexilora.
struct TUsbDescription {
  std::string IdVendor = "ffff";
  std::string IdProduct = "0005";
  std::string Serial = "VEXILORA";  // empty: the device has no serial-number string
  std::string Manufacturer = "Vexilora";
  std::string ProductName = "Vexilora";  // the USB product string; empty: none
  // ID_SERIAL as udev's rules would set it on the tty; empty: built the way those rules
  // build it, <manufacturer>_<product>[_<serial>] with blanks as underscores.
  std::string IdSerial;
  // Where the device sits, "<bus>-<port path>" ("1-1.2"); empty: a fresh port of bus 1.
  std::string Location;
  // The tty carries the identity properties udev's rules give it (ID_VENDOR_ID, ID_MODEL_ID,
  // ID_SERIAL_SHORT); false: a system without those rules, where only the USB device's sysfs
  // attributes tell its identity.
  bool IdentityProperties = true;
};

// A device plugged into a TMockUsb.
struct TMockDevice {
  int Id = 0;
  std::string DevicePath;     // "/dev/ttyACM0" (seen through the mock by this process only)
  std::string SysPath;        // the tty's sysfs path, as udev reports it
  std::string InterfacePath;  // ID_SERIAL followed by the tty's devpath
  std::string UsbLocation;    // "1-1.2"
  int Master = -1;            // pty master: play the device here (owned by the testbed)
};

// A mocked udev and sysfs (umockdev, in this process) in which tests plug USB serial devices
// in and pull them out. The process must run under umockdev's preload (see
// vexilora_use_umockdev in tests/CMakeLists.txt); the constructor throws std::runtime_error
// otherwise. Create it before any udev monitor of the code under test: only sockets opened
// while the mock is active hear its events. One at a time per process; main thread only.
//
// Every udev monitor opened under the mock hears every event the mock sends, and its queue
// holds only about ten unread events: umockdev aborts the process when one more comes. Read
// the monitors (the code under test's event loop, or the test itself) as events are sent.
//
// Node names are never reused within one TMockUsb (umockdev cannot create a node twice): a
// re-plugged device comes back as the next ttyACM<n>.
class TMockUsb {
 public:
  TMockUsb();
  ~TMockUsb();
  TMockUsb(const TMockUsb&) = delete;
  TMockUsb& operator=(const TMockUsb&) = delete;

  // Adds the USB device, its interface and its tty (node ttyACM<n>, n counting up), then
  // sends the tty's "add" event.
  TMockDevice PlugIn(const TUsbDescription& description = {});
  // Sends the tty's "remove" event, then takes the tty, the interface and the USB device
  // away in that order. The pty master stays with the testbed until it ends.
  void PullOut(const TMockDevice& device);
  // A tty of no USB device at all (a built-in serial port, a console): "ttyS<n>" and friends.
  TMockDevice AddPlainTty(const std::string& nodeName);
  void RemovePlainTty(const TMockDevice& device);

  // Hangs the device's line up as the kernel does when the device vanishes under an open
  // port: reads on the program's side return 0, writes fail with EIO. The device stays
  // plugged in (pull it out as well to finish the picture).
  void HangUp(const TMockDevice& device);

  // Sends any event for the device's tty ("change", "bind", ...).
  void Uevent(const TMockDevice& device, const std::string& action);

  // Devices plugged in and not pulled out.
  std::vector<TMockDevice> Present() const;

  UMockdevTestbed* Testbed() const { return testbed_; }

 private:
  struct TEntry {
    TMockDevice Device;
    std::string UsbSysPath;        // "" for a plain tty
    std::string InterfaceSysPath;  // "" for a plain tty
  };
  void Add(const std::string& text);
  const TEntry& Find(int id) const;

  UMockdevTestbed* testbed_ = nullptr;
  std::vector<TEntry> present_;
  int nextId_ = 1;
  int nextAcm_ = 0;
  int nextPort_ = 2;
};

// True when umockdev's preload is loaded into this process.
bool UmockdevPreloaded();

}  // namespace testsupport

using testsupport::TMockDevice;
using testsupport::TMockUsb;
using testsupport::TUsbDescription;
