#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <string>

#include "platform/Utf16.h"

namespace platform {

// Without SND_NODEFAULT a file that is missing or cannot be played gives the
// system's default sound; the result tells nothing worth showing. The name
// goes to the system as UTF-16, like every other text.
void SystemPlaySoundFile(const std::string& path) {
  const std::wstring wide = Utf8ToUtf16(path);
  PlaySoundW(wide.c_str(), nullptr, SND_FILENAME | SND_ASYNC);
}

}  // namespace platform
