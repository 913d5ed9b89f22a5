#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/DeviceNames.h"
#include "support/Wait.h"

PtyPair::PtyPair(PtyPair&& other) noexcept
    : master(std::exchange(other.master, -1)),
      slavePath(std::move(other.slavePath)),
      slave(std::exchange(other.slave, -1)) {}

PtyPair& PtyPair::operator=(PtyPair&& other) noexcept {
  if (this != &other) {
    Close();
    master = std::exchange(other.master, -1);
    slavePath = std::move(other.slavePath);
    slave = std::exchange(other.slave, -1);
  }
  return *this;
}

PtyPair::~PtyPair() { Close(); }

void PtyPair::CloseMaster() {
  if (master >= 0) close(master);
  master = -1;
}

void PtyPair::Close() {
  CloseMaster();
  if (slave >= 0) close(slave);
  slave = -1;
}

bool PtyPair::Write(const std::vector<std::uint8_t>& data) { return Write(data.data(), data.size()); }

bool PtyPair::Write(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = write(master, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd fd = {master, POLLOUT, 0};
      if (poll(&fd, 1, 5000) <= 0) return false;
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

std::vector<std::uint8_t> PtyPair::Read(std::size_t count, std::chrono::milliseconds deadline) {
  std::vector<std::uint8_t> data;
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (data.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd = {master, POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(fd.revents & POLLIN)) break;
    std::uint8_t chunk[4096];
    const std::size_t want = std::min(sizeof chunk, count - data.size());
    const ssize_t n = read(master, chunk, want);
    if (n > 0) data.insert(data.end(), chunk, chunk + n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return data;
}

bool PtyPair::WaitQueued(std::size_t count, std::chrono::milliseconds deadline) {
  // The kernel moves bytes from the master to the slave's queue on a work
  // queue of its own; nothing to wait on but the queue length itself.
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int queued = 0;
    if (ioctl(slave, FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) >= count)
      return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

PtyPair OpenPtyPair() {
  PtyPair pair;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) return pair;
  pair.master = master;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    pair.Close();
    return pair;
  }
  pair.slavePath = name;
  pair.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  termios tio {};
  if (pair.slave < 0 || tcgetattr(pair.slave, &tio) != 0) {
    pair.Close();
    return pair;
  }
  // No echo and no line editing before the port code sets the line up itself.
  cfmakeraw(&tio);
  if (tcsetattr(pair.slave, TCSANOW, &tio) != 0) pair.Close();
  return pair;
}

std::string MakeComLink(const std::string& name, const std::string& target) {
  const std::string dir = platform::DosDevicesDirectory();
  if (dir.empty()) return {};
  const std::string link = dir + "/" + name;
  (void)unlink(link.c_str());
  if (symlink(target.c_str(), link.c_str()) != 0) return {};
  return link;
}

bool RemoveComLink(const std::string& name) {
  const std::string dir = platform::DosDevicesDirectory();
  return !dir.empty() && unlink((dir + "/" + name).c_str()) == 0;
}

LineHolder::LineHolder(const std::string& device, bool shell, int keepFd) {
  if (shell) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, device.c_str(), O_RDWR, 0);
    const char* argv[] = {"/bin/sh", "-c", "exec 3>&1; while read -r line; do :; done", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    // The shell opens its terminal on its own time: wait until it holds it.
    const std::string fd0 = "/proc/" + std::to_string(pid_) + "/fd/0";
    struct stat want {};
    stat(device.c_str(), &want);
    if (pid_ > 0 && !WaitUntil([&] {
          struct stat st {};
          return stat(fd0.c_str(), &st) == 0 && st.st_rdev == want.st_rdev;
        }))
      Stop();
    return;
  }
  int ready[2];
  if (pipe(ready) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // Only this line open (and `keepFd`): not the test's own pseudo-terminal
    // master, which a forked child would otherwise share.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != ready[1] && fd != keepFd) close(fd);
    }
    const int line = open(device.c_str(), O_RDWR | O_NOCTTY);
    const char ok = line >= 0 ? 1 : 0;
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  if (pid_ < 0 || read(ready[0], &ok, 1) != 1 || ok != 1) Stop();
  close(ready[0]);
}

void LineHolder::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}
