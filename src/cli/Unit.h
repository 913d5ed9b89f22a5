// What the command line learns of one controller, and prints of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/Driver.h"

namespace cli {

struct Unit {
  std::string port;
  std::uint16_t deviceCode = 0;
  std::string model;
  bool dataMemory = false;
  int bootloader = -1;
  std::uint16_t firmware = 0;
  std::uint16_t dataMap = 0;
  bool programMemoryOk = false;
  bool dataMemoryOk = false;
  bool alert = false;
  std::vector<std::string> report;
  std::vector<std::string> texts;  // boxes and status texts shown
  std::optional<std::uint16_t> versionAfter;
  std::string result;
  int status = kExitSuccess;
  std::uint32_t frames = 0;
  std::uint32_t framesSent = 0;
  double seconds = 0;
  std::string when;  // local time, taken with the report
};

// The unit as one line of compact JSON (no line end): its report, and for a
// write what was written and how it ended.
std::string UnitJson(const Unit& unit, const CliOptions& options, bool dataMap);

}  // namespace cli
