// Serial ports on termios. A port that another process has open, or that a
// terminal program has locked, is refused before it is opened; an open port is
// held exclusively (flock, TIOCEXCL and a lock file) and gets back on close the
// line settings it had, with DTR and RTS kept low. Waits sleep in poll() on
// the port and on an eventfd that closing signals, and closing never frees the
// descriptor number while another thread may still be using it: the number is
// pointed at /dev/null until the last owner drops the port.
#include "platform/Serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DeviceNames.h"
#include "platform/linux/PortUse.h"
#include "platform/linux/SystemRoot.h"

namespace platform {

namespace {

std::atomic<SerialFault> g_fault{SerialFault::None};

bool Faulted(SerialFault step) {
  if (g_fault.load(std::memory_order_relaxed) != step) return false;
  errno = EIO;
  return true;
}

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudCode(std::uint32_t rate, speed_t& code) {
  for (const auto& entry : kBauds) {
    if (entry.rate == rate) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudRate(speed_t code) {
  for (const auto& entry : kBauds) {
    if (entry.code == code) return entry.rate;
  }
  return 0;
}

// Win32 DTR_CONTROL_* and RTS_CONTROL_* values used below.
constexpr std::uint8_t kLineDisable = 0;
constexpr std::uint8_t kRtsHandshake = 2;

std::mutex g_seamMutex;
ModemLinesForTest g_modemLines;  // set by tests only
std::function<void()> g_beforeOpen;  // set by tests only

int ModemIoctl(int fd, unsigned long request, int* lines) {
  ModemLinesForTest fake;
  {
    std::lock_guard lock(g_seamMutex);
    fake = g_modemLines;
  }
  return fake ? fake(request, lines) : ioctl(fd, request, lines);
}

// Modem lines: a pty has none, so failures are not failures of the port.
void SetModemLine(int fd, int line, bool raised) {
  (void)ModemIoctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line);
}

// ---- Who else has the device --------------------------------------------------

constexpr unsigned kPtySlaveMajorFirst = 136;  // UNIX98_PTY_SLAVE_MAJOR
constexpr unsigned kPtySlaveMajorLast = 143;
const dev_t kPtmxDevice = makedev(5, 2);

bool IsPtySlave(dev_t device) {
  return major(device) >= kPtySlaveMajorFirst && major(device) <= kPtySlaveMajorLast;
}

unsigned PtyIndex(dev_t device) { return (major(device) - kPtySlaveMajorFirst) * 256 + minor(device); }

bool ParseUnsigned(const char* text, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && end != text;
}

// The pseudo-terminal whose master the descriptor `fd` of process `pid` is.
bool MasterIndex(const std::string& pid, const char* fd, unsigned& index) {
  const std::string path = SystemPath("/proc/") + pid + "/fdinfo/" + fd;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char text[512];
  const ssize_t n = read(file, text, sizeof text - 1);
  close(file);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* field = std::strstr(text, "tty-index:");
  unsigned long value = 0;
  if (field == nullptr || !ParseUnsigned(field + 10, value)) return false;
  index = static_cast<unsigned>(value);
  return true;
}

// Whether process `pid` has `device` open, counting it out when it also holds
// the master of that same pseudo-terminal: then it is the line's other end (a
// virtual controller or a simulator), not a program using the line.
bool ProcessHolds(const std::string& pid, const struct stat& line) {
  const dev_t device = line.st_rdev;
  // Each devpts instance (a container's, say) numbers its terminals from 0.
  const bool pty = IsPtySlave(device);
  const std::string dirPath = SystemPath("/proc/") + pid + "/fd";
  const int dirFd = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;  // gone, or another user's
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return false;
  }
  bool holds = false;
  std::vector<std::string> masters;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // Only device nodes are looked at more closely: a stat of an open file on
    // a network file system that has gone away could block.
    char target[16];
    const ssize_t n = readlinkat(dirFd, entry->d_name, target, sizeof target);
    if (n < 5 || std::memcmp(target, "/dev/", 5) != 0) continue;
    struct stat st {};
    if (fstatat(dirFd, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
    if (st.st_rdev == device && (!pty || st.st_dev == line.st_dev)) holds = true;
    else if (st.st_rdev == kPtmxDevice) masters.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (!holds || !pty) return holds;
  for (const auto& fd : masters) {
    unsigned index = 0;
    if (MasterIndex(pid, fd.c_str(), index) && index == PtyIndex(device)) return false;
  }
  return true;
}

// Every process whose descriptors can be read; this process does not count.
// The first one found, or all of them.
std::vector<std::string> ProcessesHolding(const struct stat& line, bool all) {
  std::vector<std::string> holders;
  DIR* proc = opendir(SystemPath("/proc").c_str());
  if (proc == nullptr) return holders;
  const std::string self = std::to_string(getpid());
  while (all || holders.empty()) {
    const dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name) continue;
    if (ProcessHolds(entry->d_name, line)) holders.emplace_back(entry->d_name);
  }
  closedir(proc);
  return holders;
}

bool HeldByAnotherProcess(const struct stat& line) {
  return !ProcessesHolding(line, false).empty();
}

// ---- Lock files of terminal programs --------------------------------------------

constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

std::vector<std::string> LockDirectories() {
  std::vector<std::string> dirs;
  for (const char* dir : kLockFolders) dirs.push_back(SystemPath(dir));
  return dirs;
}

// The names under which terminal programs lock `device` (a path below /dev):
// its last component, and the whole path below /dev with '/' as '_'.
std::vector<std::string> LockNames(const std::string& device) {
  std::vector<std::string> names;
  const std::string dev = SystemPath("/dev/");
  std::string below = device.rfind(dev, 0) == 0 ? device.substr(dev.size()) : device;
  const auto slash = device.find_last_of('/');
  names.push_back("LCK.." + device.substr(slash == std::string::npos ? 0 : slash + 1));
  for (char& c : below) {
    if (c == '/') c = '_';
  }
  if ("LCK.." + below != names.front()) names.push_back("LCK.." + below);
  return names;
}

// A lock file that another program has made but not yet written is empty for
// a moment; one that stays empty for longer than this was left so by a crash.
constexpr auto kUnwrittenLockAge = std::chrono::seconds(5);
constexpr pid_t kLockBeingWritten = -1;
// A lock file this user may not read (another user's, mode 0600): whether its
// owner lives cannot be told, so it counts as held.
constexpr pid_t kLockUnreadable = -2;

// The pid in a lock file: ten ASCII digits and a newline, or an old binary int;
// kLockBeingWritten for a young empty file.
pid_t LockOwner(const std::string& path) {
  const int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (file < 0) return errno == EACCES ? kLockUnreadable : 0;
  char text[64];
  const ssize_t n = read(file, text, sizeof text - 1);
  struct stat st {};
  const bool statted = fstat(file, &st) == 0;
  close(file);
  if (n == 0 && statted) {
    const auto made = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    const auto age = std::chrono::system_clock::now() - made;
    if (age < kUnwrittenLockAge && age > -kUnwrittenLockAge) return kLockBeingWritten;
  }
  // Four bytes of digits and blanks are a short ASCII pid ("4242"), not an int.
  const bool ascii = n > 0 && std::all_of(text, text + n, [](char c) {
    return (c >= '0' && c <= '9') || c == ' ' || c == '\n';
  });
  if (n == static_cast<ssize_t>(sizeof(int)) && !ascii) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    // Four bytes of garbage name no process: never one of the markers below
    // zero, which would hold the port for good, nor a pid above the kernel's limit.
    constexpr int kPidLimit = 4 * 1024 * 1024;
    return binary > 0 && binary <= kPidLimit ? binary : 0;
  }
  if (n <= 0) return 0;
  text[n] = '\0';
  unsigned long value = 0;
  if (!ParseUnsigned(text, value) || value > static_cast<unsigned long>(INT_MAX)) return 0;
  return static_cast<pid_t>(value);
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// A lock of another live process, or one still being written; a lock of a
// process that has ended, or of this one, is stale.
bool LockedByAnother(const std::string& path) {
  const pid_t owner = LockOwner(path);
  return owner == kLockBeingWritten || owner == kLockUnreadable ||
         (owner != getpid() && ProcessAlive(owner));
}

bool LockedByAnother(const std::vector<std::string>& names) {
  for (const std::string& dir : LockDirectories()) {
    for (const auto& name : names) {
      if (LockedByAnother(dir + "/" + name)) return true;
    }
  }
  return false;
}

// Creates this process's lock file where a directory allows it. Returns its
// path (empty when no directory took one); false when another live process
// has locked the device meanwhile.
bool CreateLock(const std::string& name, std::string& lockPath) {
  lockPath.clear();
  std::string lastDir;
  for (const std::string& dir : LockDirectories()) {
    char real[PATH_MAX];
    if (realpath(dir.c_str(), real) == nullptr || lastDir == real) continue;
    lastDir = real;
    const std::string path = std::string(real) + "/" + name;
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (file >= 0) {
        // Readable by every terminal program, whatever our umask.
        (void)fchmod(file, 0644);
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
        const bool written = write(file, text, static_cast<std::size_t>(n)) == n;
        close(file);
        if (!written) {
          unlink(path.c_str());
          break;
        }
        lockPath = path;
        return true;
      }
      if (errno != EEXIST) break;  // a directory this user may not write
      if (LockedByAnother(path)) return false;
      unlink(path.c_str());  // stale
    }
  }
  return true;
}

void RemoveLock(const std::string& lockPath) {
  if (!lockPath.empty() && LockOwner(lockPath) == getpid()) unlink(lockPath.c_str());
}

// What the line was set to before this program touched it.
struct SavedLine {
  termios settings {};
  bool haveSettings = false;
};

// Bytes still in the driver go out at the speed they were written for, so the
// old settings come back only when the output queue is empty, or after a short
// while (a line held back by flow control never empties).
void RestoreLine(int fd, const SavedLine& saved) {
  if (saved.haveSettings) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (void)tcsetattr(fd, TCSANOW, &saved.settings);
  }
  // DTR and RTS stay low, as the settings made them: putting back what the
  // open had raised would pulse them, and a pulse resets a controller with an
  // auto-reset circuit. Drivers raise them on a change of settings only when
  // leaving baud 0; should one do so, they are lowered again at once.
  SetModemLine(fd, TIOCM_DTR, false);
  SetModemLine(fd, TIOCM_RTS, false);
}

}  // namespace

class SerialPort {
 public:
  SerialPort(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
  explicit SerialPort(std::unique_ptr<SerialBackend> backend)
      : fd_(-1), wakeFd_(-1), backend_(std::move(backend)) {}
  ~SerialPort() {
    if (backend_) {
      backend_->Close();
      return;
    }
    // A port dropped without SerialClose still leaves the line as it found it.
    if (!closed_) {
      RestoreLine(fd_, saved_);
      // The flag and the lock outlive this descriptor while any other is
      // open on the line (a forked copy's), and would keep every other user out.
      (void)ioctl(fd_, TIOCNXCL);
      (void)flock(fd_, LOCK_UN);
      RemoveLock(lockPath_);
    }
    close(fd_);
    close(wakeFd_);
  }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Always a valid descriptor: the device until Close, /dev/null after it.
  const int fd_;
  const int wakeFd_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};  // a read found the device gone
  std::mutex mutex_;  // Close, and the settings kept below
  // Win32 fields that termios has no notion of, kept as last written.
  SerialSettings kept_;
  SavedLine saved_;      // put back on close
  std::string lockPath_;  // our lock file, or empty
  const std::unique_ptr<SerialBackend> backend_;  // a port elsewhere, or none
};

SerialBackend* SerialBackendOf(SerialPort& port) { return port.backend_.get(); }

SerialHandle SerialOpenBackend(std::unique_ptr<SerialBackend> backend) {
  if (!backend) return nullptr;
  return std::make_shared<SerialPort>(std::move(backend));
}

void SetSerialFaultForTest(SerialFault fault) { g_fault.store(fault); }

void SetModemLinesForTest(ModemLinesForTest lines) {
  std::lock_guard lock(g_seamMutex);
  g_modemLines = std::move(lines);
}

void SetBeforeOpenForTest(std::function<void()> hook) {
  std::lock_guard lock(g_seamMutex);
  g_beforeOpen = std::move(hook);
}

bool DeviceInUseElsewhere(const std::string& device) {
  char real[PATH_MAX];
  struct stat st {};
  if (realpath(device.c_str(), real) == nullptr || stat(real, &st) != 0 || !S_ISCHR(st.st_mode))
    return false;
  return LockedByAnother(LockNames(real)) || HeldByAnotherProcess(st);
}

PortUse DescribePortUse(const std::string& device) {
  PortUse use;
  char real[PATH_MAX];
  struct stat st {};
  if (realpath(device.c_str(), real) == nullptr) return use;
  use.device = real;
  // Lock files name a device by its path alone; holders need the device itself.
  const bool node = stat(real, &st) == 0 && S_ISCHR(st.st_mode);
  for (const std::string& pid : node ? ProcessesHolding(st, true) : std::vector<std::string>{}) {
    PortHolder holder;
    holder.pid = std::atoi(pid.c_str());
    std::ifstream comm(SystemPath("/proc/") + pid + "/comm");
    std::getline(comm, holder.name);
    use.holders.push_back(holder);
  }
  std::vector<std::string> seen;
  for (const std::string& dir : LockDirectories()) {
    char realDir[PATH_MAX];
    if (realpath(dir.c_str(), realDir) == nullptr ||
        std::find(seen.begin(), seen.end(), realDir) != seen.end())
      continue;
    seen.emplace_back(realDir);
    for (const auto& name : LockNames(real)) {
      const std::string path = std::string(realDir) + "/" + name;
      struct stat lockStat {};
      if (lstat(path.c_str(), &lockStat) != 0) continue;
      PortLockFile lock;
      lock.path = path;
      const pid_t owner = LockOwner(path);
      lock.beingWritten = owner == kLockBeingWritten;
      lock.unreadable = owner == kLockUnreadable;
      lock.pid = owner > 0 ? static_cast<int>(owner) : 0;
      lock.live = LockedByAnother(path);
      use.locks.push_back(lock);
    }
  }
  return use;
}

namespace {

thread_local SerialOpenFailure t_openFailure;

SerialHandle OpenFailed(SerialOpenFailure::Kind kind, int error = 0) {
  t_openFailure = {kind, error};
  return nullptr;
}

SerialHandle SystemRefused(int error) { return OpenFailed(SerialOpenFailure::Kind::System, error); }

}  // namespace

SerialOpenFailure LastSerialOpenFailure() { return t_openFailure; }

SerialHandle SerialOpen(const std::string& path) {
  t_openFailure = {};
  if (Faulted(SerialFault::Open)) return SystemRefused(EIO);
  const std::string file = DeviceFileForName(path);
  if (file.empty()) return SystemRefused(ENOENT);
  char real[PATH_MAX];
  struct stat before {};
  if (realpath(file.c_str(), real) == nullptr || stat(real, &before) != 0) return SystemRefused(errno);
  if (!S_ISCHR(before.st_mode)) return SystemRefused(ENODEV);
  // Before opening: on real hardware the open alone can raise the modem lines
  // of a line that another program is using.
  const std::vector<std::string> lockNames = LockNames(real);
  if (LockedByAnother(lockNames) || HeldByAnotherProcess(before))
    return OpenFailed(SerialOpenFailure::Kind::InUse);
  {
    std::function<void()> hook;
    {
      std::lock_guard lock(g_seamMutex);
      hook = g_beforeOpen;
    }
    if (hook) hook();
  }
  const int fd = open(real, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return SystemRefused(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != before.st_rdev) {
    close(fd);
    return OpenFailed(SerialOpenFailure::Kind::TakenMeanwhile);
  }
  // TIOCEXCL alone does not keep out another program that opens the device in
  // the same moment, nor root; the lock does.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    close(fd);
    return SystemRefused(error == EWOULDBLOCK ? EBUSY : error);
  }
  std::string lockPath;
  // A second look, now that no one can open it after us: someone may have
  // opened or locked it between the first look and the open.
  if (!CreateLock(lockNames.back(), lockPath) || HeldByAnotherProcess(st)) {
    RemoveLock(lockPath);
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    return OpenFailed(SerialOpenFailure::Kind::TakenMeanwhile);
  }
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    const int error = errno;
    RemoveLock(lockPath);
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    return SystemRefused(error);
  }
  auto port = std::make_shared<SerialPort>(fd, wakeFd);
  port->lockPath_ = lockPath;
  port->saved_.haveSettings = tcgetattr(fd, &port->saved_.settings) == 0;
  int lines = 0;
  if (ModemIoctl(fd, TIOCMGET, &lines) == 0) {
    port->kept_.dtrControl = (lines & TIOCM_DTR) ? 1 : 0;
    port->kept_.rtsControl = (lines & TIOCM_RTS) ? 1 : 0;
  }
  return port;
}

bool SerialGetState(SerialPort& port, SerialSettings& settings) {
  if (Faulted(SerialFault::GetState)) return false;
  if (port.backend_) return port.backend_->GetState(settings);
  if (port.closed_) return false;
  termios tio {};
  if (tcgetattr(port.fd_, &tio) != 0) return false;
  {
    std::lock_guard lock(port.mutex_);
    settings = port.kept_;
  }
  settings.baudRate = BaudRate(cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
  }
  if (!(tio.c_cflag & PARENB)) {
    settings.parity = 0;
  } else if (tio.c_cflag & CMSPAR) {
    settings.parity = (tio.c_cflag & PARODD) ? 3 : 4;  // MARK, SPACE
  } else {
    settings.parity = (tio.c_cflag & PARODD) ? 1 : 2;  // ODD, EVEN
  }
  settings.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
  settings.binary = true;
  settings.parityCheck = (tio.c_iflag & INPCK) != 0;
  settings.outxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
  if (settings.outxCtsFlow) settings.rtsControl = kRtsHandshake;
  else if (settings.rtsControl == kRtsHandshake) settings.rtsControl = 1;
  settings.outxDsrFlow = false;
  settings.dsrSensitivity = false;
  settings.outX = (tio.c_iflag & IXON) != 0;
  settings.inX = (tio.c_iflag & IXOFF) != 0;
  settings.xonChar = static_cast<char>(tio.c_cc[VSTART]);
  settings.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return true;
}

bool SerialSetState(SerialPort& port, const SerialSettings& settings) {
  if (Faulted(SerialFault::SetState)) return false;
  if (port.backend_) return port.backend_->SetState(settings);
  if (port.closed_) return false;
  termios tio {};
  if (tcgetattr(port.fd_, &tio) != 0) return false;
  speed_t speed {};
  // What termios cannot do is refused rather than quietly done otherwise.
  if (!BaudCode(settings.baudRate, speed) || settings.byteSize < 5 || settings.byteSize > 8 ||
      settings.parity > 4 || settings.stopBits > 2 || settings.outxDsrFlow ||
      settings.dsrSensitivity) {
    errno = EINVAL;
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[settings.byteSize - 5];
  switch (settings.parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (settings.stopBits != 0) tio.c_cflag |= CSTOPB;
  if (settings.outxCtsFlow || settings.rtsControl == kRtsHandshake) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  if (settings.parityCheck) tio.c_iflag |= INPCK;
  if (settings.outX) tio.c_iflag |= IXON;
  if (settings.inX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(settings.xonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(settings.xoffChar);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  if (tcsetattr(port.fd_, TCSANOW, &tio) != 0) return false;
  // tcsetattr succeeds when any part of the change took; check the parts that matter.
  termios now {};
  if (tcgetattr(port.fd_, &now) != 0 || cfgetospeed(&now) != speed ||
      (now.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS)) !=
          (tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS))) {
    errno = EINVAL;
    return false;
  }
  SetModemLine(port.fd_, TIOCM_DTR, settings.dtrControl != kLineDisable);
  if (settings.rtsControl != kRtsHandshake)
    SetModemLine(port.fd_, TIOCM_RTS, settings.rtsControl != kLineDisable);
  std::lock_guard lock(port.mutex_);
  port.kept_ = settings;
  return true;
}

// Reads never wait inside read() (the port is non-blocking and the reader asks
// only for what is queued) and writes wait in poll() until done or closed, so
// there is nothing left to set.
bool SerialSetZeroTimeouts(SerialPort& port) {
  if (Faulted(SerialFault::SetTimeouts)) return false;
  if (port.backend_) return !port.backend_->IsClosed();
  if (port.closed_) return false;
  termios tio {};
  return tcgetattr(port.fd_, &tio) == 0;
}

// The kernel's queues have fixed sizes.
bool SerialSetupQueues(SerialPort& port, std::uint32_t, std::uint32_t) {
  return port.backend_ ? !port.backend_->IsClosed() : !port.closed_;
}

bool SerialPurge(SerialPort& port, std::uint32_t flags) {
  if (port.backend_) return port.backend_->Purge(flags);
  if (port.closed_) return false;
  const bool tx = (flags & kPurgeTxClear) != 0;
  const bool rx = (flags & kPurgeRxClear) != 0;
  if (!tx && !rx) return true;
  return tcflush(port.fd_, tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) == 0;
}

bool SerialSetRxCharMask(SerialPort& port) {
  return port.backend_ ? !port.backend_->IsClosed() : !port.closed_;
}

WaitResult SerialWaitEvent(SerialPort& port) {
  if (port.backend_) return port.backend_->WaitEvent();
  if (port.closed_) return WaitResult::Closed;
  if (port.gone_) return WaitResult::Gone;
  pollfd fds[2] = {{port.fd_, POLLIN, 0}, {port.wakeFd_, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0) {
    if (errno != EINTR) return WaitResult::Other;
  }
  if (port.closed_ || (fds[1].revents & POLLIN)) return WaitResult::Closed;
  // A hung-up line (unplugged, or the other end of a pty closed) reports
  // itself readable too, on every poll, with nothing to read: only bytes
  // really queued make it a received character.
  int queued = 0;
  const bool gone = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                    (ioctl(port.fd_, FIONREAD, &queued) != 0 || queued <= 0);
  if (gone) return WaitResult::Gone;
  return (fds[0].revents & POLLIN) ? WaitResult::RxChar : WaitResult::Other;
}

bool SerialClearErrors(SerialPort& port, std::uint32_t& errors, std::uint32_t& inQueue) {
  if (port.backend_) return port.backend_->ClearErrors(errors, inQueue);
  errors = 0;
  inQueue = 0;
  if (port.closed_) return false;
  int queued = 0;
  if (ioctl(port.fd_, FIONREAD, &queued) != 0) return false;
  inQueue = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
  return true;
}

bool SerialRead(SerialPort& port, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) {
  if (port.backend_) return port.backend_->Read(buffer, count, read);
  read = 0;
  if (port.closed_) return false;
  for (;;) {
    const ssize_t n = ::read(port.fd_, buffer, count);
    if (n >= 0) {
      read = static_cast<std::uint32_t>(n);
      return !port.closed_;
    }
    if (errno == EINTR) continue;
    if (errno == EIO || errno == ENXIO || errno == ENODEV) port.gone_ = true;
    return errno == EAGAIN;
  }
}

bool SerialWrite(SerialPort& port, const std::uint8_t* data, std::uint32_t count,
                 std::uint32_t& written) {
  if (port.backend_) return port.backend_->Write(data, count, written);
  written = 0;
  while (written < count) {
    if (port.closed_) return false;
    const ssize_t n = ::write(port.fd_, data + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd fds[2] = {{port.fd_, POLLOUT, 0}, {port.wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents & POLLIN) return false;
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLOUT))
      return false;
  }
  return !port.closed_;
}

void SerialClose(SerialPort& port) {
  if (port.backend_) {
    port.backend_->Close();
    return;
  }
  std::lock_guard lock(port.mutex_);
  if (port.closed_.exchange(true)) return;
  RestoreLine(port.fd_, port.saved_);
  // Give the device up now, even while another thread's poll() still holds
  // the open file: the same device must open again at once.
  (void)ioctl(port.fd_, TIOCNXCL);
  (void)flock(port.fd_, LOCK_UN);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    (void)dup3(null, port.fd_, O_CLOEXEC);
    close(null);
  }
  RemoveLock(port.lockPath_);
  const std::uint64_t one = 1;
  (void)!write(port.wakeFd_, &one, sizeof one);
}

bool SerialIsClosed(const SerialPort& port) {
  return port.backend_ ? port.backend_->IsClosed() : port.closed_.load();
}

}  // namespace platform
