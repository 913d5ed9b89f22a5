// What the Linux serial layer shares with the port listing, and the seams its
// tests use to reach what a pseudo-terminal cannot show.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

// Whether another process has the device file `device` open, or a live lock
// file names it. The device itself is never opened to find out.
bool DeviceInUseElsewhere(const std::string& device);

// Who uses `device`, for a user to see; the device is never opened.
struct PortHolder {
  int pid = 0;
  std::string name;  // the process's command name
};
struct PortLockFile {
  std::string path;
  int pid = 0;                // the pid it names; 0 when it names none
  bool beingWritten = false;  // young and still empty: counts as held
  bool unreadable = false;    // this user may not read it: counts as held
  bool live = false;          // held: another live process, or being written
};
struct PortUse {
  std::string device;  // the device file behind the links
  std::vector<PortHolder> holders;
  std::vector<PortLockFile> locks;
};
PortUse DescribePortUse(const std::string& device);

// Where the listing looks: /sys/class/tty and /dev, or the tests' roots.
void SystemPortRoots(std::string& sysClassTty, std::string& dev);

// Tests: the modem-line requests (TIOCMGET, TIOCMBIS, TIOCMBIC with their
// argument) go to `lines` instead of the device, which a pseudo-terminal
// lacks; it returns what ioctl() would. An empty function restores the device.
using ModemLinesForTest = std::function<int(unsigned long request, int* lines)>;
void SetModemLinesForTest(ModemLinesForTest lines);

// Tests: runs between the first look for other users of a device and its
// open; an empty function removes it.
void SetBeforeOpenForTest(std::function<void()> hook);

// Tests: the listing looks under these instead of /sys/class/tty and /dev;
// empty texts restore the system's.
void SetSystemPortRootsForTest(const std::string& sysClassTty, const std::string& dev);

}  // namespace platform
