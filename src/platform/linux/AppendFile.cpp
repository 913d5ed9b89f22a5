#include "platform/AppendFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

AppendFile::~AppendFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

bool AppendFile::Append(const std::string& record, std::string* error) {
  const int fd = static_cast<int>(handle_);
  ssize_t n;
  do {
    n = write(fd, record.data(), record.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(record.size())) {
    *error = n < 0 ? std::strerror(errno) : "the disk took only part of the line";
    return false;
  }
  int synced;
  do {
    synced = fsync(fd);
  } while (synced != 0 && errno == EINTR);
  if (synced != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

std::string MachineName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace platform
