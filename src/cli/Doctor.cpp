#include "cli/Doctor.h"

#include <asio/io_context.hpp>
#include <cstdio>

#include "cli/Driver.h"
#include "cli/Text.h"
#include "platform/Console.h"
#include "serial/Port.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

namespace doctor {
namespace {

// Through the scan's own open and close, so the port is set with DTR and RTS
// low at once and nothing is sent; the window stays quiet meanwhile.
void TryOpen(PortReport& port) {
  asio::io_context io;
  ConsoleWindow& window = ConsoleWindow::Instance();
  window.Attach(io, kProgram);
  window.SetQuiet(true);
  window.SetStatusText("");
  port.tried = true;
  port.opens = OpenPort(port.name);
  if (!port.opens) port.openError = window.Status();
  ClosePort();
  window.SetQuiet(false);
  window.Detach();
}

bool InUse(const PortReport& port) {
  if (!port.holders.empty()) return true;
  for (const LockFile& lock : port.locks) {
    if (lock.live) return true;
  }
  return false;
}

nlohmann::json PortJson(const PortReport& port) {
  nlohmann::json o;
  o["name"] = port.name;
  o["device"] = port.device;
  o["holders"] = nlohmann::json::array();
  for (const Holder& h : port.holders) o["holders"].push_back({{"pid", h.pid}, {"name", h.name}});
  o["locks"] = nlohmann::json::array();
  for (const LockFile& l : port.locks)
    o["locks"].push_back({{"path", l.path}, {"pid", l.pid}, {"stale", !l.live}});
  o["tried"] = port.tried;
  o["opens"] = port.opens;
  if (!port.openError.empty()) o["openError"] = port.openError;
  if (port.usb.usb) {
    const platform::UsbDetails& u = port.usb;
    nlohmann::json usb = {
        {"vendorId", u.vendorId}, {"productId", u.productId}, {"manufacturer", u.manufacturer},
        {"product", u.product},   {"serial", u.serial},       {"driver", u.driver},
        {"location", u.location}};
    usb["latencyTimerMs"] = u.latencyTimerMs >= 0 ? nlohmann::json(u.latencyTimerMs) : nullptr;
    if (!u.byPath.empty()) usb["byPath"] = u.byPath;
    if (!u.byId.empty()) usb["byId"] = u.byId;
    if (!u.friendlyName.empty()) usb["friendlyName"] = u.friendlyName;
    o["usb"] = usb;
  } else if (!port.usb.friendlyName.empty()) {
    o["friendlyName"] = port.usb.friendlyName;
  }
  return o;
}

std::string PortText(const PortReport& port) {
  std::string text = Format("  %-7s %s\n", port.name.c_str(), port.device.c_str());
  const platform::UsbDetails& u = port.usb;
  if (!u.friendlyName.empty()) text += "          " + u.friendlyName + "\n";
  if (u.usb) {
    text += "          USB " + u.vendorId + ":" + u.productId;
    if (!u.product.empty()) text += " \"" + u.product + "\"";
    if (!u.manufacturer.empty()) text += " by " + u.manufacturer;
    text += ", serial " + (u.serial.empty() ? std::string("none") : u.serial);
    if (!u.driver.empty()) text += ", driver " + u.driver;
    if (u.latencyTimerMs >= 0) text += Format(", latency timer %d ms", u.latencyTimerMs);
    text += "\n";
    if (!u.byPath.empty()) text += "          " + u.byPath + "\n";
  }
  for (const Holder& h : port.holders)
    text += Format("          held by process %d (%s)\n", h.pid, h.name.c_str());
  for (const LockFile& l : port.locks) {
    text += "          lock file " + l.path +
            (l.pid > 0 ? Format(" of process %d", l.pid) : std::string()) +
            (l.live ? ": held\n" : ": stale\n");
  }
  if (!port.tried)
    text += "          opens: not tried, the port is in use\n";
  else
    text +=
        port.opens ? "          opens: yes\n" : "          opens: no (" + port.openError + ")\n";
  return text;
}

}  // namespace
}  // namespace doctor

int RunDoctor(bool json) {
  using namespace doctor;
  Report report;
  CheckSystem(report);
  for (const std::string& name : ScanPorts()) {
    PortReport port;
    port.name = name;
    if (CheckNetPort(port, report)) {
      report.ports.push_back(std::move(port));
      continue;
    }
    CheckPortUse(port);
    // Never opened while another program has it or has locked it: the open
    // alone would raise its modem lines under that program.
    if (!InUse(port)) TryOpen(port);
    JudgePort(port, report);
    report.ports.push_back(std::move(port));
  }
  Conclude(report);
  if (report.ports.empty()) {
    report.findings.push_back(
        {true, "", "No serial port: the scan would find nothing to try.",
         "Plug the controller in (a USB cable that carries data, not only power), then run "
         "tavrin-cli doctor again."});
  }
  int problems = 0;
  for (const Finding& f : report.findings) problems += f.problem ? 1 : 0;

  if (json) {
    nlohmann::json o;
    o["system"] = report.system;
    o["ports"] = nlohmann::json::array();
    for (const PortReport& port : report.ports) o["ports"].push_back(PortJson(port));
    o["findings"] = nlohmann::json::array();
    for (const Finding& f : report.findings) {
      nlohmann::json finding = {{"problem", f.problem}, {"what", f.what}, {"fix", f.fix}};
      if (!f.port.empty()) finding["port"] = f.port;
      o["findings"].push_back(finding);
    }
    o["ok"] = problems == 0;
    platform::WriteText(stdout, o.dump() + "\n");
    return problems == 0 ? kExitSuccess : 1;
  }
  std::string text;
  for (const auto& [label, value] : report.facts) text += label + ": " + value + "\n";
  text += report.ports.empty() ? "No COM ports.\n" : "Ports the scan tries, in its order:\n";
  for (const PortReport& port : report.ports) text += PortText(port);
  text += "\n";
  for (const Finding& f : report.findings) {
    text += std::string(f.problem ? "PROBLEM: " : "Note: ") + f.what + "\n";
    text += "  Fix: " + f.fix + "\n";
  }
  text += problems == 0 ? "Nothing stands in the way.\n"
                        : Format("%d problem%s stand%s in the way.\n", problems,
                                 problems == 1 ? "" : "s", problems == 1 ? "s" : "");
  platform::WriteText(stdout, text);
  return problems == 0 ? kExitSuccess : 1;
}

}  // namespace cli
