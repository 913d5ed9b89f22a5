// The ports subcommand, and --port given as a device path.
#include "serial/Ports.h"

#include <asio/io_context.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Driver.h"
#include "cli/Text.h"
#include "platform/Console.h"
#include "platform/PortInfo.h"
#include "platform/UsbInfo.h"
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

std::string PortList(const std::vector<std::string>& ports) {
  if (ports.empty()) return "No COM ports: the scan would find nothing to try.\n";
  std::string text = "The scan tries these ports, in this order:\n";
  for (const std::string& name : ports) {
    std::string padded = name;
    if (padded.size() < 7) padded.append(7 - padded.size(), ' ');
    text += "  " + padded + " " + platform::DescribePort(name) + "\n";
    const platform::UsbDetails usb = platform::UsbDetailsForPort(name);
    if (!usb.friendlyName.empty()) text += "          " + usb.friendlyName + "\n";
    if (usb.usb) {
      text += "          USB " + usb.vendorId + ":" + usb.productId;
      if (!usb.product.empty()) text += " \"" + usb.product + "\"";
      if (!usb.serial.empty()) text += ", serial " + usb.serial;
      text += "\n";
      if (!usb.byPath.empty()) text += "          " + usb.byPath + "\n";
    }
  }
  return text;
}

}  // namespace

int RunPorts() {
  platform::WriteText(stdout, PortList(ScanPorts()));
  return kExitSuccess;
}

int ResolvePort(std::string& port) {
  // com20 is COM20, as Windows takes it; on Linux too, where the COM names
  // are this program's own links and always upper case.
  if (port.size() > 3 && (port[0] | 0x20) == 'c' && (port[1] | 0x20) == 'o' &&
      (port[2] | 0x20) == 'm' && port.find_first_not_of("0123456789", 3) == std::string::npos) {
    port.replace(0, 3, "COM");
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
