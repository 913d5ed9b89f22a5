// tavrin-cli doctor as the program runs it: the scan's ports, and --open
// through the scan's own open and close.
#include <asio/io_context.hpp>
#include <cstdio>

#include "cli/Doctor.h"
#include "cli/Driver.h"
#include "cli/Text.h"
#include "cli/Unit.h"
#include "platform/Console.h"
#include "serial/Port.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

namespace {

// The port is set with DTR and RTS low at once and nothing is sent; the
// window stays quiet meanwhile.
doctor::OpenResult TryOpen(const std::string& name) {
  asio::io_context io;
  ConsoleWindow& window = ConsoleWindow::Instance();
  window.Attach(io, kProgram);
  window.SetQuiet(true);
  window.SetStatusText("");
  doctor::OpenResult result;
  result.opens = OpenPort(name);
  if (!result.opens) {
    result.text = window.Status();
    result.failure = platform::LastSerialOpenFailure();
  }
  ClosePort();
  window.SetQuiet(false);
  window.Detach();
  return result;
}

}  // namespace

int RunDoctor(bool json, bool open) {
  const doctor::Report report =
      doctor::Examine(ScanPorts(), open ? doctor::Opener(TryOpen) : doctor::Opener());
  platform::WriteText(stdout, json ? RecordLine(doctor::ReportJson(report)) + "\n"
                                   : doctor::ReportText(report));
  // A full disk must not pass for a machine where nothing stands in the way.
  if (std::ferror(stdout) != 0) {
    platform::WriteText(stderr, ErrorLine("the findings could not be written to standard output\n"));
    return kExitUsage;
  }
  return doctor::ExitStatus(report) == 0 ? kExitSuccess : 1;
}

}  // namespace cli
