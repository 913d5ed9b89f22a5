// The system's version and device-name listing, as the port enumeration
// expects them from QueryDosDeviceA and GetVersionExA.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

inline constexpr std::uint32_t kPlatformWin32Nt = 2;  // VER_PLATFORM_WIN32_NT

// GetVersionExA with an OSVERSIONINFOA of size `structSize`; false on failure.
bool GetSystemPlatformId(std::uint32_t structSize, std::uint32_t& platformId);

// QueryDosDeviceA(nullptr, buffer, maxChars): every device name, each ended by
// a zero, the list ended by one more zero. Returns the characters stored, or 0
// on failure (also when the list does not fit).
std::uint32_t QueryDosDeviceNames(char* buffer, std::uint32_t maxChars);

// Tests replace the listing; an empty function restores the system's.
using DeviceNameSource = std::function<std::uint32_t(char* buffer, std::uint32_t maxChars)>;
void SetDeviceNameSourceForTest(DeviceNameSource source);

// Linux: the directory whose COM<n> symbolic links name serial ports, as
// Wine's dosdevices does. Created owner-only when missing; an empty result
// (with the reason in *error) when it is unsafe. Windows: empty.
std::string DosDevicesDirectory(std::string* error = nullptr);

// The user's file that gives COM names to ports on other machines
// ("COM40 = rfc2217://bench3:3333"). Linux: beside the DOS-device directory;
// Windows: "Tavrin Programmer\network-ports.txt" in the user's application
// data. Empty when there is nowhere safe to look.
std::string NetworkPortMapPath();

// Linux: the file that opening the device `name` ("COM7" or "\\.\COM7")
// opens: the COM link of that name in the DOS-device directory, else the
// machine's serial port that the fixed numbering gives; empty when the name is
// no COM name. Windows: the name itself.
std::string DeviceFileForName(const std::string& name);

}  // namespace platform
