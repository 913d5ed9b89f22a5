#include "platform/UsbInfo.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/DeviceNames.h"
#include "platform/linux/PortUse.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Canonical(const fs::path& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : real.string();
}

// The link in `dir` whose target is the device `real`.
std::string LinkTo(const fs::path& dir, const std::string& real) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (Canonical(entry.path()) == real) return entry.path().string();
  }
  return {};
}

std::string DriverOf(const fs::path& device) {
  const std::string driver = Canonical(device / "driver");
  return driver.empty() ? std::string() : fs::path(driver).filename().string();
}

// Whether the USB device `usb`, whose interface `iface` has the tty, is a
// mobile-broadband modem. The serial drivers that serve only modems say so
// at once; any other port (cdc_acm: a controller declares the same AT-command
// class as a modem does) counts as a modem's only when an interface beside it
// carries the modem's network link (QMI, MBIM, NCM) or the kernel's WWAN port.
std::string ModemSign(const fs::path& usb, const fs::path& iface, const std::string& portDriver) {
  for (const std::string& driver : {portDriver, DriverOf(iface)}) {
    for (const char* modem : {"option", "option1", "qcserial", "sierra", "qcaux"}) {
      if (driver == modem) return "driver " + driver;
    }
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(usb, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find(':') == std::string::npos) continue;  // not an interface
    const std::string driver = DriverOf(entry.path());
    for (const char* link : {"qmi_wwan", "cdc_mbim", "cdc_ncm", "huawei_cdc_ncm", "sierra_net"}) {
      if (driver == link) return "interface " + name + " has driver " + driver;
    }
    if (fs::exists(entry.path() / "wwan", ec)) return "interface " + name + " is a WWAN port";
  }
  return {};
}

}  // namespace

UsbDetails UsbDetailsFor(const std::string& devicePath) {
  UsbDetails details;
  std::string sysClassTty;
  std::string dev;
  SystemPortRoots(sysClassTty, dev);
  const std::string real = Canonical(devicePath);
  std::error_code ec;
  fs::path tty = fs::path(sysClassTty) / fs::path(real).filename();
  if (real.empty() || !fs::exists(tty / "device", ec))
    tty = fs::path(sysClassTty) / fs::path(devicePath).filename();
  const std::string device = Canonical(tty / "device");
  if (device.empty()) return details;
  // Up from the tty's device (a USB interface, or a USB-serial port below
  // one) to the USB device with the ids.
  fs::path usb = device;
  for (int up = 0; up < 4 && !fs::exists(usb / "idVendor", ec); ++up) usb = usb.parent_path();
  if (!fs::exists(usb / "idVendor", ec)) return details;
  details.usb = true;
  details.vendorId = FirstLine(usb / "idVendor");
  details.productId = FirstLine(usb / "idProduct");
  details.manufacturer = FirstLine(usb / "manufacturer");
  details.product = FirstLine(usb / "product");
  details.serial = FirstLine(usb / "serial");
  details.driver = DriverOf(device);
  // The interface the port sits on: "1-2.3:1.0".
  fs::path iface = device;
  while (!iface.empty() && iface.parent_path() != usb && iface != iface.parent_path())
    iface = iface.parent_path();
  details.location = (iface.parent_path() == usb ? iface : usb).filename().string();
  details.modemSign = ModemSign(usb, iface.parent_path() == usb ? iface : fs::path(device),
                                details.driver);
  details.modem = !details.modemSign.empty();
  const fs::path latency = tty / "device" / "latency_timer";
  std::ifstream timer(latency);
  if (int ms = 0; timer >> ms) {
    details.latencyTimerMs = ms;
    details.latencyTimerPath = latency.string();
  }
  const std::string node = Canonical(real.empty() ? devicePath : real);
  details.byPath = LinkTo(fs::path(dev) / "serial" / "by-path", node);
  details.byId = LinkTo(fs::path(dev) / "serial" / "by-id", node);
  return details;
}

UsbDetails UsbDetailsForPort(const std::string& name) {
  const std::string device = DeviceFileForName(name);
  return device.empty() ? UsbDetails{} : UsbDetailsFor(device);
}

}  // namespace platform
