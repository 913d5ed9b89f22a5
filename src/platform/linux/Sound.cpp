#include <cstdio>
#include <string>

namespace platform {

// Without a window there is no mixer to play through: the terminal bell is
// the nearest thing to the system's alert.
void SystemPlaySoundFile(const std::string&) {
  std::fputc('\a', stderr);
  std::fflush(stderr);
}

}  // namespace platform
