// The Linux checks of tavrin-cli doctor.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "cli/Doctor.h"
#include "cli/Text.h"
#include "platform/DeviceNames.h"
#include "platform/linux/PortUse.h"

namespace fs = std::filesystem;

namespace cli::doctor {

namespace {

constexpr const char* kRuleName = "70-tavrin-programmer.rules";
constexpr const char* kRuleDirectories[] = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d",
                                            "/lib/udev/rules.d"};

// What the user has: set once by CheckSystem, used by the port checks.
struct UserFacts {
  std::string user;
  std::string group = "dialout";  // the group of the serial devices
  bool mayOpen = false;
  bool newLoginNeeded = false;
};
UserFacts g_user;

// Found USB adapters' ids, for the udev rule the fix prints.
std::vector<std::string> g_usbIds;

// A word of a printed command as the shell reads it back: paths and names
// come from the system and may hold blanks, quotes or `$`.
std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           (c != '\0' && std::strchr("_@%+=:,./-", c) != nullptr);
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// "sudo usermod -aG GROUP USER", quoted.
std::string AddToGroup() {
  return "sudo usermod -aG " + ShellWord(g_user.group) + " " + ShellWord(g_user.user);
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ProcessRunning(const std::string& comm) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(in, name) && name == comm) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

// The group that owns the machine's serial devices ("dialout"; "uucp" on some systems).
void FindSerialGroup(std::string& device) {
  std::string sysClassTty;
  std::string dev;
  platform::SystemPortRoots(sysClassTty, dev);
  for (const char* name : {"ttyUSB0", "ttyACM0", "ttyUSB1", "ttyACM1", "ttyS0"}) {
    struct stat st {};
    if (stat((dev + "/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
      device = dev + "/" + name;
      g_user.group = GroupName(st.st_gid);
      return;
    }
  }
}

bool HasAclEntries(const std::string& device) {
  return !device.empty() && getxattr(device.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
}

void CheckUser(Report& report) {
  const passwd* pw = getpwuid(geteuid());
  g_user.user = pw != nullptr ? pw->pw_name : std::to_string(geteuid());
  std::string device;
  FindSerialGroup(device);
  std::vector<gid_t> gids(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
  gids.resize(
      static_cast<std::size_t>(std::max(getgroups(static_cast<int>(gids.size()), gids.data()), 0)));
  gids.push_back(getegid());
  std::vector<std::string> names;
  for (gid_t gid : gids) {
    const std::string name = GroupName(gid);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  std::string groups;
  for (const std::string& name : names) groups += (groups.empty() ? "" : " ") + name;
  report.facts.push_back(
      {"User", g_user.user + Format(" (uid %u), groups now: ", geteuid()) + groups});
  const group* serial = getgrnam(g_user.group.c_str());
  const bool inGroupNow =
      serial != nullptr && std::find(gids.begin(), gids.end(), serial->gr_gid) != gids.end();
  bool listed = pw != nullptr && serial != nullptr && pw->pw_gid == serial->gr_gid;
  for (char** m = serial != nullptr ? serial->gr_mem : nullptr; m != nullptr && *m != nullptr; ++m)
    listed = listed || g_user.user == *m;
  const bool acl = !inGroupNow && !device.empty() && access(device.c_str(), R_OK | W_OK) == 0;
  g_user.mayOpen = geteuid() == 0 || inGroupNow || acl;
  g_user.newLoginNeeded = !inGroupNow && listed;
  std::string how = geteuid() == 0 ? "yes (root)"
                    : inGroupNow   ? "yes, as a member of " + g_user.group
                    : acl          ? "yes, through " +
                                std::string(HasAclEntries(device) ? "an ACL" : "the permissions") +
                                " of " + device + " (the desktop's uaccess gives it at the seat)"
                          : "no";
  report.facts.push_back({"May open serial ports", how});
  report.system["user"] = g_user.user;
  report.system["serialGroup"] = g_user.group;
  report.system["mayOpenSerialPorts"] = g_user.mayOpen;
  report.system["groupAddedSinceLogin"] = g_user.newLoginNeeded;
  report.system["acl"] = acl;
  if (g_user.mayOpen && acl) {
    report.findings.push_back(
        {false, "",
         "Serial ports open through an ACL that the desktop gives at its "
         "seat: not over ssh, nor for another user.",
         "For every session: " + AddToGroup() + ", then log out and in again."});
  }
  if (g_user.mayOpen) return;
  if (g_user.newLoginNeeded) {
    report.findings.push_back({true, "",
                               g_user.user + " was added to the group " + g_user.group +
                                   " after this login, so this session does not have it yet.",
                               "Log out and in again (or reboot); meanwhile `newgrp " +
                                   ShellWord(g_user.group) + "` gives it to one shell."});
  } else {
    report.findings.push_back({true, "",
                               g_user.user +
                                   " may not open serial ports: not a member of the group " +
                                   g_user.group + ".",
                               AddToGroup() + ", then log out and in again."});
  }
}

std::string InstalledRule() {
  for (const char* dir : kRuleDirectories) {
    const fs::path path = fs::path(dir) / kRuleName;
    std::error_code ec;
    if (fs::exists(path, ec)) return path.string();
  }
  return {};
}

void CheckModemManager(Report& report) {
  const bool running = ProcessRunning("ModemManager");
  const std::string rule = InstalledRule();
  report.facts.push_back({"ModemManager", running ? "running" : "not running"});
  report.facts.push_back(
      {"udev rule " + std::string(kRuleName), rule.empty() ? "not installed" : rule});
  report.system["modemManagerRunning"] = running;
  report.system["udevRule"] = rule.empty() ? nlohmann::json(nullptr) : nlohmann::json(rule);
}

// The udev rules files of brltty that name CH340/CH341 adapters (vendor
// 1a86): what /etc/udev/rules.d masks no longer counts.
std::vector<std::string> BrlttyRules() {
  std::map<std::string, std::string> byName;
  for (const char* dir : kRuleDirectories) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find("brltty") == std::string::npos || byName.count(name)) continue;
      byName[name] = entry.path().string();
    }
  }
  std::vector<std::string> rules;
  for (const auto& [name, path] : byName) {
    if (Lower(ReadAll(path)).find("1a86") != std::string::npos) rules.push_back(path);
  }
  return rules;
}

void CheckBrltty(Report& report) {
  std::error_code ec;
  bool installed = false;
  for (const char* path : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty", "/sbin/brltty"})
    installed = installed || fs::exists(path, ec);
  const std::vector<std::string> rules = BrlttyRules();
  report.facts.push_back(
      {"brltty", installed ? (rules.empty() ? "installed, no rules for CH340/CH341 adapters"
                                            : "installed, with rules for CH340/CH341 adapters")
                           : "not installed"});
  report.system["brlttyInstalled"] = installed;
  report.system["brlttyRules"] = rules;
  if (!installed || rules.empty()) return;
  std::string mask;
  for (const std::string& rule : rules)
    mask += (mask.empty() ? "" : " && ") + std::string("sudo ln -sf /dev/null /etc/udev/rules.d/") +
            ShellWord(fs::path(rule).filename().string());
  report.findings.push_back({true, "",
                             "brltty is installed with udev rules (" + rules.front() +
                                 ") that take CH340/CH341 USB-serial adapters (1a86:7523, "
                                 "1a86:5523) for braille displays and hold their port.",
                             "If no braille display is used here: " + mask +
                                 " && sudo udevadm control --reload (or: sudo apt remove brltty), "
                                 "then plug the adapter in again."});
}

std::string RuleFix() {
  std::string lines;
  for (const std::string& ids : g_usbIds) {
    lines += "ATTRS{idVendor}==\"" + ids.substr(0, 4) + "\", ATTRS{idProduct}==\"" + ids.substr(5) +
             "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\\n";
  }
  if (lines.empty())
    lines =
        "ATTRS{idVendor}==\"0483\", ATTRS{idProduct}==\"5740\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\\n";
  return "printf '" + lines + "' | sudo tee /etc/udev/rules.d/" + kRuleName +
         " && sudo udevadm control --reload, then plug the controller in again (the ids are those "
         "of "
         "the adapters found; `lsusb` shows the controller's).";
}

}  // namespace

void CheckSystem(Report& report) {
  report.system["os"] = "linux";
  CheckUser(report);
  CheckModemManager(report);
  CheckBrltty(report);
  // /proc shows another user's open files to root alone: ModemManager and
  // brltty, which run as root, hold a port unseen otherwise.
  const bool allSeen = geteuid() == 0;
  report.facts.push_back({"Holders of ports seen", allSeen ? "of every user"
                                                           : "of this user only (sudo tavrin-cli "
                                                             "doctor sees those of every user)"});
  report.system["holdersOfEveryUserSeen"] = allSeen;
}

void CheckPortUse(PortReport& port) {
  const std::string file = platform::DeviceFileForName(port.name);
  const platform::PortUse use = platform::DescribePortUse(file);
  port.device = use.device.empty() ? file + " (missing)" : use.device;
  for (const auto& h : use.holders) port.holders.push_back({h.pid, h.name});
  for (const auto& l : use.locks) port.locks.push_back({l.path, l.pid, l.live, l.unreadable});
  port.usb = platform::UsbDetailsFor(file);
  if (port.usb.usb) {
    const std::string ids = port.usb.vendorId + ":" + port.usb.productId;
    // Only what sysfs normally holds, four hex digits each: they go into a
    // quoted printf format.
    const bool hex =
        ids.size() == 9 && ids[4] == ':' && std::all_of(ids.begin(), ids.end(), [](char c) {
          return c == ':' || std::isxdigit(static_cast<unsigned char>(c));
        });
    if (hex && std::find(g_usbIds.begin(), g_usbIds.end(), ids) == g_usbIds.end())
      g_usbIds.push_back(ids);
  }
}

void JudgePort(const PortReport& port, Report& report) {
  const std::string who = port.name + " (" + port.device + ")";
  for (const Holder& h : port.holders) {
    const std::string fix =
        h.name == "brltty"         ? "sudo systemctl stop brltty, and see the brltty finding"
        : h.name == "ModemManager" ? "sudo systemctl stop ModemManager, and install the udev rule"
                                   : Format("Close that program (kill %d), then try again.", h.pid);
    report.findings.push_back({true, port.name,
                               who + Format(" is held by process %d (%s).", h.pid, h.name.c_str()),
                               fix});
  }
  for (const LockFile& l : port.locks) {
    if (l.unreadable && port.holders.empty()) {
      report.findings.push_back(
          {true, port.name,
           who + " is locked through the lock file " + l.path +
               ", which this user may not read: another user's program has it.",
           "Close that program; if none runs any more: sudo rm -f " + ShellWord(l.path)});
    } else if (l.live && port.holders.empty()) {
      report.findings.push_back(
          {true, port.name,
           who + " is locked by " +
               (l.pid > 0 ? Format("process %d", l.pid)
                          : std::string("a program that is writing")) +
               " through the lock file " + l.path + ".",
           l.pid > 0 ? Format("Close that program (kill %d), then try again.", l.pid)
                     : "Try again in a few seconds; if the file stays empty: sudo rm " +
                           ShellWord(l.path)});
    } else if (!l.live) {
      report.findings.push_back(
          {false, port.name,
           "Stale lock file " + l.path +
               (l.pid > 0 ? Format(": process %d has ended", l.pid)
                          : std::string(": it names no process")) +
               (port.opens ? "; opening the port removed it." : "."),
           port.opens ? "None needed now; should it come back: sudo rm -f " + ShellWord(l.path)
                      : "sudo rm -f " + ShellWord(l.path) +
                            " (this programmer takes a stale lock over; other "
                            "terminal programs may refuse the port)."});
    }
  }
  if (port.tried && !port.opens) {
    const bool denied = access(port.device.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
    report.findings.push_back(
        {true, port.name,
         who + " does not open" + (denied ? ": permission denied." : " (" + port.openError + ")."),
         denied ? AddToGroup() + ", then log out and in again."
                : "Unplug the controller and plug it in again; `sudo dmesg | tail` tells what the "
                  "system saw."});
  }
  if (port.usb.latencyTimerMs > 1) {
    report.findings.push_back(
        {false, port.name,
         Format("The adapter's latency timer is %d ms: every answer waits up to that long.",
                port.usb.latencyTimerMs),
         "echo 1 | sudo tee " + ShellWord(port.usb.latencyTimerPath)});
  }
}

void Conclude(Report& report) {
  if (!report.system.value("modemManagerRunning", false) || !report.system["udevRule"].is_null())
    return;
  report.findings.push_back(
      {true, "",
       "ModemManager is running and the udev rule that keeps it away from the controller is not "
       "installed: it probes USB serial ports with AT commands.",
       RuleFix()});
}

}  // namespace cli::doctor
