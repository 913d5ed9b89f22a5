#include "platform/PortInfo.h"

#include <windows.h>

#include "platform/Utf16.h"

namespace platform {

std::string DescribePort(const std::string& name) {
  // The first of the device's targets, as QueryDosDevice gives them.
  wchar_t target[1024];
  const std::wstring wide = Utf8ToUtf16(name);
  if (QueryDosDeviceW(wide.c_str(), target, 1024) == 0) return name;
  return Utf16ToUtf8(target);
}

std::string PortForDevicePath(const std::string&, const std::vector<std::string>&) { return {}; }

}  // namespace platform
