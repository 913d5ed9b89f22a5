// tavrin-cli doctor: what stands between this machine and a controller. The
// system's own checks are in DoctorLinux.cpp and DoctorWin32.cpp; the ports,
// the forms of output and the verdict here.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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
};

struct PortReport {
  std::string name;    // COM name
  std::string device;  // the device file, or what the system names it
  std::vector<Holder> holders;
  std::vector<LockFile> locks;
  bool tried = false;  // an open was tried (never for a port in use)
  bool opens = false;
  std::string openError;
  platform::UsbDetails usb;
};

struct Report {
  // What the system checks found, as "label: value" lines and as JSON.
  std::vector<std::pair<std::string, std::string>> facts;
  nlohmann::json system = nlohmann::json::object();
  std::vector<PortReport> ports;
  std::vector<Finding> findings;
};

// The machine: who the user is and may open, programs that take ports.
void CheckSystem(Report& report);
// Before an open: the device behind the COM name, who holds it, its locks.
void CheckPortUse(PortReport& port);
// After the open: the findings of one port (the system's own wording).
void JudgePort(const PortReport& port, Report& report);
// A port on another machine (a URL, or a name the map gives one): checked
// all the way through its server, instead of CheckPortUse; false for a port
// of this machine. DoctorNet.cpp.
bool CheckNetPort(PortReport& port, Report& report);
// After every port: what needs all of them (the udev rule names their ids).
void Conclude(Report& report);

}  // namespace cli::doctor
