// The ports subcommand, and --port given as a device path.
#include "serial/Ports.h"

#include <asio/io_context.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Driver.h"
#include "cli/Text.h"
#include "cli/UsbText.h"
#include "platform/Console.h"
#include "platform/DeviceNames.h"
#include "platform/PortInfo.h"
#include "platform/UsbInfo.h"
#include "serial/NetNames.h"
#include "serial/NetPort.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

// The COM names the scan tries, in its order.
std::vector<std::string> ScanPorts() {
  asio::io_context io;
  ConsoleWindow& window = ConsoleWindow::Instance();
  window.Attach(io, kProgram);
  window.SetPortFilter({});
  window.PortListClear();
  ListSerialPorts();
  std::vector<std::string> ports = window.Ports();
  window.Detach();
  return ports;
}

namespace {

// The name map's entries that the scan does not try, and the map's mistakes.
std::string MapNotes() {
  std::vector<std::string> problems;
  const std::vector<NetNameEntry> entries = ReadNetNameMap(&problems);
  std::string text;
  for (const auto& entry : entries) {
    if (entry.shadowed)
      text += "  " + entry.name + " = " + entry.url + " is not tried: a port of this machine has that name.\n";
  }
  for (const auto& problem : problems) text += "  " + problem + " (the line is left out)\n";
  if (!text.empty()) text = "The name map " + platform::NetworkPortMapPath() + ":\n" + text;
  return text;
}

std::string PortList(const std::vector<std::string>& ports) {
  if (ports.empty()) return "No COM ports: the scan would find nothing to try.\n";
  std::string text = "The scan tries these ports, in this order:\n";
  for (const std::string& name : ports) {
    std::string padded = name;
    if (padded.size() < 7) padded.append(7 - padded.size(), ' ');
    if (const std::string url = NetUrlForPortName(name); !url.empty()) {
      text += "  " + padded + " " + url + " (on another machine)\n";
      continue;
    }
    text += "  " + padded + " " + platform::DescribePort(name) + "\n";
    text += UsbLines(platform::UsbDetailsForPort(name), "          ");
  }
  return text;
}

}  // namespace

int RunPorts() {
  platform::WriteText(stdout, PortList(ScanPorts()) + MapNotes());
  return kExitSuccess;
}

int ResolvePort(std::string& port) {
  if (IsNetUrl(port)) {
    NetAddress address;
    std::string why;
    if (!ParseNetUrl(port, address, &why)) {
      platform::WriteText(stderr, ErrorLine(port + ": " + why + " (see --help)\n"));
      return kExitUsage;
    }
    AddRunNetPort(port);
    return kExitSuccess;
  }
  if (port.empty() || port.front() != '/') return kExitSuccess;
  const std::vector<std::string> ports = ScanPorts();
  const std::string name = platform::PortForDevicePath(port, ports);
  if (!name.empty()) {
    port = name;
    return kExitSuccess;
  }
  platform::WriteText(
      stderr,
      ErrorLine(port + ": no COM port stands for this device (see --help)\n") + PortList(ports));
  return kExitUsage;
}

}  // namespace cli
