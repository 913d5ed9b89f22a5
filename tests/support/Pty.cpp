#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/DeviceNames.h"

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
