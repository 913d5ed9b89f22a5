// The Windows checks of tavrin-cli doctor: each COM port with the name the
// Device Manager gives it, and with --open whether it opens.
#include "cli/Doctor.h"
#include "cli/Text.h"
#include "platform/PortInfo.h"
#include "serial/Port.h"

namespace cli::doctor {

namespace {
// The system's error numbers of a failed CreateFile on a COM port.
constexpr int kErrorFileNotFound = 2;
constexpr int kErrorAccessDenied = 5;  // what another program's open gives
}  // namespace

void CheckSystem(Report& report) {
  report.system["os"] = "windows";
  report.facts.push_back({"System", "Windows"});
}

void CheckPortUse(PortReport& port, Report&) {
  port.device = platform::DescribePort(port.name);
  port.usb = platform::UsbDetailsFor(port.name);
}

void AfterOpen(PortReport&) {}

void JudgePort(const PortReport& port, Report& report) {
  if (!port.tried || port.open.opens) return;
  if (port.open.text != kOpenFailedText) {
    // It opened, and then refused the line settings the programmer needs.
    report.findings.push_back(
        {true, port.name,
         port.name + " opens but refuses the line settings (" + port.open.text +
             "): its driver is not a serial port's, or the device is not working.",
         "Unplug the adapter and plug it in again; the Device Manager shows whether Windows sees "
         "it and which driver it has."});
    return;
  }
  const int error = port.open.failure.error;
  const std::string why =
      error == kErrorAccessDenied   ? ": another program has it open (a terminal, another programmer)"
      : error == kErrorFileNotFound ? ": the adapter has gone"
                                    : ": another program has it open (a terminal, another "
                                      "programmer), or the adapter has gone";
  report.findings.push_back(
      {true, port.name,
       port.name + " does not open (" + port.open.text + Format(", error %d", error) + ")" + why +
           ".",
       "Close the program that uses " + port.name +
           ", or unplug the adapter and plug it in again (the Device Manager shows whether Windows "
           "sees it)."});
}

void Conclude(Report&) {}

}  // namespace cli::doctor
