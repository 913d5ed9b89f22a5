#include "platform/PortInfo.h"

#include <filesystem>
#include <system_error>

#include "platform/DeviceNames.h"

namespace fs = std::filesystem;

namespace platform {

std::string DescribePort(const std::string& name) {
  const std::string device = DeviceFileForName(name);
  std::error_code ec;
  if (!device.empty() && fs::is_symlink(fs::symlink_status(device, ec))) {
    const fs::path target = fs::read_symlink(device, ec);
    return "link " + device + " -> " + (ec ? std::string("?") : target.string());
  }
  return (device.empty() ? name : device) + " (this machine's own port)";
}

std::string PortForDevicePath(const std::string& path, const std::vector<std::string>& names) {
  std::error_code ec;
  const fs::path wanted = fs::canonical(path, ec);
  if (ec) return {};
  for (const std::string& name : names) {
    const std::string device = DeviceFileForName(name);
    if (device.empty()) continue;
    const fs::path file = fs::canonical(device, ec);
    if (!ec && file == wanted) return name;
  }
  return {};
}

}  // namespace platform
