#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The standard output or error descriptor whose file `st` is; -1 when neither.
int StandardStreamOf(const struct stat& st) {
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat out {};
    if (::fstat(fd, &out) == 0 && SameFile(out, st)) return fd;
  }
  return -1;
}

bool IsStandardOutput(const struct stat& st) { return StandardStreamOf(st) >= 0; }

std::string KindOf(mode_t mode) {
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

// What `path` leads to, looked at without opening it. `*exists` false: there
// is nothing yet; `*stream`: the standard stream that goes there, or -1.
std::string LookAt(const std::string& path, struct stat* target, bool* exists, int* stream) {
  *exists = false;
  *stream = -1;
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) {
    if (errno == ENOENT) return {};
    return std::strerror(errno);
  }
  *target = link;
  const bool isLink = S_ISLNK(link.st_mode);
  // Through a link that leads nowhere the file would be made wherever it points.
  if (isLink && ::stat(path.c_str(), target) != 0) return "a link that leads to no file";
  *exists = true;
  *stream = StandardStreamOf(*target);
  if (*stream >= 0 || S_ISREG(target->st_mode)) return {};
  return (isLink ? "a link to " : "") + KindOf(target->st_mode) + ", not a regular file";
}

constexpr const char* kSwapped = "it changed while it was being opened";

}  // namespace

std::string CheckOutputPath(const std::string& path) {
  struct stat target {};
  bool exists = false;
  int stream = -1;
  return LookAt(path, &target, &exists, &stream);
}

std::FILE* OpenOutputFile(const std::string& path, bool* shared, std::string* error) {
  struct stat target {};
  bool exists = false;
  int stream = -1;
  if (std::string why = LookAt(path, &target, &exists, &stream); !why.empty()) {
    *error = why;
    return nullptr;
  }
  *shared = stream >= 0;
  // Careful flags throughout: should a device be swapped in, O_NOCTTY keeps a
  // terminal from becoming ours and O_NONBLOCK a FIFO from holding us.
  constexpr int kFlags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
  if (*shared) {
    // The stream's own descriptor: nothing is opened, and what it writes and
    // what the trace writes go on one after the other.
    fd = ::fcntl(stream, F_DUPFD_CLOEXEC, 3);
  } else if (!exists) {
    fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EEXIST) {
      *error = kSwapped;
      return nullptr;
    }
  } else {
    struct stat link {};
    const int follow = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) ? 0 : O_NOFOLLOW;
    // O_PATH reaches no driver: the file is made sure of first, and then that
    // very file is opened through /proc, whatever the path names by then.
    const int at = ::open(path.c_str(), O_PATH | O_CLOEXEC | follow);
    struct stat held {};
    if (at >= 0 && (::fstat(at, &held) != 0 || !S_ISREG(held.st_mode) || !SameFile(held, target))) {
      ::close(at);
      *error = kSwapped;
      return nullptr;
    }
    if (at >= 0) {
      fd = ::open(("/proc/self/fd/" + std::to_string(at)).c_str(), kFlags);
      if (fd < 0 && errno == ENOENT) fd = ::open(path.c_str(), kFlags | follow);
      const int saved = errno;
      ::close(at);
      errno = saved;
    }
  }
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  struct stat opened {};
  if (!*shared && (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
                   (exists && !SameFile(opened, target)))) {
    ::close(fd);
    *error = kSwapped;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    ::close(fd);
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
