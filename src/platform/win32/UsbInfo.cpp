// The COM port's device as SetupAPI knows it: the Ports class, matched by the
// PortName value of each device's key.
#include "platform/UsbInfo.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cwctype>
#include <string>

#include "platform/Utf16.h"

namespace platform {

namespace {

// GUID_DEVCLASS_PORTS, the "Ports (COM & LPT)" class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  wchar_t buffer[512] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, &data, property, &type, reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2, nullptr))
    return {};
  return buffer;  // REG_MULTI_SZ: its first string
}

std::wstring PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& data) {
  HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[64] = {};
  DWORD size = sizeof name - 2;
  DWORD type = 0;
  const LONG rc =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

// "USB\VID_1A86&PID_7523&REV_0254" -> "1a86"; empty when the id has no such part.
std::string HexAfter(const std::wstring& id, const wchar_t* tag) {
  const auto at = id.find(tag);
  if (at == std::wstring::npos || at + 8 > id.size()) return {};
  std::string hex;
  for (std::size_t i = at + 4; i < at + 8; ++i)
    hex += static_cast<char>(std::towlower(static_cast<wint_t>(id[i])));
  return hex;
}

}  // namespace

UsbDetails UsbDetailsFor(const std::string& devicePath) {
  UsbDetails details;
  std::wstring wanted = Utf8ToUtf16(devicePath);
  if (wanted.rfind(L"\\\\.\\", 0) == 0) wanted.erase(0, 4);
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return details;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    if (_wcsicmp(PortNameOf(set, data).c_str(), wanted.c_str()) != 0) continue;
    details.friendlyName = Utf16ToUtf8(Property(set, data, SPDRP_FRIENDLYNAME));
    details.driver = Utf16ToUtf8(Property(set, data, SPDRP_SERVICE));
    details.location = Utf16ToUtf8(Property(set, data, SPDRP_LOCATION_INFORMATION));
    const std::wstring hardwareId = Property(set, data, SPDRP_HARDWAREID);
    details.vendorId = HexAfter(hardwareId, L"VID_");
    details.productId = HexAfter(hardwareId, L"PID_");
    details.usb = !details.vendorId.empty();
    if (details.usb) {
      details.manufacturer = Utf16ToUtf8(Property(set, data, SPDRP_MFG));
      details.product = Utf16ToUtf8(Property(set, data, SPDRP_DEVICEDESC));
      // USB\VID_xxxx&PID_yyyy\SERIAL: Windows makes up an id with '&' in it
      // for an adapter that has no serial number.
      wchar_t instance[512] = {};
      if (SetupDiGetDeviceInstanceIdW(set, &data, instance, 511, nullptr)) {
        const std::wstring id = instance;
        const auto slash = id.find_last_of(L'\\');
        if (slash != std::wstring::npos && id.find(L'&', slash) == std::wstring::npos &&
            id.compare(0, 4, L"USB\\") == 0)
          details.serial = Utf16ToUtf8(id.substr(slash + 1));
      }
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return details;
}

UsbDetails UsbDetailsForPort(const std::string& name) { return UsbDetailsFor(name); }

}  // namespace platform
