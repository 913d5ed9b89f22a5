#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <string>

namespace platform {

// Without SND_NODEFAULT a file that is missing or cannot be played gives the
// system's default sound; the result tells nothing worth showing. The name
// goes to the system as UTF-16, like every other text.
void SystemPlaySoundFile(const std::string& path) {
  std::wstring wide;
  const int size = static_cast<int>(path.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), size, nullptr, 0);
  if (n > 0) {
    wide.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, path.data(), size, wide.data(), n);
  }
  PlaySoundW(wide.c_str(), nullptr, SND_FILENAME | SND_ASYNC);
}

}  // namespace platform
