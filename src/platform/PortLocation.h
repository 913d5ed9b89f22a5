// Where a COM name leads, for the record of a unit: the device file (Linux)
// or the system's device (Windows), and on Linux the USB location of the
// adapter behind it, so a record names the fixture even when the name moves.
#pragma once

#include <string>

namespace platform {

// Linux: the device file the COM name opens, links followed ("/dev/ttyACM0");
// Windows: the device it stands for ("\Device\USBSER000"). Empty when unknown.
std::string PortDevice(const std::string& name);

// Linux: the USB location path of the adapter behind the COM name, as sysfs
// names its USB device ("1-2.3": bus 1, port 2, then port 3 of a hub); empty
// when the port is not on USB. Windows: empty.
std::string PortUsbLocation(const std::string& name);

}  // namespace platform
