// Placeholder until the unit is written.
#include "platform/DeviceNames.h"

namespace platform {
bool GetSystemPlatformId(std::uint32_t, std::uint32_t& platformId) {
  platformId = kPlatformWin32Nt;
  return true;
}
std::uint32_t QueryDosDeviceNames(char*, std::uint32_t) { return 0; }
void SetDeviceNameSourceForTest(DeviceNameSource) {}
std::string DosDevicesDirectory(std::string*) { return {}; }
}  // namespace platform
