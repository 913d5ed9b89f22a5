// What stands behind a COM name, in words for the user, and which COM name
// stands for a device file the user knows.
#pragma once

#include <string>
#include <vector>

namespace platform {

// "link /…/COM7 -> /dev/ttyACM0", "/dev/ttyS0 (this machine's own port)",
// "\Device\USBSER000".
std::string DescribePort(const std::string& name);

// Linux: the name among `names` whose device is the file `path` (a device
// such as /dev/ttyACM0, or a link to it such as /dev/serial/by-id/…); empty
// when none is. Windows: always empty (the COM name is what a user knows).
std::string PortForDevicePath(const std::string& path, const std::vector<std::string>& names);

}  // namespace platform
