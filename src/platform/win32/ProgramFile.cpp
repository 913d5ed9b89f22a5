#include "platform/ProgramFile.h"

#include <windows.h>

#include <filesystem>
#include <vector>

namespace platform {

std::string ProgramDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      // UTF-8, like every other text below the window: a folder with
      // Cyrillic letters in its name is found as well.
      const std::u8string dir =
          std::filesystem::path(std::wstring(buffer.data(), length)).parent_path().u8string();
      return std::string(dir.begin(), dir.end());
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
