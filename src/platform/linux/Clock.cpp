#include "platform/Clock.h"

#include <ctime>

namespace platform {

std::uint32_t LocalTimeSeconds() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<std::uint32_t>(now + local.tm_gmtoff);
}

}  // namespace platform
