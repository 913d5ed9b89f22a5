#include "platform/PortLocation.h"

#include <filesystem>
#include <system_error>

#include "platform/DeviceNames.h"

namespace fs = std::filesystem;

namespace platform {

std::string PortDevice(const std::string& name) {
  const std::string file = DeviceFileForName(name);
  if (file.empty()) return {};
  std::error_code ec;
  const fs::path device = fs::canonical(file, ec);
  return ec ? std::string() : device.string();
}

std::string PortUsbLocation(const std::string& name) {
  const std::string device = PortDevice(name);
  if (device.rfind("/dev/", 0) != 0) return {};
  std::error_code ec;
  fs::path at =
      fs::canonical(fs::path("/sys/class/tty") / fs::path(device).filename() / "device", ec);
  if (ec) return {};
  // Up from the interface ("1-2.3:1.0") to the USB device, whose directory
  // name is its location: digits, dashes and dots only.
  for (; !at.empty() && at != at.root_path(); at = at.parent_path()) {
    const std::string part = at.filename().string();
    if (part.empty() || part.find(':') != std::string::npos) continue;
    if (part.find('-') == std::string::npos) {
      if (part.rfind("usb", 0) == 0) break;
      continue;
    }
    if (part.find_first_not_of("0123456789-.") == std::string::npos) return part;
  }
  return {};
}

}  // namespace platform
