// What a serial port's USB adapter tells of itself, for the port listing and
// `tavrin-cli doctor`: ids, names, driver and where it is plugged in.
#pragma once

#include <string>

namespace platform {

struct UsbDetails {
  bool usb = false;          // the port is a USB adapter (the rest is empty when not)
  std::string vendorId;      // four hex digits, "1a86"
  std::string productId;     // "7523"
  std::string manufacturer;  // as the adapter reports it; may be empty
  std::string product;
  std::string serial;
  std::string driver;            // Linux: "ch341-uart", "cdc_acm"; Windows: the service, "usbser"
  int latencyTimerMs = -1;       // -1: the driver has no latency timer
  std::string latencyTimerPath;  // Linux: the file that sets it
  std::string location;          // Linux: the USB path, "1-2.3:1.0"; Windows: the location info
  std::string byPath;            // Linux: the /dev/serial/by-path link that names the device
  std::string byId;              // Linux: the /dev/serial/by-id link
  std::string friendlyName;      // Windows: the Device Manager's name, "USB-SERIAL CH340 (COM5)"
  // Linux: the port is a mobile-broadband modem's (a laptop's WWAN card), not a
  // serial adapter; `modemSign` tells how that shows ("driver option").
  bool modem = false;
  std::string modemSign;
};

// Linux: `devicePath` is a device file (/dev/ttyUSB0) or a link to one; the
// facts come from sysfs (the listing's roots, which tests replace). Windows:
// `devicePath` is a COM name, the facts come from SetupAPI. Nothing is opened.
UsbDetails UsbDetailsFor(const std::string& devicePath);
// The same for the port the COM name `name` stands for.
UsbDetails UsbDetailsForPort(const std::string& name);

}  // namespace platform
