#include "tests/support/MockUsb.h"

#include <fcntl.h>
#include <link.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr const char* kUsbRoot = "/devices/pci0000:00/0000:00:14.0";

std::string Underscored(std::string s) {
  std::replace(s.begin(), s.end(), ' ', '_');
  return s;
}

// ID_SERIAL as udev's usb_id builds it: manufacturer (or vendor id), product (or product
// id), and the serial when there is one.
std::string UdevIdSerial(const TUsbDescription& d) {
  std::string id = Underscored(d.Manufacturer.empty() ? d.IdVendor : d.Manufacturer) + "_" +
                   Underscored(d.ProductName.empty() ? d.IdProduct : d.ProductName);
  if (!d.Serial.empty()) id += "_" + Underscored(d.Serial);
  return id;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool UmockdevPreloaded() {
  bool found = false;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        if (info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload")) {
          *static_cast<bool*>(data) = true;
          return 1;
        }
        return 0;
      },
      &found);
  return found;
}

TMockUsb::TMockUsb() {
  if (!UmockdevPreloaded()) {
    throw std::runtime_error(
        "TMockUsb: umockdev's preload is not loaded; run the test under umockdev-wrapper "
        "(ctest does this for tests registered with vexilora_use_umockdev)");
  }
  testbed_ = umockdev_testbed_new();
  if (!testbed_) throw std::runtime_error("TMockUsb: umockdev could not create a testbed");
}

TMockUsb::~TMockUsb() {
  // Ending the testbed removes its sysfs tree and closes the pty masters.
  if (testbed_) g_object_unref(testbed_);
}

void TMockUsb::Add(const std::string& text) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("TMockUsb: umockdev refused a device: " + message);
  }
}

TMockDevice TMockUsb::PlugIn(const TUsbDescription& d) {
  std::string location = d.Location.empty() ? "1-1." + std::to_string(nextPort_++) : d.Location;
  size_t dash = location.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == location.size()) {
    throw std::invalid_argument("TMockUsb: location must be <bus>-<port path>: " + location);
  }
  std::string bus = location.substr(0, dash);
  std::string node = "ttyACM" + std::to_string(nextAcm_++);

  TEntry entry;
  entry.UsbSysPath = std::string("/sys") + kUsbRoot + "/usb" + bus + "/" + location;
  entry.InterfaceSysPath = entry.UsbSysPath + "/" + location + ":1.0";
  TMockDevice& device = entry.Device;
  device.Id = nextId_++;
  device.DevicePath = "/dev/" + node;
  device.SysPath = entry.InterfaceSysPath + "/tty/" + node;
  device.UsbLocation = location;
  std::string idSerial = d.IdSerial.empty() ? UdevIdSerial(d) : d.IdSerial;
  device.InterfacePath = idSerial + device.SysPath.substr(std::strlen("/sys"));

  std::string text;
  text += "P: " + entry.UsbSysPath.substr(4) + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
  text += "A: idVendor=" + d.IdVendor + "\nA: idProduct=" + d.IdProduct + "\n";
  if (!d.Serial.empty()) text += "A: serial=" + d.Serial + "\n";
  if (!d.Manufacturer.empty()) text += "A: manufacturer=" + d.Manufacturer + "\n";
  if (!d.ProductName.empty()) text += "A: product=" + d.ProductName + "\n";
  text += "A: busnum=" + bus + "\nA: devpath=" + location.substr(dash + 1) + "\n";
  text += "A: bDeviceClass=02\nA: bNumInterfaces= 2\n\n";
  text += "P: " + entry.InterfaceSysPath.substr(4) + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n";
  text += "A: bInterfaceClass=02\nA: bInterfaceSubClass=02\nA: bInterfaceNumber=00\n\n";
  text += "P: " + device.SysPath.substr(4) + "\n";
  text += "N: " + node + "\n";
  text += "E: SUBSYSTEM=tty\nE: DEVNAME=" + device.DevicePath + "\n";
  // Under umockdev no rules run; these are the properties udev's rules give a USB tty.
  text += "E: ID_BUS=usb\nE: ID_SERIAL=" + idSerial + "\n";
  if (d.IdentityProperties) {
    text += "E: ID_VENDOR_ID=" + d.IdVendor + "\nE: ID_MODEL_ID=" + d.IdProduct + "\n";
    if (!d.Serial.empty()) text += "E: ID_SERIAL_SHORT=" + d.Serial + "\n";
  }
  text += "E: ID_USB_INTERFACE_NUM=00\nE: ID_USB_DRIVER=cdc_acm\n";
  Add(text);

  device.Master = umockdev_testbed_get_dev_fd(testbed_, device.DevicePath.c_str());
  if (device.Master < 0) {
    throw std::runtime_error("TMockUsb: no pty behind " + device.DevicePath);
  }
  // Adding the tty from a description has sent its "add" event already.
  present_.push_back(entry);
  return device;
}

void TMockUsb::PullOut(const TMockDevice& device) {
  TEntry entry = Find(device.Id);
  // The event first: the device's sysfs entries must still be there for the event to carry
  // its properties, as a real removal's event does.
  umockdev_testbed_uevent(testbed_, entry.Device.SysPath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, entry.Device.SysPath.c_str());
  if (!entry.InterfaceSysPath.empty()) {
    umockdev_testbed_remove_device(testbed_, entry.InterfaceSysPath.c_str());
  }
  if (!entry.UsbSysPath.empty()) umockdev_testbed_remove_device(testbed_, entry.UsbSysPath.c_str());
  present_.erase(std::remove_if(present_.begin(), present_.end(),
                                [&](const TEntry& e) { return e.Device.Id == device.Id; }),
                 present_.end());
}

TMockDevice TMockUsb::AddPlainTty(const std::string& nodeName) {
  TEntry entry;
  TMockDevice& device = entry.Device;
  device.Id = nextId_++;
  device.DevicePath = "/dev/" + nodeName;
  device.SysPath = "/sys/devices/platform/serial8250/tty/" + nodeName;
  device.InterfacePath = device.SysPath.substr(std::strlen("/sys"));
  Add("P: " + device.SysPath.substr(4) + "\nN: " + nodeName +
      "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + device.DevicePath + "\n");
  device.Master = umockdev_testbed_get_dev_fd(testbed_, device.DevicePath.c_str());
  present_.push_back(entry);
  return device;
}

void TMockUsb::RemovePlainTty(const TMockDevice& device) { PullOut(device); }

void TMockUsb::HangUp(const TMockDevice& device) {
  const TEntry& entry = Find(device.Id);
  // Raw system calls: through the preload, ioctl() on the pty answers ENOTTY.
  int number = -1;
  if (syscall(SYS_ioctl, entry.Device.Master, TIOCGPTN, &number) != 0) {
    throw std::runtime_error(Errno("TMockUsb::HangUp: TIOCGPTN"));
  }
  std::string slavePath = "/dev/pts/" + std::to_string(number);
  long slave = syscall(SYS_openat, AT_FDCWD, slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) throw std::runtime_error(Errno(("TMockUsb::HangUp: open " + slavePath).c_str()));
  long rc = syscall(SYS_ioctl, static_cast<int>(slave), TIOCVHANGUP, 0);
  int savedErrno = errno;
  syscall(SYS_close, static_cast<int>(slave));
  if (rc != 0) {
    errno = savedErrno;
    throw std::runtime_error(Errno("TMockUsb::HangUp: TIOCVHANGUP (needs CAP_SYS_ADMIN)"));
  }
}

void TMockUsb::Uevent(const TMockDevice& device, const std::string& action) {
  umockdev_testbed_uevent(testbed_, Find(device.Id).Device.SysPath.c_str(), action.c_str());
}

std::vector<TMockDevice> TMockUsb::Present() const {
  std::vector<TMockDevice> devices;
  for (const TEntry& e : present_) devices.push_back(e.Device);
  return devices;
}

const TMockUsb::TEntry& TMockUsb::Find(int id) const {
  for (const TEntry& e : present_) {
    if (e.Device.Id == id) return e;
  }
  throw std::invalid_argument("TMockUsb: device " + std::to_string(id) + " is not plugged in");
}

}  // namespace testsupport
