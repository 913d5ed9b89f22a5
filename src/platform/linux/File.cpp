#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

std::FILE* CreateOutputFile(const std::string& path) { return std::fopen(path.c_str(), "wbe"); }

bool TruncateOutputFile(std::FILE* file, std::int64_t size) {
  return std::fflush(file) == 0 && ::ftruncate(fileno(file), static_cast<off_t>(size)) == 0 &&
         ::fseeko(file, static_cast<off_t>(size), SEEK_SET) == 0;
}

bool IsRegularFile(std::FILE* file) {
  struct stat st {};
  return ::fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

InputFile::~InputFile() { Close(); }

InputFile::OpenResult InputFile::Open(const std::string& path) {
  Close();
  // O_NONBLOCK: a FIFO without a writer would otherwise hold open() for ever.
  // O_NOCTTY: a terminal device must not become this process's terminal.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenResult::CannotOpen;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return OpenResult::CannotOpen;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return OpenResult::NotRegularFile;
  }
  handle_ = fd;
  size_ = static_cast<std::int64_t>(st.st_size);
  return OpenResult::Ok;
}

bool InputFile::IsOpen() const { return handle_ >= 0; }

bool InputFile::ReadFromStart(std::uint8_t* data, std::size_t length) {
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, data + done, length - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void InputFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  size_ = -1;
}

}  // namespace platform
