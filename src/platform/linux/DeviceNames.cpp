// Device names on Linux: COM<n> symbolic links in a per-user DOS-device
// directory (as Wine keeps them), plus the machine's real serial ports under
// fixed COM numbers, so a plugged-in controller is found with no set-up.
#include "platform/DeviceNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

namespace platform {

namespace {

// Makes `path` when missing (owner-only) and accepts it only when it is a real
// directory of ours that nobody else can write to: anyone who could plant a
// COM link there could make us open a device of their choosing.
bool EnsurePrivateDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = path + ": cannot create the directory: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error) *error = path + " is not a directory";
    return false;
  }
  if (st.st_uid != geteuid()) {
    if (error) *error = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    if (error) *error = path + " can be written by other users";
    return false;
  }
  return true;
}

}  // namespace

std::string DosDevicesDirectory(std::string* error) {
  std::string base;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
    base = std::string(runtime) + "/tavrin";
  } else {
    base = "/tmp/tavrin-" + std::to_string(geteuid());
  }
  if (!EnsurePrivateDirectory(base, error)) return {};
  std::string dir = base + "/dosdevices";
  if (!EnsurePrivateDirectory(dir, error)) return {};
  return dir;
}

bool GetSystemPlatformId(std::uint32_t, std::uint32_t& platformId) {
  platformId = kPlatformWin32Nt;
  return true;
}
std::uint32_t QueryDosDeviceNames(char*, std::uint32_t) { return 0; }
void SetDeviceNameSourceForTest(DeviceNameSource) {}

}  // namespace platform
