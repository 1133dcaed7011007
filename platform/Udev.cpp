#include "platform/Udev.h"

#include <libudev.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "platform/PortTable.h"

namespace platform {

namespace {

struct TUdevUnref {
  void operator()(struct udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using TUdevPtr = std::unique_ptr<struct udev, TUdevUnref>;
using TEnumeratePtr = std::unique_ptr<udev_enumerate, TUdevUnref>;
using TDevicePtr = std::unique_ptr<udev_device, TUdevUnref>;

// udev hands out NULL for missing values; the callers want empty text.
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Exactly four hex digits, as the identifier and sysfs's idVendor/idProduct write them.
std::optional<unsigned> Hex4(std::string_view s) {
  if (s.size() != 4) return std::nullopt;
  unsigned value = 0;
  for (char c : s) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return value;
}

// Decimal digits only, small enough for an int; nothing otherwise.
std::optional<int> Decimal(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The identity a USB device's sysfs attributes give; nothing when they are not readable.
std::optional<TUsbIdentity> IdentityOfUsbDevice(udev_device* usb) {
  auto vendor = Hex4(Text(udev_device_get_sysattr_value(usb, "idVendor")));
  auto product = Hex4(Text(udev_device_get_sysattr_value(usb, "idProduct")));
  if (!vendor || !product) return std::nullopt;
  return TUsbIdentity{*vendor, *product, Text(udev_device_get_sysattr_value(usb, "serial"))};
}

// The identity of the USB device a tty belongs to, from its sysfs parent.
std::optional<TUsbIdentity> IdentityOfParent(udev_device* tty) {
  // Owned by tty.
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
  return usb ? IdentityOfUsbDevice(usb) : std::nullopt;
}

// The identity udev's rules wrote into a USB tty's properties (ID_VENDOR_ID, ID_MODEL_ID,
// ID_SERIAL_SHORT): a removal's event carries them from udev's database, when the device's
// sysfs entries are gone.
std::optional<TUsbIdentity> IdentityOfProperties(udev_device* tty) {
  auto vendor = Hex4(Text(udev_device_get_property_value(tty, "ID_VENDOR_ID")));
  auto product = Hex4(Text(udev_device_get_property_value(tty, "ID_MODEL_ID")));
  if (!vendor || !product) return std::nullopt;
  return TUsbIdentity{*vendor, *product,
                      Text(udev_device_get_property_value(tty, "ID_SERIAL_SHORT"))};
}

// A USB device's sysfs name is "<bus>-<port path>" ("1-1.2"); its busnum and devpath
// attributes say the same and stand in when the name is not of that form.
void FillLocation(udev_device* usb, TUsbSerialPort& port) {
  std::string name = Text(udev_device_get_sysname(usb));
  size_t dash = name.find('-');
  std::optional<int> bus = dash == std::string::npos ? std::nullopt : Decimal(name.substr(0, dash));
  if (bus && dash + 1 < name.size()) {
    port.UsbBusNumber = *bus;
    port.UsbPortPath = name.substr(dash + 1);
  } else {
    port.UsbBusNumber = Decimal(Text(udev_device_get_sysattr_value(usb, "busnum"))).value_or(0);
    port.UsbPortPath = Text(udev_device_get_sysattr_value(usb, "devpath"));
  }
  port.UsbLocation = std::to_string(port.UsbBusNumber) + "-" + port.UsbPortPath;
}

}  // namespace

bool MatchesInstanceId(const TUsbIdentity& identity, const TUsbInstanceId& id) {
  if (identity.Vendor != id.Vendor || identity.Product != id.Product) return false;
  return id.Serial.empty() || EqualNoCase(identity.Serial, id.Serial);
}

std::optional<TUsbInstanceId> ParseUsbInstanceId(const std::string& instanceId) {
  // USB\Vid_ffff&Pid_0005\VEXILORA
  std::string_view s = instanceId;
  auto take = [&s](std::string_view word) {
    if (s.size() < word.size() || !EqualNoCase(s.substr(0, word.size()), word)) return false;
    s.remove_prefix(word.size());
    return true;
  };
  TUsbInstanceId id;
  if (!take("USB\\Vid_")) return std::nullopt;
  auto vendor = Hex4(s.substr(0, 4));
  if (!vendor) return std::nullopt;
  s.remove_prefix(4);
  if (!take("&Pid_")) return std::nullopt;
  auto product = Hex4(s.substr(0, 4));
  if (!product) return std::nullopt;
  s.remove_prefix(4);
  id.Vendor = *vendor;
  id.Product = *product;
  if (s.empty()) return id;
  if (s.front() != '\\' || s.size() == 1) return std::nullopt;
  s.remove_prefix(1);
  if (s.find('\\') != std::string_view::npos) return std::nullopt;
  id.Serial = std::string(s);
  return id;
}

std::optional<std::vector<TUsbSerialPort>> EnumerateUsbSerialPorts(const std::string& instanceId) {
  std::optional<TUsbInstanceId> id = ParseUsbInstanceId(instanceId);
  if (!id) return std::nullopt;
  TUdevPtr context(udev_new());
  if (!context) return std::nullopt;
  TEnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return std::nullopt;
  // Deliberately no match on "is initialized" (see the declaration).
  if (udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return std::nullopt;
  }
  std::vector<TUsbSerialPort> ports;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    // A device gone between the scan and this look is simply not present any more.
    TDevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!tty) continue;
    const char* node = udev_device_get_devnode(tty.get());
    if (!node || !*node) continue;
    // Owned by tty.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    if (!usb) continue;
    std::optional<TUsbIdentity> identity = IdentityOfUsbDevice(usb);
    if (!identity || !MatchesInstanceId(*identity, *id)) continue;
    TUsbSerialPort port;
    port.DevicePath = node;
    port.SysPath = Text(udev_device_get_syspath(tty.get()));
    port.PortNumber = EnterPortPath(port.DevicePath);
    std::string product = Text(udev_device_get_sysattr_value(usb, "product"));
    // The port name is taken from the first "COM" of the friendly name: a product string that
    // holds one itself ("Virtual COM Port") would be read as the port name, and the device
    // could never be opened. Such a device is named as one without a product string.
    if (product.empty() || product.find("COM") != std::string::npos) product = "USB Serial Device";
    port.FriendlyName = product + " (COM" + std::to_string(port.PortNumber) + ")";
    FillLocation(usb, port);
    ports.push_back(std::move(port));
  }
  return ports;
}

TUdevMonitor::TUdevMonitor() {
  udev_ = udev_new();
  if (!udev_) return;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) >= 0 &&
      udev_monitor_enable_receiving(monitor_) >= 0) {
    // A burst of plug-ins must not overflow the socket and lose a removal; a refusal (no
    // privilege for more than the default) leaves the default.
    udev_monitor_set_receive_buffer_size(monitor_, 1 << 20);
    RememberPresent();
    return;
  }
  if (monitor_) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
}

TUdevMonitor::~TUdevMonitor() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

void TUdevMonitor::RememberPresent() {
  // The ttys already there when the monitor starts have arrived unheard; a removal of one of
  // them must still be told by its identity.
  TEnumeratePtr enumerate(udev_enumerate_new(udev_));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return;
  }
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    TDevicePtr tty(udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry)));
    if (!tty) continue;
    std::optional<TUsbIdentity> identity = IdentityOfProperties(tty.get());
    if (!identity) identity = IdentityOfParent(tty.get());
    if (identity) known_[Text(udev_device_get_syspath(tty.get()))] = *identity;
  }
}

int TUdevMonitor::Fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

std::optional<TUdevEvent> TUdevMonitor::Read() {
  if (!monitor_) return std::nullopt;
  // The monitor's socket is non-blocking: NULL means nothing (readable) is left.
  while (TDevicePtr device{udev_monitor_receive_device(monitor_)}) {
    std::string action = Text(udev_device_get_action(device.get()));
    TUdevEvent event;
    if (action == "add") {
      event.Action = TUdevAction::Arrival;
    } else if (action == "remove") {
      event.Action = TUdevAction::Removal;
    } else {
      continue;
    }
    // The kernel-side filter is the first line; a monitor that does not apply it (a mocked
    // one) must not pass other subsystems on.
    if (Text(udev_device_get_subsystem(device.get())) != "tty") continue;
    event.InterfacePath = Text(udev_device_get_property_value(device.get(), "ID_SERIAL")) +
                          Text(udev_device_get_devpath(device.get()));
    event.DevicePath = Text(udev_device_get_devnode(device.get()));
    event.SysPath = Text(udev_device_get_syspath(device.get()));
    event.Usb = IdentityOfProperties(device.get());
    if (event.Action == TUdevAction::Arrival) {
      if (!event.Usb) event.Usb = IdentityOfParent(device.get());
      if (event.Usb) known_[event.SysPath] = *event.Usb;
    } else {
      const auto known = known_.find(event.SysPath);
      if (known != known_.end()) {
        if (!event.Usb) event.Usb = known->second;
        known_.erase(known);
      }
    }
    return event;
  }
  return std::nullopt;
}

}  // namespace platform
