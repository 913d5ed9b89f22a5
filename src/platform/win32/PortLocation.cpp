#include "platform/PortLocation.h"

#include "platform/PortInfo.h"

namespace platform {

std::string PortDevice(const std::string& name) {
  const std::string device = DescribePort(name);
  return device == name ? std::string() : device;
}

std::string PortUsbLocation(const std::string&) { return {}; }

}  // namespace platform
