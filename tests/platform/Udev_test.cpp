#include "platform/Udev.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/PortTable.h"
#include "tests/support/MockUsb.h"

namespace {

using platform::EnumerateUsbSerialPorts;
using platform::TUdevAction;
using platform::TUdevEvent;
using platform::TUdevMonitor;
using platform::TUsbSerialPort;

const std::string kVexilora = "USB\\Vid_ffff&Pid_0005\\VEXILORA";

TEST(UsbInstanceId, ParsesTheIdentifierAndRefusesMalformedOnes) {
  struct TCase {
    std::string Text;
    bool Valid;
    unsigned Vendor, Product;
    std::string Serial;
  };
  const TCase cases[] = {
      {"USB\\Vid_ffff&Pid_0005\\VEXILORA", true, 0xffff, 0x0005, "VEXILORA"},
      {"usb\\VID_FFFF&PID_0005\\VEXILORA", true, 0xffff, 0x0005, "VEXILORA"},
      {"USB\\Vid_1a2B&Pid_00fe", true, 0x1a2b, 0x00fe, ""},
      {"", false, 0, 0, ""},
      {"USB\\Vid_fff&Pid_0005\\VEXILORA", false, 0, 0, ""},
      {"USB\\Vid_ffff&Pid_00051\\VEXILORA", false, 0, 0, ""},
      {"USB\\Vid_gfff&Pid_0005\\VEXILORA", false, 0, 0, ""},
      {"USB\\Vid_ffff&Pid_0005\\", false, 0, 0, ""},
      {"USB\\Vid_ffff&Pid_0005\\A\\B", false, 0, 0, ""},
      {"PCI\\Vid_ffff&Pid_0005\\VEXILORA", false, 0, 0, ""},
      {"USB\\Vid_ffff", false, 0, 0, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    auto id = platform::ParseUsbInstanceId(c.Text);
    ASSERT_EQ(id.has_value(), c.Valid);
    if (!id) continue;
    EXPECT_EQ(id->Vendor, c.Vendor);
    EXPECT_EQ(id->Product, c.Product);
    EXPECT_EQ(id->Serial, c.Serial);
  }
  EXPECT_FALSE(EnumerateUsbSerialPorts("USB\\Vid_ffff").has_value());
}

std::vector<TUsbSerialPort> Enumerate(const std::string& id = kVexilora) {
  auto ports = EnumerateUsbSerialPorts(id);
  EXPECT_TRUE(ports.has_value());
  return ports.value_or(std::vector<TUsbSerialPort>{});
}

std::vector<std::string> Paths(const std::vector<TUsbSerialPort>& ports) {
  std::vector<std::string> paths;
  for (const auto& p : ports) paths.push_back(p.DevicePath);
  return paths;
}

TEST(UdevEnumeration, FindsTheDeviceWithItsFriendlyNameNumberAndLocation) {
  TMockUsb usb;
  EXPECT_TRUE(Enumerate().empty());

  TUsbDescription description;
  description.ProductName = "Vexilora Updater Port";
  description.Location = "3-1.4.2";
  TMockDevice device = usb.PlugIn(description);
  auto ports = Enumerate();
  ASSERT_EQ(ports.size(), 1u);
  const TUsbSerialPort& port = ports[0];
  EXPECT_EQ(port.DevicePath, device.DevicePath);
  EXPECT_EQ(port.SysPath, device.SysPath);
  ASSERT_GT(port.PortNumber, 0);
  EXPECT_EQ(platform::PortPath(port.PortNumber), device.DevicePath);
  EXPECT_EQ(port.FriendlyName,
            "Vexilora Updater Port (COM" + std::to_string(port.PortNumber) + ")");
  EXPECT_EQ(port.UsbBusNumber, 3);
  EXPECT_EQ(port.UsbPortPath, "1.4.2");
  EXPECT_EQ(port.UsbLocation, "3-1.4.2");

  // The path keeps its number from one search to the next.
  auto again = Enumerate();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].PortNumber, port.PortNumber);

  usb.PullOut(device);
  EXPECT_TRUE(Enumerate().empty());
}

// Also a device whose product string holds "COM" itself: the port name is taken from the first
// "COM" of the friendly name, so "Virtual COM Port (COM3)" would never give a port number.
TEST(UdevEnumeration, DeviceWithoutAUsableProductStringIsAUsbSerialDevice) {
  for (const char* product : {"", "Virtual COM Port", "COM"}) {
    SCOPED_TRACE(std::string("product '") + product + "'");
    TMockUsb usb;
    TUsbDescription description;
    description.ProductName = product;
    usb.PlugIn(description);
    auto ports = Enumerate();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].FriendlyName,
              "USB Serial Device (COM" + std::to_string(ports[0].PortNumber) + ")");
  }
}

TEST(UdevEnumeration, OnlyDevicesWithTheIdentifiersVendorProductAndSerialAreMembers) {
  TMockUsb usb;
  TUsbDescription otherVendor, otherProduct, otherSerial, noSerial, lowerSerial;
  otherVendor.IdVendor = "fffe";
  otherProduct.IdProduct = "0006";
  otherSerial.Serial = "VEXILORA2";
  noSerial.Serial = "";
  lowerSerial.Serial = "vexilora";  // the platform compares identifiers without letter case
  usb.PlugIn(otherVendor);
  usb.PlugIn(otherProduct);
  TMockDevice lower = usb.PlugIn(lowerSerial);
  usb.PlugIn(otherSerial);
  usb.PlugIn(noSerial);
  usb.AddPlainTty("ttyS0");
  TMockDevice wanted = usb.PlugIn();

  EXPECT_EQ(Paths(Enumerate()), (std::vector<std::string>{lower.DevicePath, wanted.DevicePath}));
  // Without a serial segment the identifier takes any serial of that vendor and product.
  EXPECT_EQ(Enumerate("USB\\Vid_ffff&Pid_0005").size(), 4u);
}

TEST(UdevEnumeration, SeveralDevicesAreListedInSysfsOrderAndReplugsGetANewNumber) {
  TMockUsb usb;
  TUsbDescription first, second;
  first.Location = "1-2";
  second.Location = "1-1";  // sorts first
  TMockDevice a = usb.PlugIn(first);
  TMockDevice b = usb.PlugIn(second);
  auto ports = Enumerate();
  ASSERT_EQ(Paths(ports), (std::vector<std::string>{b.DevicePath, a.DevicePath}));
  EXPECT_NE(ports[0].PortNumber, ports[1].PortNumber);
  int numberOfA = ports[1].PortNumber;

  usb.PullOut(a);
  TMockDevice again = usb.PlugIn(first);  // back as the next node name
  ports = Enumerate();
  ASSERT_EQ(Paths(ports), (std::vector<std::string>{b.DevicePath, again.DevicePath}));
  EXPECT_NE(ports[1].PortNumber, numberOfA);
  EXPECT_EQ(platform::PortPath(numberOfA), a.DevicePath);  // the old path keeps its number
}

// Waits (generously) for the monitor's descriptor and reads the next event.
std::optional<TUdevEvent> NextEvent(TUdevMonitor& monitor) {
  for (int round = 0; round < 100; ++round) {
    if (auto event = monitor.Read()) return event;
    pollfd p{monitor.Fd(), POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return std::nullopt;
  }
  return std::nullopt;
}

TEST(UdevMonitor, ReportsArrivalsAndRemovalsWithTheirInterfacePath) {
  TMockUsb usb;  // before the monitor: only sockets opened under the mock hear it
  TUdevMonitor monitor;
  ASSERT_TRUE(monitor.Valid());
  ASSERT_GE(monitor.Fd(), 0);
  EXPECT_FALSE(monitor.Read().has_value());  // nothing waiting: returns at once

  TMockDevice device = usb.PlugIn();
  EXPECT_EQ(device.InterfacePath,
            "Vexilora_Vexilora_VEXILORA" + device.SysPath.substr(std::string("/sys").size()));
  auto arrival = NextEvent(monitor);
  ASSERT_TRUE(arrival.has_value());
  EXPECT_EQ(arrival->Action, TUdevAction::Arrival);
  EXPECT_EQ(arrival->InterfacePath, device.InterfacePath);
  EXPECT_EQ(arrival->DevicePath, device.DevicePath);
  EXPECT_EQ(arrival->SysPath, device.SysPath);

  // Events of other kinds are passed over; the removal still carries the device's identity.
  usb.Uevent(device, "change");
  usb.Uevent(device, "bind");
  usb.PullOut(device);
  auto removal = NextEvent(monitor);
  ASSERT_TRUE(removal.has_value());
  EXPECT_EQ(removal->Action, TUdevAction::Removal);
  EXPECT_EQ(removal->InterfacePath, device.InterfacePath);
  EXPECT_EQ(removal->DevicePath, device.DevicePath);
}

TEST(UdevMonitor, EachPlugAndPullIsReportedExactlyOnceInOrder) {
  TMockUsb usb;
  TUdevMonitor monitor;
  TUsbDescription other;
  other.Manufacturer = "Acme";
  other.ProductName = "Modem";
  other.IdVendor = "1234";
  TMockDevice a = usb.PlugIn();
  TMockDevice b = usb.PlugIn(other);
  TMockDevice plain = usb.AddPlainTty("ttyS3");
  usb.PullOut(a);
  usb.RemovePlainTty(plain);
  TMockDevice c = usb.PlugIn();  // a re-plug: the next node name
  usb.PullOut(b);
  TMockDevice marker = usb.PlugIn();

  struct TSeen {
    TUdevAction Action;
    std::string Path;
    bool operator==(const TSeen&) const = default;
  };
  const std::vector<TSeen> expected = {
      {TUdevAction::Arrival, a.InterfacePath},     {TUdevAction::Arrival, b.InterfacePath},
      {TUdevAction::Arrival, plain.InterfacePath}, {TUdevAction::Removal, a.InterfacePath},
      {TUdevAction::Removal, plain.InterfacePath}, {TUdevAction::Arrival, c.InterfacePath},
      {TUdevAction::Removal, b.InterfacePath},     {TUdevAction::Arrival, marker.InterfacePath},
  };
  std::vector<TSeen> seen;
  while (seen.size() < expected.size()) {
    auto event = NextEvent(monitor);
    ASSERT_TRUE(event.has_value()) << "after " << seen.size() << " events";
    seen.push_back({event->Action, event->InterfacePath});
  }
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(monitor.Read().has_value());
  // A tty of no USB device has no ID_SERIAL: its path is its devpath alone.
  EXPECT_EQ(plain.InterfacePath, "/devices/platform/serial8250/tty/ttyS3");
  EXPECT_EQ(b.InterfacePath.rfind("Acme_Modem_VEXILORA/devices/", 0), 0u);
  EXPECT_NE(c.DevicePath, a.DevicePath);
}

// The identity an arrival and its removal carry: a Vexilora by vendor, product and serial,
// whatever its strings say, with the properties udev's rules give a USB tty and without them
// (then the arrival reads the USB device's sysfs attributes, and the removal, read once those
// are gone, gets what the monitor learned at the arrival or when it started).
TEST(UdevMonitor, ArrivalsAndRemovalsCarryTheUsbDevicesIdentity) {
  TMockUsb usb;
  TUsbDescription bare;  // no identity properties, strings of a generic adapter
  bare.Manufacturer = "Generic";
  bare.ProductName = "Virtual COM Port";
  bare.IdentityProperties = false;
  TMockDevice before = usb.PlugIn(bare);  // there before the monitor: never heard arriving
  TUdevMonitor monitor;
  ASSERT_TRUE(monitor.Valid());

  TUsbDescription withProperties = bare;
  withProperties.IdentityProperties = true;
  TUsbDescription modem;
  modem.IdVendor = "1234";
  modem.IdProduct = "5678";
  modem.Serial = "";
  modem.Manufacturer = "Acme";
  modem.ProductName = "Modem";
  const platform::TUsbIdentity vexilora{0xffff, 0x0005, "VEXILORA"};
  const platform::TUsbIdentity acme{0x1234, 0x5678, ""};
  struct TCase {
    const char* Name;
    TUsbDescription Description;
    platform::TUsbIdentity Identity;
  };
  const TCase cases[] = {
      {"properties", withProperties, vexilora},
      {"sysfs only", bare, vexilora},
      {"another device", modem, acme},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMockDevice device = usb.PlugIn(c.Description);
    auto arrival = NextEvent(monitor);
    ASSERT_TRUE(arrival.has_value());
    EXPECT_EQ(arrival->Action, TUdevAction::Arrival);
    ASSERT_TRUE(arrival->Usb.has_value());
    EXPECT_EQ(*arrival->Usb, c.Identity);
    // The event is read after the device's sysfs entries have gone, as on a real system.
    usb.PullOut(device);
    auto removal = NextEvent(monitor);
    ASSERT_TRUE(removal.has_value());
    EXPECT_EQ(removal->Action, TUdevAction::Removal);
    EXPECT_EQ(removal->SysPath, device.SysPath);
    ASSERT_TRUE(removal->Usb.has_value());
    EXPECT_EQ(*removal->Usb, c.Identity);
  }

  usb.PullOut(before);
  auto removal = NextEvent(monitor);
  ASSERT_TRUE(removal.has_value());
  EXPECT_EQ(removal->SysPath, before.SysPath);
  ASSERT_TRUE(removal->Usb.has_value());
  EXPECT_EQ(*removal->Usb, vexilora);

  // A tty of no USB device has no identity.
  usb.AddPlainTty("ttyS4");
  auto arrival = NextEvent(monitor);
  ASSERT_TRUE(arrival.has_value());
  EXPECT_FALSE(arrival->Usb.has_value());
}

}  // namespace
