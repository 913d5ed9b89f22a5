// tavrin-cli doctor: what stands between this machine and a controller. The
// system's own checks are in DoctorLinux.cpp and DoctorWin32.cpp; the ports,
// the forms of output and the verdict here. Everything it learns goes into
// one Report, which the output forms read.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/Serial.h"
#include "platform/UsbInfo.h"

namespace cli::doctor {

struct Finding {
  bool problem = true;  // stands in the way; otherwise a note
  std::string port;     // the COM name it is about, or empty
  std::string what;     // what is wrong
  std::string fix;      // the one command or step that puts it right
};

struct Holder {
  int pid = 0;
  std::string name;
};

struct LockFile {
  std::string path;
  int pid = 0;
  bool live = false;        // held by a live process, or still being written
  bool unreadable = false;  // this user may not read it, so it counts as held
  bool folderWritable = false;  // the judged user may remove it
  // A folder where only a file's owner removes it (/run/lock, 1777) and the
  // file is another user's (`owner`): the judged user may not remove it either.
  bool otherOwnersInStickyFolder = false;
  std::string owner;
  bool stillThere = true;       // after an open: the file was still there
};

// How the judged user may open a port's device node (Linux).
enum class Access {
  Unknown,   // not judged (Windows, or no node)
  Root,      // root opens everything
  Owner,
  Group,     // as a member of the node's group
  Acl,       // through an ACL entry (the desktop's uaccess gives one at its seat)
  Other,     // the node is open to everyone
  NewLogin,  // a group in /etc/group this session does not have yet
  Denied,
};

// A port's device node: owner, group, mode (Linux).
struct Node {
  bool known = false;
  std::string owner;
  std::string group;
  unsigned gid = 0;
  unsigned mode = 0;  // permission bits
  bool acl = false;   // carries ACL entries beyond the mode
  bool groupMayOpen = false;     // the group bits allow reading and writing
  bool groupOnlyRoots = false;   // a group that only root has: never offered
};

// What an open asked for with --open told.
struct OpenResult {
  bool opens = false;
  std::string text;  // the status text of a failed open
  platform::SerialOpenFailure failure;
};

struct PortReport {
  std::string name;    // COM name
  std::string device;  // the device file, or what the system names it
  std::vector<Holder> holders;
  bool everyHolderSeen = true;  // false: other users' processes could not be looked into
  std::vector<LockFile> locks;
  Node node;
  Access access = Access::Unknown;
  std::string accessFix;  // what lets the judged user open it, when it may not
  bool tried = false;     // an open was tried (only with --open, never for a port in use)
  OpenResult open;
  platform::UsbDetails usb;
  bool network = false;  // on another machine: judged by DoctorNet.cpp alone
};

// The user whose rights are judged: the one running, or under sudo the one
// who ran sudo (whom the programmer will run as).
struct JudgedUser {
  std::string name;
  unsigned uid = 0;
  std::string sudoFrom;                   // under sudo: the user who ran it
  std::vector<unsigned> groupsNow;        // this session's (under sudo: those of a new login)
  std::vector<unsigned> groupsAtLogin;    // in /etc/group and /etc/passwd: a new login's
};

struct Report {
  bool openAsked = false;
  JudgedUser user;
  bool everyHolderSeen = true;
  // What the system checks found, as "label: value" lines and as JSON.
  std::vector<std::pair<std::string, std::string>> facts;
  nlohmann::json system = nlohmann::json::object();
  std::vector<PortReport> ports;
  std::vector<Finding> findings;
};

// Opens and closes the COM name `name` the way the scan does; empty: no port is opened.
using Opener = std::function<OpenResult(const std::string& name)>;

// The whole examination of the ports `names` (the scan's, in its order).
Report Examine(const std::vector<std::string>& names, const Opener& open);
std::string ReportText(const Report& report);
nlohmann::json ReportJson(const Report& report);
// 0 when nothing stands in the way, 1 when something does.
int ExitStatus(const Report& report);

// The system's own parts (DoctorLinux.cpp, DoctorWin32.cpp).
// The machine: who the user is, programs that take ports.
void CheckSystem(Report& report);
// Before any open: the device behind the COM name, who holds it, its locks, its node.
void CheckPortUse(PortReport& port, Report& report);
// After the open (if any): a stale lock's fate.
void AfterOpen(PortReport& port);
// The findings of one port.
void JudgePort(const PortReport& port, Report& report);
// A port on another machine (a URL, or a name the map gives one): checked
// all the way through its server, instead of CheckPortUse; false for a port
// of this machine. DoctorNet.cpp.
bool CheckNetPort(PortReport& port, Report& report);
// After every port: what needs all of them (the udev rule names their ids).
void Conclude(Report& report);

// A word of a printed command as the shell reads it back.
std::string ShellWord(const std::string& text);

}  // namespace cli::doctor
