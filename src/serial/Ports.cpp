#include "serial/Ports.h"

#include <cstring>
#include <vector>

#include "platform/DeviceNames.h"
#include "serial/NetNames.h"
#include "ui/WindowOps.h"

namespace {

constexpr std::uint32_t kOsVersionInfoSize = 148;
constexpr std::size_t kNameBufferSize = 65536;

// Longer than "COM", starts with it in any case, and has "COM" in capitals.
bool IsPortName(const char* name, std::size_t length) {
  if (length <= 3) return false;
  for (int i = 0; i < 3; ++i) {
    const char c = name[i];
    const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper != "COM"[i]) return false;
  }
  for (std::size_t i = 0; i + 3 <= length; ++i) {
    if (std::memcmp(name + i, "COM", 3) == 0) return true;
  }
  return false;
}

}  // namespace

void ListSerialPorts() {
  IWindow& window = Window();
  std::vector<std::string> systemNames;
  std::uint32_t platformId = 0;
  if (platform::GetSystemPlatformId(kOsVersionInfoSize, platformId) &&
      platformId == platform::kPlatformWin32Nt) {
    std::vector<char> names(kNameBufferSize, '\0');
    const std::uint32_t stored =
        platform::QueryDosDeviceNames(names.data(), kNameBufferSize - 1);
    if (stored != 0) {
      // The last byte is never written, so every name ends inside the buffer
      // even when the list is not closed as it should be.
      const char* end = names.data() + kNameBufferSize - 1;
      for (const char* name = names.data(); name < end;) {
        const std::size_t length = std::strlen(name);
        if (IsPortName(name, length)) {
          window.PortListAdd(std::string(name, length));
          systemNames.emplace_back(name, length);
        }
        name += length + 1;
        if (name >= end || *name == '\0') break;
      }
    }
  }
  // Ports on other machines come after this machine's, and never in place of one.
  for (const std::string& name : NetPortNames(systemNames)) window.PortListAdd(name);
  window.PortListSetCurrent(0);
}
