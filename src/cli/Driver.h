// The command-line programmer: plays the user's clicks on the console window
// (CONNECT, update firmware or write data map with the file given in place of
// the file dialog's answer) and reads the outcome from what the units show.
// Session.cpp: one controller; Loop.cpp: the end of one and --loop;
// Progress.cpp, Json.cpp: the output forms besides the window's own lines.
#pragma once

#include <string>
#include <vector>

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitControllerFailure = 1,  // the controller's result frame said failure
  kExitUsage = 2,              // usage, or a file that cannot be read
  kExitNoController = 3,       // nobody answered within the time-out
  kExitLinkLost = 4,           // the link ended without a result
  kExitRefused = 5,            // file or action refused, question answered No
  kExitInterrupted = 130,
};

inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 success; 1 the controller reported failure (or --verify found another "
    "version); 2 usage, an unreadable file or a trace file that could not be written; 3 no "
    "controller answered within the time-out; 4 the link was lost (retry limit, or the controller "
    "unplugged mid-write); 5 the file or the action "
    "was refused (wrong device, corrupted, version question answered No, unknown controller); "
    "130 interrupted. Under --loop a controller already at the file's version is left alone "
    "(0) unless --rewrite. --loop ended between units (Ctrl+C, SIGTERM, SIGHUP, a closed "
    "output) exits by its tally: 1 if a unit failed (a lost link and a verify time-out count as failed), else 5 "
    "if one was refused, else 0; ended during a unit, 130. SIGHUP or a closed output never cuts a "
    "write: the unit is finished and recorded first.";

struct CliOptions {
  enum class Command { Ports, Identify, Write };
  Command command = Command::Ports;
  std::string file;
  std::string port;  // empty: scan every port
  std::vector<std::string> ports;  // as given; more than one: a slot for each
  int worker = 0;                  // >0: the internal worker of this slot
  double timeoutSeconds = 10;
  std::string log;  // --log FILE: one JSON line per unit appended
  bool yes = false;
  bool rewrite = false;
  bool verify = false;
  bool loop = false;
  bool json = false;
  std::string trace;  // --trace FILE; empty: none
  bool traceFailuresOnly = false;
};

namespace cli {

// Lists the ports the scan would try, in its order.
int RunPorts();
// The COM names the scan tries, in its order.
std::vector<std::string> ScanPorts();
// Checks what stands between this machine and a controller (DoctorRun.cpp);
// `open`: each free port is opened and closed as well.
int RunDoctor(bool json, bool open);
// A --port given as a device path (/dev/ttyACM0, a /dev/serial/... link)
// becomes the COM name that stands for it; kExitUsage, with the ports
// listed, when none does.
int ResolvePort(std::string& port);
// identify and write; `title` is the application's title, as the plain
// message boxes show it.
int RunSession(const CliOptions& options, const std::string& title);

}  // namespace cli
