// Device names on Linux: COM<n> symbolic links in a per-user DOS-device
// directory (as Wine keeps them), plus the machine's real serial ports under
// fixed COM numbers, so a plugged-in controller is found with no set-up.
#include "platform/DeviceNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/PortUse.h"
#include "platform/linux/SystemRoot.h"

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

std::string NetworkPortMapPath() {
  const std::string dir = DosDevicesDirectory();
  if (dir.empty()) return {};
  return dir.substr(0, dir.rfind('/')) + "/network-ports";
}

namespace {

// The machine's own serial ports get COM numbers by driver family, far above
// the numbers people give their links: /dev/ttyUSB<n> is COM<100+n>, and so on.
struct SystemPortFamily {
  const char* prefix;
  unsigned firstCom;
};
constexpr SystemPortFamily kSystemPortFamilies[] = {
    {"ttyUSB", 100},
    {"ttyACM", 200},
    {"ttyS", 300},
    {"ttyAMA", 400},
};
constexpr unsigned kPortsPerFamily = 100;

// A decimal number without sign or leading zero ("0" itself allowed when
// `allowZero`); nullopt otherwise.
std::optional<unsigned> ParseNumber(const std::string& text, bool allowZero) {
  if (allowZero && text == "0") return 0u;
  if (text.empty() || text.size() > 9 || text[0] == '0') return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

// "COM7" -> 7; "com7", "COM07", "COM0", "COM" or "COM7a" -> nullopt.
std::optional<unsigned> ComNumber(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return std::nullopt;
  return ParseNumber(name.substr(3), false);
}

std::optional<unsigned> SystemComNumber(const std::string& ttyName) {
  for (const auto& family : kSystemPortFamilies) {
    const std::size_t len = std::strlen(family.prefix);
    if (ttyName.compare(0, len, family.prefix) != 0) continue;
    const auto n = ParseNumber(ttyName.substr(len), true);
    if (!n || *n >= kPortsPerFamily) return std::nullopt;
    return family.firstCom + *n;
  }
  return std::nullopt;
}

// Where the listing looks: below the system root, unless tests point it at
// a tree of their own.
struct SystemRoots {
  std::string sysClassTty;
  std::string dev;
};
std::mutex g_rootsMutex;
SystemRoots g_roots;

SystemRoots Roots() {
  SystemRoots roots;
  {
    std::lock_guard lock(g_rootsMutex);
    roots = g_roots;
  }
  if (roots.sysClassTty.empty()) roots.sysClassTty = SystemPath("/sys/class/tty");
  if (roots.dev.empty()) roots.dev = SystemPath("/dev");
  return roots;
}

std::string SystemDeviceForCom(unsigned com) {
  for (const auto& family : kSystemPortFamilies) {
    if (com >= family.firstCom && com < family.firstCom + kPortsPerFamily)
      return Roots().dev + "/" + family.prefix + std::to_string(com - family.firstCom);
  }
  return {};
}

// Serial-core ports (the 8250 family and the like) have device nodes whether
// or not the hardware is there; the port type tells. The sysfs attribute is
// TIOCGSERIAL's answer without opening the port, which would raise DTR and
// RTS on whatever is attached; the ioctl is the fallback.
bool HasPortType(const SystemRoots& roots, const std::string& ttyName) {
  struct stat st {};
  return stat((roots.sysClassTty + "/" + ttyName + "/type").c_str(), &st) == 0 ||
         ttyName.compare(0, 4, "ttyS") == 0;
}

// What the ioctl told of a device node. The type does not change while the
// node stays the same; a node made anew (another inode, change time or
// device number) is asked again.
struct LearnedType {
  dev_t device;
  ino_t inode;
  timespec changed;
  bool known;
};
std::mutex g_learnedMutex;
std::map<std::string, LearnedType> g_learned;

bool SameNode(const LearnedType& learned, const struct stat& st) {
  return learned.device == st.st_rdev && learned.inode == st.st_ino &&
         learned.changed.tv_sec == st.st_ctim.tv_sec && learned.changed.tv_nsec == st.st_ctim.tv_nsec;
}

bool PortTypeKnown(const SystemRoots& roots, const std::string& ttyName) {
  std::ifstream typeFile(roots.sysClassTty + "/" + ttyName + "/type");
  int type = -1;
  if (typeFile >> type) return type != PORT_UNKNOWN;
  const std::string device = roots.dev + "/" + ttyName;
  struct stat st {};
  if (stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  {
    std::lock_guard lock(g_learnedMutex);
    const auto learned = g_learned.find(device);
    if (learned != g_learned.end() && SameNode(learned->second, st)) return learned->second.known;
  }
  // A port this user may not open is not listed, and is not worth the look
  // through every process below at each step of a scan.
  if (access(device.c_str(), R_OK | W_OK) != 0) return false;
  // Opening a port that another program uses would disturb its modem lines:
  // such a port is listed unasked, and the scan's open refuses it.
  if (DeviceInUseElsewhere(device)) return true;
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Busy: held exclusively by a program we may not see (another user's), so a
  // port in use, listed as one.
  if (fd < 0) return errno == EBUSY;
  serial_struct info {};
  const bool known = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  std::lock_guard lock(g_learnedMutex);
  g_learned[device] = {st.st_rdev, st.st_ino, st.st_ctim, known};
  return known;
}

// Real (not virtual) tty devices of the machine, by their COM number.
void AddSystemPorts(std::map<unsigned, std::string>& ports) {
  const SystemRoots roots = Roots();
  DIR* dir = opendir(roots.sysClassTty.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const auto com = SystemComNumber(name);
    if (!com) continue;
    char resolved[PATH_MAX];
    if (realpath((roots.sysClassTty + "/" + name).c_str(), resolved) == nullptr) continue;
    if (std::strstr(resolved, "/devices/virtual/") != nullptr) continue;
    if (HasPortType(roots, name) && !PortTypeKnown(roots, name)) continue;
    ports.emplace(*com, roots.dev + "/" + name);
  }
  closedir(dir);
}

// Every symbolic link named COM<n> in the DOS-device directory, dangling ones
// too: opening those fails like any port that cannot be opened.
void AddLinkedPorts(std::map<unsigned, std::string>& ports) {
  const std::string dirPath = DosDevicesDirectory();
  if (dirPath.empty()) return;
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const auto com = ComNumber(name);
    if (!com) continue;
    struct stat st {};
    if (lstat((dirPath + "/" + name).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
    ports[*com] = dirPath + "/" + name;  // a link wins over a system port
  }
  closedir(dir);
}

std::uint32_t SystemDeviceNames(char* buffer, std::uint32_t maxChars) {
  std::map<unsigned, std::string> ports;
  AddSystemPorts(ports);
  AddLinkedPorts(ports);
  std::string list;
  for (const auto& entry : ports) {
    list += "COM" + std::to_string(entry.first);
    list += '\0';
  }
  list += '\0';
  if (list.size() < 2) list += '\0';  // an empty list still ends with two zeros
  if (buffer == nullptr || list.size() > maxChars) return 0;
  std::memcpy(buffer, list.data(), list.size());
  return static_cast<std::uint32_t>(list.size());
}

std::mutex g_sourceMutex;
DeviceNameSource g_source;

}  // namespace

bool GetSystemPlatformId(std::uint32_t structSize, std::uint32_t& platformId) {
  // The sizes of OSVERSIONINFOA and OSVERSIONINFOEXA, the ones the call accepts.
  if (structSize != 148 && structSize != 156) return false;
  platformId = kPlatformWin32Nt;
  return true;
}

std::uint32_t QueryDosDeviceNames(char* buffer, std::uint32_t maxChars) {
  DeviceNameSource source;
  {
    std::lock_guard lock(g_sourceMutex);
    source = g_source;
  }
  return source ? source(buffer, maxChars) : SystemDeviceNames(buffer, maxChars);
}

void SetDeviceNameSourceForTest(DeviceNameSource source) {
  std::lock_guard lock(g_sourceMutex);
  g_source = std::move(source);
}

void SetSystemPortRootsForTest(const std::string& sysClassTty, const std::string& dev) {
  std::lock_guard lock(g_rootsMutex);
  g_roots.sysClassTty = sysClassTty;
  g_roots.dev = dev;
}

void SystemPortRoots(std::string& sysClassTty, std::string& dev) {
  const SystemRoots roots = Roots();
  sysClassTty = roots.sysClassTty;
  dev = roots.dev;
}

std::string DeviceFileForName(const std::string& name) {
  static constexpr char kDevicePrefix[] = "\\\\.\\";
  constexpr std::size_t kPrefixLength = sizeof kDevicePrefix - 1;
  std::string bare = name;
  if (bare.compare(0, kPrefixLength, kDevicePrefix) == 0) bare.erase(0, kPrefixLength);
  const auto com = ComNumber(bare);
  if (!com) return {};
  const std::string dirPath = DosDevicesDirectory();
  if (!dirPath.empty()) {
    const std::string link = dirPath + "/" + bare;
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return link;
  }
  return SystemDeviceForCom(*com);
}

}  // namespace platform
