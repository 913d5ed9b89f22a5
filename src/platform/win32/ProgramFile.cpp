#include "platform/ProgramFile.h"

#include <windows.h>

#include <filesystem>
#include <vector>

namespace platform {

namespace {

// The program file's path; empty when the system does not tell.
std::filesystem::path ProgramFile() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), length));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// UTF-8, like every other text below the window: a folder with Cyrillic
// letters in its name is found as well.
std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::string ProgramDirectory() {
  const std::filesystem::path file = ProgramFile();
  return file.empty() ? std::string() : Utf8(file.parent_path());
}

std::string ProgramName() { return Utf8(ProgramFile().stem()); }

}  // namespace platform
