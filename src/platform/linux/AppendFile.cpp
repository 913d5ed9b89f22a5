#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace platform {

namespace {

// Held from the look at the file's end to the write: two programs that both
// saw a cut line would each close it, leaving an empty line between records.
// Bounded, so a stranger holding the file locked cannot stop a record.
class EndLock {
 public:
  explicit EndLock(int fd) : fd_(fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    held_ = true;
  }
  ~EndLock() {
    if (held_) (void)flock(fd_, LOCK_UN);
  }
  EndLock(const EndLock&) = delete;
  EndLock& operator=(const EndLock&) = delete;

 private:
  int fd_;
  bool held_ = false;
};

}  // namespace

AppendFile::~AppendFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  // Read access only to see how the file ends (Append); O_APPEND keeps every write at the end.
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    // A file that cannot be made in a folder closed to the user: its reason is the folder's.
    if (fd < 0 && errno == ENOENT) errno = EACCES;
  }
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

bool AppendFile::Append(const std::string& record, std::string* error) {
  const int fd = static_cast<int>(handle_);
  // A line cut short (a full disk, a crash mid-write, here or in another
  // program) is closed first, so this one is not glued to it and lost too.
  std::optional<EndLock> lock(std::in_place, fd);
  std::string whole;
  const std::string* out = &record;
  struct stat st {};
  char last = '\n';
  if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
      last != '\n') {
    whole = "\n" + record;
    out = &whole;
  }
  ssize_t n;
  do {
    n = write(fd, out->data(), out->size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(out->size())) {
    *error = n < 0 ? std::strerror(errno) : "the disk took only part of the line";
    return false;
  }
  lock.reset();
  // Only a file on a disk can be flushed; a pipe or a device has its record already.
  struct stat st2 {};
  if (fstat(fd, &st2) == 0 && !S_ISREG(st2.st_mode)) return true;
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
