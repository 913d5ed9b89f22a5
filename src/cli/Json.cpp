#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/Unit.h"

namespace cli {

std::string UnitJson(const Unit& unit, const CliOptions& options, bool dataMap) {
  // Keys in alphabetical order, as the objects have always been printed.
  nlohmann::json o;
  o["port"] = unit.port;
  o["deviceCode"] = unit.deviceCode;
  o["model"] = unit.model;
  o["bootloaderVersion"] = unit.bootloader;
  o["firmwareVersion"] = unit.firmware;
  if (unit.dataMemory) o["dataMapVersion"] = unit.dataMap;
  o["programMemoryOk"] = unit.programMemoryOk;
  if (unit.dataMemory) o["dataMemoryOk"] = unit.dataMemoryOk;
  o["alert"] = unit.alert;
  o["report"] = unit.report;
  if (options.command == CliOptions::Command::Write) {
    o["file"] = options.file;
    o["kind"] = dataMap ? "data map" : "firmware";
    o["frames"] = unit.frames;
    o["framesSent"] = unit.framesSent;
    const double seconds = std::round(unit.seconds * 1000) / 1000;
    // A whole number of seconds is written as a number without a fraction.
    if (seconds == std::floor(seconds) && std::fabs(seconds) < 9e15) {
      o["seconds"] = static_cast<std::int64_t>(seconds);
    } else {
      o["seconds"] = seconds;
    }
    if (unit.versionAfter)
      o[dataMap ? "dataMapVersionAfter" : "firmwareVersionAfter"] = *unit.versionAfter;
  }
  o["result"] = unit.result;
  o["exitStatus"] = unit.status;
  o["texts"] = unit.texts;
  // A text that is not UTF-8 (a file name) still prints, with U+FFFD.
  return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace cli
