#include "platform/Clock.h"

#include <windows.h>

#include <ctime>

namespace platform {

// Seconds since 1970 on the local clock, as on the other systems.
std::uint32_t LocalTimeSeconds() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  FILETIME file{};
  if (!SystemTimeToFileTime(&local, &file)) return static_cast<std::uint32_t>(std::time(nullptr));
  ULARGE_INTEGER ticks{};  // 100 ns since 1601
  ticks.LowPart = file.dwLowDateTime;
  ticks.HighPart = file.dwHighDateTime;
  constexpr unsigned long long kEpochDifference = 11644473600ULL;  // 1601 to 1970, in seconds
  return static_cast<std::uint32_t>(ticks.QuadPart / 10000000ULL - kEpochDifference);
}

}  // namespace platform
