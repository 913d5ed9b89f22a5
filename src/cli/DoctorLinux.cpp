// The Linux checks of tavrin-cli doctor. Every file it reads is below the
// system root, and what files cannot tell (who runs it, owners and modes)
// comes from the host, so a fake machine in a folder is judged like a real one.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
// GCC 12 warns falsely inside <regex> when a sanitizer instruments it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <set>
#include <sstream>

#include "cli/Doctor.h"
#include "cli/Text.h"
#include "platform/DeviceNames.h"
#include "platform/linux/Host.h"
#include "platform/linux/PortUse.h"
#include "platform/linux/SystemRoot.h"

namespace fs = std::filesystem;

namespace cli::doctor {

namespace {

using platform::SystemPath;

constexpr const char* kRuleName = "70-tavrin-programmer.rules";
constexpr const char* kAccessRuleName = "71-tavrin-serial-access.rules";
// In the order udev lets a file of one name take the place of another's.
constexpr const char* kRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                            "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Join(const std::vector<std::string>& words, const std::string& between) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : between) + word;
  return text;
}

template <class T>
bool Contains(const std::vector<T>& list, const T& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// ---- Users and groups, from /etc/passwd and /etc/group ------------------------

struct Account {
  std::string name;
  unsigned uid = 0;
  unsigned gid = 0;
};
struct GroupEntry {
  std::string name;
  unsigned gid = 0;
  std::vector<std::string> members;
};

std::vector<std::string> SplitColons(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ':');) fields.push_back(field);
  if (!line.empty() && line.back() == ':') fields.emplace_back();
  return fields;
}

std::optional<unsigned> Number(const std::string& text) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return static_cast<unsigned>(std::stoul(text));
}

// The files first; on the machine itself the system's other user databases
// (LDAP, say) answer what the files do not know.
class Accounts {
 public:
  Accounts() {
    std::ifstream passwd(SystemPath("/etc/passwd"));
    for (std::string line; std::getline(passwd, line);) {
      const auto f = SplitColons(line);
      if (f.size() < 4 || f[0].empty() || f[0][0] == '#') continue;
      const auto uid = Number(f[2]);
      const auto gid = Number(f[3]);
      if (uid && gid) users_.push_back({f[0], *uid, *gid});
    }
    std::ifstream group(SystemPath("/etc/group"));
    for (std::string line; std::getline(group, line);) {
      const auto f = SplitColons(line);
      if (f.size() < 3 || f[0].empty() || f[0][0] == '#') continue;
      const auto gid = Number(f[2]);
      if (!gid) continue;
      GroupEntry entry{f[0], *gid, {}};
      if (f.size() > 3) {
        std::stringstream members(f[3]);
        for (std::string m; std::getline(members, m, ',');)
          if (!m.empty()) entry.members.push_back(m);
      }
      groups_.push_back(entry);
    }
  }

  std::optional<Account> User(unsigned uid) const {
    for (const Account& a : users_)
      if (a.uid == uid) return a;
    if (!OwnMachine()) return std::nullopt;
    const passwd* pw = getpwuid(uid);
    if (pw == nullptr) return std::nullopt;
    return Account{pw->pw_name, pw->pw_uid, pw->pw_gid};
  }
  std::optional<Account> User(const std::string& name) const {
    for (const Account& a : users_)
      if (a.name == name) return a;
    if (!OwnMachine()) return std::nullopt;
    const passwd* pw = getpwnam(name.c_str());
    if (pw == nullptr) return std::nullopt;
    return Account{pw->pw_name, pw->pw_uid, pw->pw_gid};
  }
  std::optional<GroupEntry> Group(unsigned gid) const {
    for (const GroupEntry& g : groups_)
      if (g.gid == gid) return g;
    if (!OwnMachine()) return std::nullopt;
    const group* gr = getgrgid(gid);
    return gr != nullptr ? std::optional<GroupEntry>(FromSystem(*gr)) : std::nullopt;
  }
  std::optional<GroupEntry> Group(const std::string& name) const {
    for (const GroupEntry& g : groups_)
      if (g.name == name) return g;
    if (!OwnMachine()) return std::nullopt;
    const group* gr = getgrnam(name.c_str());
    return gr != nullptr ? std::optional<GroupEntry>(FromSystem(*gr)) : std::nullopt;
  }
  std::string GroupName(unsigned gid) const {
    const auto g = Group(gid);
    return g ? g->name : std::to_string(gid);
  }
  std::string UserName(unsigned uid) const {
    const auto u = User(uid);
    return u ? u->name : std::to_string(uid);
  }
  // The groups a new login of `user` gets: the primary one and every group
  // that lists the user.
  std::vector<unsigned> GroupsAtLogin(const Account& user) const {
    std::vector<unsigned> gids{user.gid};
    for (const GroupEntry& g : groups_)
      if (Contains(g.members, user.name) && !Contains(gids, g.gid)) gids.push_back(g.gid);
    if (OwnMachine()) {
      int count = 64;
      std::vector<gid_t> list(static_cast<std::size_t>(count));
      if (getgrouplist(user.name.c_str(), user.gid, list.data(), &count) < 0 && count > 0) {
        list.resize(static_cast<std::size_t>(count));
        getgrouplist(user.name.c_str(), user.gid, list.data(), &count);
      }
      for (int i = 0; i < count && i < static_cast<int>(list.size()); ++i)
        if (!Contains(gids, static_cast<unsigned>(list[static_cast<std::size_t>(i)])))
          gids.push_back(list[static_cast<std::size_t>(i)]);
    }
    return gids;
  }
  // A group that only root has: offering it would hand out root's own.
  bool OnlyRoots(unsigned gid) const {
    if (gid == 0) return true;
    const auto g = Group(gid);
    if (!g) return false;
    if (g->name == "root") return true;
    std::vector<std::string> members = g->members;
    for (const Account& a : users_)
      if (a.gid == gid) members.push_back(a.name);
    return !members.empty() &&
           std::all_of(members.begin(), members.end(), [](const std::string& m) { return m == "root"; });
  }

 private:
  static bool OwnMachine() { return platform::SystemRoot().empty(); }
  static GroupEntry FromSystem(const group& gr) {
    GroupEntry entry{gr.gr_name, gr.gr_gid, {}};
    for (char** m = gr.gr_mem; m != nullptr && *m != nullptr; ++m) entry.members.emplace_back(*m);
    return entry;
  }
  std::vector<Account> users_;
  std::vector<GroupEntry> groups_;
};

// ---- Permissions ----------------------------------------------------------------

// Whether `uid` with the groups `gids` gets every bit of `want` (4 read, 2
// write, 1 execute) on `node`, the way the kernel decides it; `how` tells by
// which entry.
bool Permits(const platform::NodeStat& node, unsigned uid, const std::vector<unsigned>& gids,
             unsigned want, Access& how) {
  if (uid == 0) {
    how = Access::Root;
    return true;
  }
  if (node.uid == uid) {
    how = Access::Owner;
    return ((node.mode >> 6) & want) == want;
  }
  const unsigned mask = (node.mode >> 3) & 7;
  if (node.acl) {
    for (const platform::AclEntry& e : node.aclUsers) {
      if (e.id == uid) {
        how = Access::Acl;
        return (e.perm & mask & want) == want;
      }
    }
  }
  bool groupMatched = false;
  const unsigned groupPerm = node.acl ? (node.aclGroupObject & mask) : mask;
  if (Contains(gids, node.gid)) {
    groupMatched = true;
    if ((groupPerm & want) == want) {
      how = Access::Group;
      return true;
    }
  }
  for (const platform::AclEntry& e : node.aclGroups) {
    if (!Contains(gids, e.id)) continue;
    groupMatched = true;
    if ((e.perm & mask & want) == want) {
      how = Access::Acl;
      return true;
    }
  }
  if (groupMatched) {
    how = Access::Group;
    return false;
  }
  how = Access::Other;
  return (node.mode & want) == want;
}

// ---- Processes ------------------------------------------------------------------

std::vector<std::string> ProcessIds() {
  std::vector<std::string> pids;
  DIR* proc = opendir(SystemPath("/proc").c_str());
  if (proc == nullptr) return pids;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') pids.emplace_back(entry->d_name);
  }
  closedir(proc);
  return pids;
}

bool ProcessRunning(const std::string& comm) {
  for (const std::string& pid : ProcessIds()) {
    std::ifstream in(SystemPath("/proc/") + pid + "/comm");
    std::string name;
    if (std::getline(in, name) && name == comm) return true;
  }
  return false;
}

// Processes of other users, whose open files only root may look into.
int ProcessesOfOthers(unsigned euid) {
  if (euid == 0) return 0;
  int others = 0;
  for (const std::string& pid : ProcessIds()) {
    const platform::NodeStat st = platform::CurrentHost().Stat(SystemPath("/proc/") + pid);
    if (st.exists && st.uid != euid) ++others;
  }
  return others;
}

// ---- udev rules -------------------------------------------------------------------

// Every rules file that counts, by name: one in /etc takes the place of one
// of the same name further down (a link to /dev/null masks it).
std::map<std::string, fs::path> RuleFiles() {
  std::map<std::string, fs::path> files;
  for (const char* dir : kRuleDirectories) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(SystemPath(dir), ec)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 6 && name.compare(name.size() - 6, 6, ".rules") == 0 && !files.count(name))
        files[name] = entry.path();
    }
  }
  return files;
}

std::string Hex4(const std::string& text) {
  std::string id = Lower(text);
  while (id.size() < 4) id = "0" + id;
  return id;
}

// The USB ids a rules line names: "1a86:7523", or "1a86:*" for a vendor
// alone. Both forms udev rules use: ATTRS{idVendor}/ATTRS{idProduct}, and
// ENV{PRODUCT}=="1a86/7523/*" (hex without leading zeros).
std::vector<std::string> IdsOnLine(const std::string& line) {
  static const std::regex vendor(R"re((?:ATTRS?|SYSFS)\{idVendor\}\s*==\s*"([0-9A-Fa-f]{1,4})")re");
  static const std::regex product(R"re((?:ATTRS?|SYSFS)\{idProduct\}\s*==\s*"([0-9A-Fa-f]{1,4})")re");
  static const std::regex env(R"re(ENV\{PRODUCT\}\s*==\s*"([0-9A-Fa-f]{1,4})/([0-9A-Fa-f]{1,4})/)re");
  std::vector<std::string> ids;
  std::smatch v;
  std::smatch p;
  if (std::regex_search(line, v, vendor))
    ids.push_back(Hex4(v[1]) + ":" + (std::regex_search(line, p, product) ? Hex4(p[1]) : "*"));
  for (auto it = std::sregex_iterator(line.begin(), line.end(), env); it != std::sregex_iterator();
       ++it)
    ids.push_back(Hex4((*it)[1]) + ":" + Hex4((*it)[2]));
  return ids;
}

bool Names(const std::vector<std::string>& ids, const std::string& adapter) {
  return Contains(ids, adapter) || Contains(ids, adapter.substr(0, 5) + "*");
}

struct RuleIds {
  std::vector<std::string> ids;
  std::map<std::string, std::string> fileOf;  // id -> the file that names it
};

// The ids that rules lines name, of the lines that `keep` accepts.
RuleIds IdsInRules(const std::map<std::string, fs::path>& files,
                   const std::function<bool(const std::string& name, const std::string& line)>& keep) {
  RuleIds found;
  for (const auto& [name, path] : files) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      // A backslash at the end carries the rule on to the next line.
      for (std::string more; !line.empty() && line.back() == '\\' && std::getline(in, more);)
        line = line.substr(0, line.size() - 1) + more;
      const auto first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#' || !keep(name, line)) continue;
      for (const std::string& id : IdsOnLine(line)) {
        if (Contains(found.ids, id)) continue;
        found.ids.push_back(id);
        found.fileOf[id] = path.string();
      }
    }
  }
  return found;
}

bool Hex(const std::string& ids) {
  return ids.size() == 9 && ids[4] == ':' && std::all_of(ids.begin(), ids.end(), [](char c) {
           return c == ':' || std::isxdigit(static_cast<unsigned char>(c));
         });
}

// A USB port's ids, when they are what sysfs normally holds (four hex digits
// each): they go into printed commands.
std::string AdapterIds(const PortReport& port) {
  if (!port.usb.usb) return {};
  const std::string ids = Lower(port.usb.vendorId + ":" + port.usb.productId);
  return Hex(ids) ? ids : std::string();
}

std::string UsbMatch(const std::string& ids) {
  return "ATTRS{idVendor}==\"" + ids.substr(0, 4) + "\", ATTRS{idProduct}==\"" + ids.substr(5) +
         "\"";
}

// `lines` (each ended by \n) into a rules file in /etc, by printf: the rule
// text holds no quote of the shell's kind nor a percent sign.
std::string WriteRules(const std::string& lines, const std::string& file, bool append) {
  return "printf '" + lines + "' | sudo tee " + (append ? "-a " : "") + "/etc/udev/rules.d/" + file +
         " && sudo udevadm control --reload";
}

// ---- The user ---------------------------------------------------------------------

void CheckUser(Report& report, const Accounts& accounts) {
  const platform::Host& host = platform::CurrentHost();
  const unsigned euid = host.Euid();
  JudgedUser& user = report.user;
  const std::string sudoUser = host.Env("SUDO_USER");
  const auto sudoAccount = euid == 0 && !sudoUser.empty() && sudoUser != "root"
                               ? accounts.User(sudoUser)
                               : std::nullopt;
  if (sudoAccount) {
    // The programmer runs as that user, with the groups of a login.
    user.name = sudoAccount->name;
    user.uid = sudoAccount->uid;
    user.sudoFrom = sudoAccount->name;
    user.groupsAtLogin = accounts.GroupsAtLogin(*sudoAccount);
    user.groupsNow = user.groupsAtLogin;
  } else {
    const auto self = accounts.User(euid);
    user.name = self ? self->name : std::to_string(euid);
    user.uid = euid;
    user.groupsNow = host.SessionGroups();
    user.groupsAtLogin = self ? accounts.GroupsAtLogin(*self) : user.groupsNow;
  }
  std::vector<std::string> names;
  for (unsigned gid : user.groupsNow) {
    const std::string name = accounts.GroupName(gid);
    if (!Contains(names, name)) names.push_back(name);
  }
  if (user.sudoFrom.empty()) {
    report.facts.push_back({"User", user.name + Format(" (uid %u), groups now: ", user.uid) +
                                        Join(names, " ")});
  } else {
    report.facts.push_back(
        {"User", "root under sudo, judged for " + user.name +
                     Format(" (uid %u), who ran sudo; groups at login: ", user.uid) +
                     Join(names, " ")});
  }
  report.system["user"] = user.name;
  report.system["sudoUser"] = user.sudoFrom.empty() ? nlohmann::json(nullptr)
                                                    : nlohmann::json(user.sudoFrom);
}

// ---- ModemManager and brltty --------------------------------------------------------

std::string InstalledRule(const std::map<std::string, fs::path>& files) {
  const auto it = files.find(kRuleName);
  if (it == files.end()) return {};
  std::error_code ec;
  // A link to /dev/null masks it.
  if (fs::is_symlink(it->second, ec) && fs::read_symlink(it->second, ec) == "/dev/null") return {};
  return it->second.string();
}

bool BrlttyInstalled() {
  std::error_code ec;
  for (const char* path : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty", "/sbin/brltty"})
    if (fs::exists(SystemPath(path), ec)) return true;
  return false;
}

std::string AddToGroup(const std::string& group, const std::string& user) {
  return "sudo usermod -aG " + ShellWord(group) + " " + ShellWord(user);
}

// The group a udev rule gives serial adapters: the usual one where it exists.
std::string SerialGroupForRule(const Accounts& accounts) {
  for (const char* name : {"dialout", "uucp"})
    if (accounts.Group(std::string(name)) && !accounts.OnlyRoots(accounts.Group(std::string(name))->gid))
      return name;
  return {};
}

// The udev rule line that gives a port's device to a group (or to the
// desktop's user at the seat).
std::string AccessRuleLine(const PortReport& port, const std::string& ruleGroup) {
  const std::string ids = AdapterIds(port);
  const std::string match = ids.empty()
                                ? "KERNEL==\"" + fs::path(port.device).filename().string() + "\""
                                : "SUBSYSTEM==\"tty\", " + UsbMatch(ids);
  return match + ", " +
         (ruleGroup.empty() ? std::string("TAG+=\"uaccess\"")
                            : "GROUP=\"" + ruleGroup + "\", MODE=\"0660\"");
}

// The rules `lines` (each ended by \n), then what else the user needs.
std::string AccessRuleFix(const std::string& lines, const std::string& ruleGroup,
                          const JudgedUser& user, const Accounts& accounts) {
  const bool joinNeeded = !ruleGroup.empty() && [&] {
    const auto g = accounts.Group(ruleGroup);
    return !g || !Contains(user.groupsAtLogin, g->gid);
  }();
  std::string fix = WriteRules(lines, kAccessRuleName, false) +
                    " && sudo udevadm trigger --subsystem-match=tty";
  if (joinNeeded) fix += " && " + AddToGroup(ruleGroup, user.name) + ", then log out and in again";
  return fix + (ruleGroup.empty()
                    ? " (TAG+=\"uaccess\" gives the device to the user at the desktop's seat)."
                    : " (or TAG+=\"uaccess\" in place of GROUP and MODE: the device then goes to "
                      "the user at the desktop's seat alone).");
}

// What lets the judged user open the port: a group to join where the node's
// group may open it and is not root's alone, else a udev rule.
// A pseudo-terminal's node is made by the program that asked for it, owned by
// that program's user: no udev rule reaches it.
bool PseudoTerminal(const PortReport& port) {
  return port.device.rfind(SystemPath("/dev/pts/"), 0) == 0;
}

std::string PseudoTerminalFix(const PortReport& port, const JudgedUser& user) {
  return "Run the program that made it (a virtual controller, say) as " + user.name +
         ", or this programmer as " + port.node.owner + ".";
}

std::string PortAccessFix(const PortReport& port, const JudgedUser& user, const Accounts& accounts) {
  if (port.access != Access::Denied) return {};
  if (port.node.groupMayOpen && !port.node.groupOnlyRoots)
    return AddToGroup(port.node.group, user.name) + ", then log out and in again.";
  if (PseudoTerminal(port)) return PseudoTerminalFix(port, user);
  const std::string ruleGroup = SerialGroupForRule(accounts);
  return AccessRuleFix(AccessRuleLine(port, ruleGroup) + "\\n", ruleGroup, user, accounts);
}

// ---- Locks ------------------------------------------------------------------------

bool FolderWritable(const std::string& dir, const JudgedUser& user) {
  const platform::NodeStat st = platform::CurrentHost().Stat(dir);
  Access how = Access::Unknown;
  return st.exists && Permits(st, user.uid, user.groupsNow, 3, how);
}

// In a sticky folder only the file's owner, the folder's and root remove a file.
bool StickyKeepsFrom(const std::string& file, const JudgedUser& user) {
  const platform::Host& host = platform::CurrentHost();
  const platform::NodeStat dir = host.Stat(fs::path(file).parent_path().string());
  if (!dir.exists || (dir.mode & 01000) == 0 || user.uid == 0 || dir.uid == user.uid) return false;
  const platform::NodeStat st = host.Stat(file);
  return st.exists && st.uid != user.uid;
}

void ConcludeAccess(Report& report, const Accounts& accounts);
void ConcludeModemManager(Report& report);
void ConcludeBrltty(Report& report);
void ConcludeBlindSpots(Report& report);

}  // namespace

void CheckSystem(Report& report) {
  const Accounts accounts;
  report.system["os"] = "linux";
  CheckUser(report, accounts);
  const bool running = ProcessRunning("ModemManager");
  const std::string rule = InstalledRule(RuleFiles());
  report.facts.push_back({"ModemManager", running ? "running" : "not running"});
  report.system["modemManagerRunning"] = running;
  report.system["udevRule"] = rule.empty() ? nlohmann::json(nullptr) : nlohmann::json(rule);
  const bool brltty = BrlttyInstalled();
  report.system["brlttyInstalled"] = brltty;
  // /proc shows another user's open files to root alone: ModemManager and
  // brltty, which run as root, hold a port unseen otherwise.
  const int others = ProcessesOfOthers(platform::CurrentHost().Euid());
  report.everyHolderSeen = others == 0;
  report.facts.push_back(
      {"Holders of ports seen",
       report.everyHolderSeen
           ? "of every user"
           : Format("of this user only: %d process%s of other users cannot be looked into "
                    "(sudo tavrin-cli doctor sees them)",
                    others, others == 1 ? "" : "es")});
  report.system["holdersOfEveryUserSeen"] = report.everyHolderSeen;
}

void CheckPortUse(PortReport& port, Report& report) {
  const std::string file = platform::DeviceFileForName(port.name);
  const platform::PortUse use = platform::DescribePortUse(file);
  port.device = use.device.empty() ? file + " (missing)" : use.device;
  for (const auto& h : use.holders) port.holders.push_back({h.pid, h.name});
  port.everyHolderSeen = report.everyHolderSeen;
  const Accounts accounts;
  for (const auto& l : use.locks) {
    LockFile lock{l.path, l.pid, l.live, l.unreadable};
    lock.folderWritable = FolderWritable(fs::path(l.path).parent_path().string(), report.user);
    if (lock.folderWritable && StickyKeepsFrom(l.path, report.user)) {
      lock.folderWritable = false;
      lock.otherOwnersInStickyFolder = true;
      lock.owner = accounts.UserName(platform::CurrentHost().Stat(l.path).uid);
    }
    port.locks.push_back(lock);
  }
  port.usb = platform::UsbDetailsFor(file);
  if (use.device.empty()) return;
  const platform::NodeStat st = platform::CurrentHost().Stat(use.device);
  if (!st.exists) return;
  Node& node = port.node;
  node.known = true;
  node.owner = accounts.UserName(st.uid);
  node.group = accounts.GroupName(st.gid);
  node.gid = st.gid;
  node.mode = st.mode;
  node.acl = st.acl;
  node.groupMayOpen = (((st.acl ? st.aclGroupObject : st.mode >> 3) & 6) == 6);
  node.groupOnlyRoots = accounts.OnlyRoots(st.gid);
  const JudgedUser& user = report.user;
  Access how = Access::Unknown;
  if (Permits(st, user.uid, user.groupsNow, 6, how)) {
    port.access = how;
  } else if (Access later = Access::Unknown;
             user.sudoFrom.empty() && Permits(st, user.uid, user.groupsAtLogin, 6, later)) {
    port.access = Access::NewLogin;
  } else {
    port.access = Access::Denied;
  }
  port.accessFix = PortAccessFix(port, user, accounts);
}

void AfterOpen(PortReport& port) {
  for (LockFile& lock : port.locks) {
    struct stat st {};
    lock.stillThere = lstat(lock.path.c_str(), &st) == 0;
  }
}

namespace {

// What the error number of a failed open means here, and what to do.
std::pair<std::string, std::string> OpenFailureText(const PortReport& port, const Report& report) {
  using Kind = platform::SerialOpenFailure::Kind;
  const platform::SerialOpenFailure& f = port.open.failure;
  const std::string seeAll = report.user.sudoFrom.empty() && report.user.uid != 0
                                 ? "sudo tavrin-cli doctor names every holder"
                                 : "the holders above are every user's";
  if (f.kind == Kind::InUse)
    return {"another program had it open or locked when the open came",
            "Close that program (" + seeAll + "), then try again."};
  if (f.kind == Kind::TakenMeanwhile)
    return {"another program opened or locked it between the look and the open (a lock taken "
            "meanwhile)",
            "Close that program (" + seeAll + "), then try again."};
  if (f.kind != Kind::System)
    return {"it opened, then refused the line settings (" + port.open.text +
                "): its driver is not a serial port's, or the device is not working",
            "Unplug the adapter and plug it in again; `sudo dmesg | tail` tells what the system "
            "saw."};
  const std::string why = std::string(" (") + std::strerror(f.error) + ")";
  switch (f.error) {
    case EBUSY:
      return {"it is in exclusive use by another program" +
                  std::string(report.everyHolderSeen ? "" : ", perhaps another user's, which "
                                                            "this user cannot see") +
                  why,
              "Close that program (" + seeAll + "), then try again."};
    case EACCES:
    case EPERM:
      return {report.user.name + " may not open it" + why,
              port.accessFix.empty() ? "Ask the administrator for read and write access to " +
                                           port.device + "."
                                     : port.accessFix};
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {"the device is gone (unplugged, or its driver let it go)" + why,
              "Plug the controller in again; `sudo dmesg | tail` tells what the system saw."};
    case EIO:
      return {"the device answered the open with an input/output error: the adapter or its "
              "driver is in a bad state" + why,
              "Unplug the adapter and plug it in again; `sudo dmesg | tail` tells what the system "
              "saw."};
    default:
      return {"the system refused it" + why,
              "Unplug the controller and plug it in again; `sudo dmesg | tail` tells what the "
              "system saw."};
  }
}

}  // namespace

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
      const std::string stale =
          "Stale lock file " + l.path +
          (l.pid > 0 ? Format(": process %d has ended", l.pid) : std::string(": it names no process"));
      const std::string folder = fs::path(l.path).parent_path().string();
      if (port.tried && !l.stillThere) {
        report.findings.push_back({false, port.name, stale + "; opening the port removed it.",
                                   "None needed now; should it come back: sudo rm -f " +
                                       ShellWord(l.path)});
      } else if (!l.folderWritable) {
        report.findings.push_back(
            {false, port.name,
             stale + (port.tried ? "; opening the port could not remove it" : "") +
                 (l.otherOwnersInStickyFolder
                      ? ": it is " + l.owner + "'s, and the lock folder " + folder +
                            " lets only a file's owner remove it"
                      : ": the lock folder " + folder + " is not writable for " + report.user.name) +
                 ", so no program of theirs can remove it (this programmer opens the port all "
                 "the same; other terminal programs refuse it).",
             "sudo rm -f " + ShellWord(l.path)});
      } else if (port.tried) {
        report.findings.push_back(
            {false, port.name, stale + "; it is still there after the open.",
             "sudo rm -f " + ShellWord(l.path)});
      } else {
        report.findings.push_back(
            {false, port.name, stale + "; this programmer's open takes it over.",
             "None needed for this programmer; for other terminal programs: sudo rm -f " +
                 ShellWord(l.path)});
      }
    }
  }
  // A refusal the node foretold is the finding on who may open the ports,
  // with the same fix: told once.
  const bool foretold = port.open.failure.kind == platform::SerialOpenFailure::Kind::System &&
                        (port.open.failure.error == EACCES || port.open.failure.error == EPERM) &&
                        (port.access == Access::Denied || port.access == Access::NewLogin);
  if (port.tried && !port.open.opens && !foretold) {
    const auto [what, fix] = OpenFailureText(port, report);
    report.findings.push_back({true, port.name, who + " does not open: " + what + ".", fix});
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
  const Accounts accounts;
  ConcludeAccess(report, accounts);
  ConcludeBrltty(report);
  ConcludeModemManager(report);
  ConcludeBlindSpots(report);
}

namespace {

// Who may open the ports, and what lets the judged user do so: a group to
// join where the node's group may open it and is not root's alone, else a
// udev rule that gives the device a group (or the seat's user) in the first place.
void ConcludeAccess(Report& report, const Accounts& accounts) {
  const JudgedUser& user = report.user;
  std::vector<std::string> groupsToJoin;  // in order of the ports
  std::vector<std::string> newLoginGroups;
  std::vector<std::string> aclGroups;
  std::vector<std::string> ruleLines;
  std::vector<std::string> ruleDevices;
  bool all = !report.ports.empty();
  bool any = false;
  bool acl = false;
  bool newLogin = false;
  const std::string ruleGroup = SerialGroupForRule(accounts);
  for (const PortReport& port : report.ports) {
    if (!port.node.known) continue;
    const bool offerable = port.node.groupMayOpen && !port.node.groupOnlyRoots;
    switch (port.access) {
      case Access::Denied:
        all = false;
        if (offerable) {
          if (!Contains(groupsToJoin, port.node.group)) groupsToJoin.push_back(port.node.group);
        } else if (PseudoTerminal(port)) {
          report.findings.push_back(
              {true, port.name,
               port.name + " (" + port.device + ") is a pseudo-terminal of " + port.node.owner +
                   "'s (" + Format("%04o", port.node.mode) + "): " + user.name +
                   " may not open it, and neither a group nor a udev rule changes that.",
               PseudoTerminalFix(port, user)});
        } else {
          const std::string ids = AdapterIds(port);
          const std::string line = AccessRuleLine(port, ruleGroup);
          if (!Contains(ruleLines, line)) ruleLines.push_back(line);
          ruleDevices.push_back(port.device + " (" + port.node.owner + ":" + port.node.group + " " +
                                Format("%04o", port.node.mode) +
                                (ids.empty() ? std::string() : ", USB " + ids) + ")");
        }
        break;
      case Access::NewLogin:
        all = false;
        newLogin = true;
        if (!Contains(newLoginGroups, port.node.group)) newLoginGroups.push_back(port.node.group);
        break;
      case Access::Acl:
        any = true;
        acl = true;
        if (offerable && !Contains(aclGroups, port.node.group)) aclGroups.push_back(port.node.group);
        break;
      case Access::Unknown:
        break;
      default:
        any = true;
        break;
    }
  }
  std::string serialGroup;
  for (const PortReport& port : report.ports)
    if (port.node.known && port.node.groupMayOpen && !port.node.groupOnlyRoots) {
      serialGroup = port.node.group;
      break;
    }
  const std::string may = report.ports.empty() ? "no port to judge"
                          : all                ? "yes, every port"
                          : any                ? "some ports (see each below)"
                          : newLogin           ? "after a new login"
                                               : "no";
  report.facts.insert(report.facts.begin() + 1, {"May open serial ports", may});
  report.system["serialGroup"] = serialGroup.empty() ? nlohmann::json(nullptr) : nlohmann::json(serialGroup);
  report.system["mayOpenSerialPorts"] = all;
  report.system["groupAddedSinceLogin"] = newLogin;
  report.system["acl"] = acl;

  for (const std::string& group : aclGroups) {
    report.findings.push_back(
        {false, "",
         "Serial ports open through an ACL that the desktop gives at its "
         "seat: not over ssh, nor for another user.",
         "For every session: " + AddToGroup(group, user.name) + ", then log out and in again."});
  }
  for (const std::string& group : newLoginGroups) {
    report.findings.push_back({true, "",
                               user.name + " was added to the group " + group +
                                   " after this login, so this session does not have it yet.",
                               "Log out and in again (or reboot); meanwhile `newgrp " +
                                   ShellWord(group) + "` gives it to one shell."});
  }
  for (const std::string& group : groupsToJoin) {
    report.findings.push_back({true, "",
                               user.name + " may not open serial ports: not a member of the group " +
                                   group + ".",
                               AddToGroup(group, user.name) + ", then log out and in again."});
  }
  if (!ruleLines.empty()) {
    std::string lines;
    for (const std::string& line : ruleLines) lines += line + "\\n";
    const std::string fix = AccessRuleFix(lines, ruleGroup, user, accounts);
    report.findings.push_back(
        {true, "",
         "No group may open " + Join(ruleDevices, ", ") + ": only root can, so " + user.name +
             " may not (joining a group would not help).",
         fix});
  }
}

void ConcludeModemManager(Report& report) {
  const bool running = report.system.value("modemManagerRunning", false);
  const auto files = RuleFiles();
  const std::string rule = InstalledRule(files);
  // Sets it ("=" or ":="), with blanks around as udev allows; "==" only compares.
  static const std::regex sets(R"re(ENV\{ID_MM_DEVICE_IGNORE\}\s*:?=\s*"1")re");
  const RuleIds ignored = IdsInRules(files, [](const std::string&, const std::string& line) {
    return std::regex_search(line, sets);
  });
  std::vector<std::string> ruleIds;
  for (const auto& [id, file] : ignored.fileOf)
    if (file == rule) ruleIds.push_back(id);
  std::sort(ruleIds.begin(), ruleIds.end());
  report.facts.push_back(
      {"udev rule " + std::string(kRuleName),
       rule.empty() ? "not installed" : rule + " (names " + (ruleIds.empty() ? "no ids" : Join(ruleIds, ", ")) + ")"});
  report.system["udevRuleIds"] = ruleIds;
  // Serial adapters that no rule keeps ModemManager from; modems are its own.
  std::vector<std::string> bare;
  std::vector<std::string> where;
  std::vector<std::string> modems;
  bool adapters = false;
  for (const PortReport& port : report.ports) {
    const std::string ids = AdapterIds(port);
    if (ids.empty()) continue;
    if (port.usb.modem) {
      modems.push_back(port.name + " (" + ids + ", " + port.usb.modemSign + ")");
      continue;
    }
    adapters = true;
    if (Names(ignored.ids, ids)) continue;
    if (!Contains(bare, ids)) bare.push_back(ids);
    where.push_back(port.name + " " + ids);
  }
  report.system["adaptersModemManagerMayProbe"] = bare;
  if (!running) return;
  if (!adapters && rule.empty()) {
    report.findings.push_back(
        {true, "",
         "ModemManager is running and the udev rule that keeps it away from the controller is not "
         "installed: it probes USB serial ports with AT commands.",
         WriteRules(UsbMatch("0483:5740") + ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\\n", kRuleName, false) +
             ", then plug the controller in again (these ids are an example: `lsusb` shows the "
             "controller's)."});
    return;
  }
  if (bare.empty()) return;
  const bool override = rule.rfind(SystemPath("/etc/"), 0) == 0;
  // Appended to a last line without its line end, the first line would join it.
  const std::string last = rule.empty() ? std::string() : ReadAll(rule);
  std::string lines = !last.empty() && last.back() != '\n' ? "\\n" : "";
  for (const std::string& ids : bare) lines += UsbMatch(ids) + ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\\n";
  std::string fix;
  if (!rule.empty() && !override)
    fix = "sudo cp " + ShellWord(rule.substr(platform::SystemRoot().size())) +
          " /etc/udev/rules.d/ && ";
  fix += WriteRules(lines, kRuleName, !rule.empty()) +
         ", then plug the controller in again (one line for each serial adapter found" +
         (modems.empty()       ? std::string()
          : modems.size() == 1 ? "; the modem " + modems.front() + " is left out"
                               : "; the modems " + Join(modems, ", ") + " are left out") +
         ").";
  report.findings.push_back(
      {true, "",
       "ModemManager is running and " +
           (rule.empty() ? std::string("no udev rule keeps it away from ")
                         : "the udev rule " + rule + " does not name ") +
           Join(where, ", ") + ": it probes USB serial ports with AT commands.",
       fix});
}

// brltty's rules claim the USB ids of braille displays, among them common
// USB-serial adapters (the CH340/CH341's 1a86:7523): only a device it claims
// that is plugged in here is taken.
void ConcludeBrltty(Report& report) {
  const bool installed = report.system.value("brlttyInstalled", false);
  std::map<std::string, fs::path> files;
  for (const auto& [name, path] : RuleFiles())
    if (name.find("brltty") != std::string::npos) files[name] = path;
  const RuleIds claimed =
      IdsInRules(files, [](const std::string&, const std::string&) { return true; });
  std::vector<std::string> rules;
  for (const auto& [name, path] : files)
    if (Lower(ReadAll(path)).find("1a86") != std::string::npos) rules.push_back(path.string());
  std::vector<std::string> taken;
  std::string takenRule;
  for (const PortReport& port : report.ports) {
    const std::string ids = AdapterIds(port);
    if (ids.empty() || !Names(claimed.ids, ids)) continue;
    taken.push_back(port.name + " (" + ids + ")");
    const auto it = claimed.fileOf.find(ids);
    if (takenRule.empty())
      takenRule = it != claimed.fileOf.end() ? it->second : claimed.fileOf.at(ids.substr(0, 5) + "*");
  }
  report.facts.push_back(
      {"brltty",
       !installed      ? "not installed"
       : !taken.empty() ? "installed, with rules that take " + Join(taken, ", ")
       : rules.empty()  ? "installed, no rules for CH340/CH341 adapters"
                        : "installed, with rules for CH340/CH341 adapters (none plugged in)"});
  report.system["brlttyRules"] = rules;
  report.system["brlttyTakes"] = taken;
  if (!installed || taken.empty()) return;
  report.findings.push_back(
      {true, "",
       "brltty is installed with udev rules (" + takenRule + ") that take " + Join(taken, ", ") +
           " for a braille display and hold its port.",
       "If no braille display is used here: sudo ln -sf /dev/null /etc/udev/rules.d/" +
           ShellWord(fs::path(takenRule).filename().string()) +
           " && sudo udevadm control --reload (or: sudo apt remove brltty), then plug the adapter "
           "in again."});
}

// As a normal user the open files of other users' processes are out of
// sight: a port without a holder shown may still be in use.
void ConcludeBlindSpots(Report& report) {
  if (report.everyHolderSeen) return;
  std::vector<std::string> unseen;
  for (const PortReport& port : report.ports) {
    // A failed open has told already; one that succeeds has not: a holder
    // that took no exclusive use lets the port open all the same.
    bool shown = !port.holders.empty() || (port.tried && !port.open.opens);
    for (const LockFile& l : port.locks) shown = shown || l.live;
    if (!shown) unseen.push_back(port.name);
  }
  report.system["portsWithUnseenHolders"] = unseen;
  if (unseen.empty()) return;
  report.findings.push_back(
      {false, "",
       "As " + (report.user.sudoFrom.empty() ? report.user.name : std::string("this user")) +
           ", the programs of other users and of the system (ModemManager, brltty, another "
           "user's terminal) that hold a port cannot be seen: " +
           Join(unseen, ", ") + (unseen.size() == 1 ? " shows" : " show") +
           " no holder, which does not mean that no program has " +
           (unseen.size() == 1 ? "it." : "them."),
       report.openAsked ? "sudo tavrin-cli doctor names every holder (an open that succeeds does not "
                          "tell that no other program has the port)."
                        : "sudo tavrin-cli doctor names every holder; tavrin-cli doctor --open tries "
                          "the ports (an open pulses DTR and RTS)."});
}

}  // namespace

}  // namespace cli::doctor
