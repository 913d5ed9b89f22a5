#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// The program's own standard output or error, when `st` is the file it goes to.
bool IsStandardOutput(const struct stat& st) {
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat out {};
    if (::fstat(fd, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino) return true;
  }
  return false;
}

}  // namespace

std::FILE* CreateOutputFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && IsStandardOutput(st)) {
    // /dev/stdout, or the file it is redirected to (perhaps `>>` a log):
    // written after what is there, never emptied.
    ok = ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND) == 0;
  } else if (ok && S_ISREG(st.st_mode)) {
    ok = ::ftruncate(fd, 0) == 0;
  }
  std::FILE* file = ok ? ::fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

bool TruncateOutputFile(std::FILE* file, std::int64_t size) {
  return std::fflush(file) == 0 && ::ftruncate(fileno(file), static_cast<off_t>(size)) == 0 &&
         ::fseeko(file, static_cast<off_t>(size), SEEK_SET) == 0;
}

bool IsFileOfItsOwn(std::FILE* file) {
  struct stat st {};
  return ::fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && !IsStandardOutput(st);
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
