// What the command line learns of one controller, and prints of it.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/Driver.h"

namespace cli {

// The record's layout; raised when a field changes its meaning. New fields
// alone do not raise it: readers ignore what they do not know.
inline constexpr int kRecordVersion = 1;

struct Unit {
  std::string port;
  std::string device;       // what the port name stands for
  std::string usbLocation;  // Linux: the adapter's USB location path
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
  std::vector<std::string> texts;             // boxes and status texts shown
  std::optional<std::uint16_t> versionAfter;  // of the kind written
  std::optional<std::uint16_t> otherAfter;    // of the other kind, when --verify read it
  std::string result;
  int status = kExitSuccess;
  std::uint32_t frames = 0;
  std::uint32_t framesSent = 0;
  std::uint64_t retransmissions = 0;
  double seconds = 0;
  std::string when;  // local time, taken with the report
  std::string time;  // the same moment in UTC, ISO 8601
};

// The file a write gives every unit, as the record names it.
struct FileFacts {
  std::string name;  // the last part of the path
  std::int64_t size = -1;
  std::string sha256;
};

// The file's name, size and SHA-256; size -1 when it cannot be read.
FileFacts ReadFileFacts(const std::string& path);

// Whatever the unit's record holds beyond the unit.
struct RecordContext {
  const CliOptions* options = nullptr;
  const FileFacts* file = nullptr;  // write only
  std::string machine;
  bool dataMap = false;
};

// A unit's record: the one object --json prints and --log appends.
nlohmann::json UnitRecord(const Unit& unit, const RecordContext& context);
// Any JSON object as one line of compact JSON (no line end): the records,
// and what a worker and its supervisor say to each other.
std::string RecordLine(const nlohmann::json& record);

}  // namespace cli
