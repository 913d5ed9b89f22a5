// The system's version and its DOS device names, straight from Win32.
#include "platform/DeviceNames.h"

#include <windows.h>

#include <mutex>
#include <utility>

namespace platform {

namespace {
std::mutex g_sourceMutex;
DeviceNameSource& Source() {
  static DeviceNameSource* source = new DeviceNameSource();  // outlives every thread at exit
  return *source;
}
}  // namespace

bool GetSystemPlatformId(std::uint32_t structSize, std::uint32_t& platformId) {
  // Room for the larger EX form, so any size the system accepts fits; the
  // system itself refuses sizes other than its two structures.
  OSVERSIONINFOEXA info{};
  if (structSize > sizeof(info)) return false;
  info.dwOSVersionInfoSize = structSize;
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // deprecated, but it is the call the enumeration is defined by
#endif
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
  platformId = info.dwPlatformId;
  return true;
}

std::uint32_t QueryDosDeviceNames(char* buffer, std::uint32_t maxChars) {
  DeviceNameSource source;
  {
    std::lock_guard lock(g_sourceMutex);
    source = Source();
  }
  if (source) return source(buffer, maxChars);
  if (buffer == nullptr || maxChars == 0) return 0;
  return QueryDosDeviceA(nullptr, buffer, maxChars);
}

void SetDeviceNameSourceForTest(DeviceNameSource source) {
  std::lock_guard lock(g_sourceMutex);
  Source() = std::move(source);
}

std::string DeviceFileForName(const std::string& name) { return name; }

std::string NetworkPortMapPath() {
  char appData[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("APPDATA", appData, sizeof appData);
  if (n == 0 || n >= sizeof appData) return {};
  std::string dir = std::string(appData) + "\\Tavrin Programmer";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir + "\\network-ports.txt";
}

std::string DosDevicesDirectory(std::string* error) {
  if (error) error->clear();
  return {};
}

}  // namespace platform
