#include <windows.h>
#include <mmsystem.h>

#include <string>

namespace platform {

// Without SND_NODEFAULT a file that is missing or cannot be played gives the
// system's default sound; the result tells nothing worth showing.
void SystemPlaySoundFile(const std::string& path) {
  PlaySoundA(path.c_str(), nullptr, SND_FILENAME | SND_ASYNC);
}

}  // namespace platform
