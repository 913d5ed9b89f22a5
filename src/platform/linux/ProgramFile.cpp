#include "platform/ProgramFile.h"

#include <filesystem>
#include <system_error>

namespace platform {

std::string ProgramDirectory() {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return file.parent_path().string();
}

std::string ProgramName() {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return file.stem().string();
}

}  // namespace platform
