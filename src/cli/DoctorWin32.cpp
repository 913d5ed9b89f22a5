// The Windows checks of tavrin-cli doctor: each COM port with the name the
// Device Manager gives it, and whether it opens.
#include "cli/Doctor.h"
#include "platform/PortInfo.h"
#include "serial/Port.h"

namespace cli::doctor {

void CheckSystem(Report& report) {
  report.system["os"] = "windows";
  report.facts.push_back({"System", "Windows"});
}

void CheckPortUse(PortReport& port) {
  port.device = platform::DescribePort(port.name);
  port.usb = platform::UsbDetailsFor(port.name);
}

void JudgePort(const PortReport& port, Report& report) {
  if (!port.tried || port.opens) return;
  if (port.openError != kOpenFailedText) {
    // It opened, and then refused the line settings the programmer needs.
    report.findings.push_back(
        {true, port.name,
         port.name + " opens but refuses the line settings (" + port.openError +
             "): its driver is not a serial port's, or the device is not working.",
         "Unplug the adapter and plug it in again; the Device Manager shows whether Windows sees "
         "it and which driver it has."});
    return;
  }
  report.findings.push_back(
      {true, port.name,
       port.name + " does not open (" + port.openError +
           "): another program has it open (a terminal, another programmer), or the adapter has "
           "gone.",
       "Close the program that uses " + port.name +
           ", or unplug the adapter and plug it in again (the Device Manager shows whether Windows "
           "sees it)."});
}

void Conclude(Report&) {}

}  // namespace cli::doctor
