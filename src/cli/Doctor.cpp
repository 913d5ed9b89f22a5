#include "cli/Doctor.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "cli/Text.h"
#include "cli/UsbText.h"

namespace cli::doctor {

namespace {

bool InUse(const PortReport& port) {
  if (!port.holders.empty()) return true;
  for (const LockFile& lock : port.locks) {
    if (lock.live) return true;
  }
  return false;
}

const char* AccessName(Access access) {
  switch (access) {
    case Access::Root: return "root";
    case Access::Owner: return "owner";
    case Access::Group: return "group";
    case Access::Acl: return "acl";
    case Access::Other: return "everyone";
    case Access::NewLogin: return "afterNewLogin";
    case Access::Denied: return "denied";
    case Access::Unknown: break;
  }
  return "unknown";
}

std::string AccessText(const PortReport& port, const JudgedUser& user) {
  const std::string& group = port.node.group;
  switch (port.access) {
    case Access::Root: return "yes (root)";
    case Access::Owner: return "yes, as its owner";
    case Access::Group: return "yes, as a member of " + group;
    case Access::Acl: return "yes, through an ACL (the desktop's uaccess gives it at the seat)";
    case Access::Other: return "yes, it is open to every user";
    case Access::NewLogin: return "after a new login (" + group + " was added since this one)";
    case Access::Denied: return "no";
    case Access::Unknown: break;
  }
  (void)user;
  return {};
}

std::string ModeText(unsigned mode) { return Format("%04o", mode & 07777); }

nlohmann::json PortJson(const PortReport& port) {
  nlohmann::json o;
  o["name"] = port.name;
  o["device"] = port.device;
  o["holders"] = nlohmann::json::array();
  for (const Holder& h : port.holders) o["holders"].push_back({{"pid", h.pid}, {"name", h.name}});
  o["holdersOfEveryUserSeen"] = port.everyHolderSeen;
  o["locks"] = nlohmann::json::array();
  for (const LockFile& l : port.locks) {
    nlohmann::json lock = {{"path", l.path}, {"pid", l.pid}, {"stale", !l.live}};
    if (!l.live) lock["removable"] = l.folderWritable;
    o["locks"].push_back(lock);
  }
  if (port.node.known) {
    o["node"] = {{"owner", port.node.owner}, {"group", port.node.group},
                 {"mode", ModeText(port.node.mode)}, {"acl", port.node.acl}};
  }
  if (port.access != Access::Unknown) o["access"] = AccessName(port.access);
  o["tried"] = port.tried;
  o["opens"] = port.open.opens;
  if (port.tried && !port.open.opens) {
    o["openError"] = port.open.text;
    if (port.open.failure.error != 0) o["openErrno"] = port.open.failure.error;
  }
  if (port.usb.usb) {
    const platform::UsbDetails& u = port.usb;
    nlohmann::json usb = {
        {"vendorId", u.vendorId}, {"productId", u.productId}, {"manufacturer", u.manufacturer},
        {"product", u.product},   {"serial", u.serial},       {"driver", u.driver},
        {"location", u.location}, {"modem", u.modem}};
    usb["latencyTimerMs"] = u.latencyTimerMs >= 0 ? nlohmann::json(u.latencyTimerMs) : nullptr;
    if (!u.byPath.empty()) usb["byPath"] = u.byPath;
    if (!u.byId.empty()) usb["byId"] = u.byId;
    if (!u.friendlyName.empty()) usb["friendlyName"] = u.friendlyName;
    if (u.modem) usb["modemSign"] = u.modemSign;
    o["usb"] = usb;
  } else if (!port.usb.friendlyName.empty()) {
    o["friendlyName"] = port.usb.friendlyName;
  }
  return o;
}

std::string PortText(const PortReport& port, const Report& report) {
  constexpr const char* kIndent = "          ";
  std::string text = Format("  %-7s %s\n", port.name.c_str(), port.device.c_str());
  text += UsbLines(port.usb, kIndent);
  if (port.node.known) {
    text += kIndent + ("node " + port.node.owner + ":" + port.node.group + " " +
                       ModeText(port.node.mode) + (port.node.acl ? " with an ACL" : "")) +
            ", " + report.user.name + " may open it: " + AccessText(port, report.user) + "\n";
  }
  for (const Holder& h : port.holders)
    text += Format("          held by process %d (%s)\n", h.pid, h.name.c_str());
  if (!port.everyHolderSeen && port.holders.empty())
    text += std::string(kIndent) + "held by: none of " + report.user.name +
            "'s programs; other users' programs cannot be seen\n";
  for (const LockFile& l : port.locks) {
    text += kIndent + ("lock file " + l.path) +
            (l.pid > 0 ? Format(" of process %d", l.pid) : std::string()) +
            (l.live ? ": held\n" : ": stale\n");
  }
  if (!port.tried)
    text += InUse(port)        ? "          opens: not tried, the port is in use\n"
            : report.openAsked ? "          opens: not tried\n"
                               : "          opens: not tried (--open tries it)\n";
  else
    text += port.open.opens ? "          opens: yes\n"
                            : "          opens: no (" + port.open.text + ")\n";
  return text;
}

int Problems(const Report& report) {
  return static_cast<int>(std::count_if(report.findings.begin(), report.findings.end(),
                                        [](const Finding& f) { return f.problem; }));
}

}  // namespace

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

Report Examine(const std::vector<std::string>& names, const Opener& open) {
  Report report;
  report.openAsked = static_cast<bool>(open);
  CheckSystem(report);
  for (const std::string& name : names) {
    PortReport port;
    port.name = name;
    if (CheckNetPort(port, report)) {
      report.ports.push_back(std::move(port));
      continue;
    }
    CheckPortUse(port, report);
    // Never opened while another program has it or has locked it: the open
    // alone would raise its modem lines under that program. Nor unasked: it
    // raises them on whatever is attached.
    if (open && !InUse(port)) {
      port.tried = true;
      port.open = open(name);
      AfterOpen(port);
    }
    report.ports.push_back(std::move(port));
  }
  for (const PortReport& port : report.ports)
    if (!port.network) JudgePort(port, report);
  Conclude(report);
  if (report.ports.empty()) {
    report.findings.push_back(
        {true, "", "No serial port: the scan would find nothing to try.",
         "Plug the controller in (a USB cable that carries data, not only power), then run "
         "tavrin-cli doctor again."});
  }
  return report;
}

nlohmann::json ReportJson(const Report& report) {
  nlohmann::json o;
  o["system"] = report.system;
  o["openAsked"] = report.openAsked;
  o["ports"] = nlohmann::json::array();
  for (const PortReport& port : report.ports) o["ports"].push_back(PortJson(port));
  o["findings"] = nlohmann::json::array();
  for (const Finding& f : report.findings) {
    nlohmann::json finding = {{"problem", f.problem}, {"what", f.what}, {"fix", f.fix}};
    if (!f.port.empty()) finding["port"] = f.port;
    o["findings"].push_back(finding);
  }
  o["ok"] = Problems(report) == 0;
  return o;
}

std::string ReportText(const Report& report) {
  std::string text;
  for (const auto& [label, value] : report.facts) text += label + ": " + value + "\n";
  text += report.ports.empty() ? "No COM ports.\n" : "Ports the scan tries, in its order:\n";
  for (const PortReport& port : report.ports) text += PortText(port, report);
  text += "\n";
  for (const Finding& f : report.findings) {
    text += std::string(f.problem ? "PROBLEM: " : "Note: ") + f.what + "\n";
    text += "  Fix: " + f.fix + "\n";
  }
  const int problems = Problems(report);
  text += problems == 0 ? "Nothing stands in the way.\n"
                        : Format("%d problem%s stand%s in the way.\n", problems,
                                 problems == 1 ? "" : "s", problems == 1 ? "s" : "");
  return text;
}

int ExitStatus(const Report& report) { return Problems(report) == 0 ? 0 : 1; }

}  // namespace cli::doctor
