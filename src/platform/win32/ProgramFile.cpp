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
      try {
        return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path().string();
      } catch (...) {
        return {};  // not expressible in the ANSI code page the sound call takes
      }
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
