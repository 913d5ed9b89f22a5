#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/Unit.h"
#include "platform/File.h"
#include "platform/Sha256.h"
#include "transfer/ImageStore.h"

namespace cli {

namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

// A whole number of seconds is written as a number without a fraction.
nlohmann::json Seconds(double value) {
  const double seconds = std::round(value * 1000) / 1000;
  if (seconds == std::floor(seconds) && std::fabs(seconds) < 9e15) {
    return static_cast<std::int64_t>(seconds);
  }
  return seconds;
}

nlohmann::json Optional(const std::optional<std::uint16_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json UnitRecord(const Unit& unit, const RecordContext& context) {
  // Keys in alphabetical order, as the objects have always been printed.
  nlohmann::json o;
  o["record"] = kRecordVersion;
  o["time"] = unit.time;
  o["machine"] = context.machine;
  o["port"] = unit.port;
  o["device"] = unit.device;
  if (!unit.usbLocation.empty()) o["usbLocation"] = unit.usbLocation;
  o["deviceCode"] = unit.deviceCode;
  o["model"] = unit.model;
  o["bootloaderVersion"] = unit.bootloader;
  o["firmwareVersion"] = unit.firmware;
  if (unit.dataMemory) o["dataMapVersion"] = unit.dataMap;
  o["programMemoryOk"] = unit.programMemoryOk;
  if (unit.dataMemory) o["dataMemoryOk"] = unit.dataMemoryOk;
  o["alert"] = unit.alert;
  o["report"] = unit.report;
  if (context.options->command == CliOptions::Command::Write) {
    o["file"] = context.options->file;
    if (context.file != nullptr) {
      o["fileName"] = context.file->name;
      o["fileSize"] = context.file->size;
      o["fileSha256"] = context.file->sha256;
    }
    o["kind"] = context.dataMap ? "data map" : "firmware";
    o["frames"] = unit.frames;
    o["framesSent"] = unit.framesSent;
    o["retransmissions"] = unit.retransmissions;
    o["seconds"] = Seconds(unit.seconds);
    o[context.dataMap ? "dataMapVersionAfter" : "firmwareVersionAfter"] =
        Optional(unit.versionAfter);
    if (unit.dataMemory || context.dataMap) {
      o[context.dataMap ? "firmwareVersionAfter" : "dataMapVersionAfter"] =
          Optional(unit.otherAfter);
    }
  }
  o["result"] = unit.result;
  o["exitStatus"] = unit.status;
  o["texts"] = unit.texts;
  return o;
}

FileFacts ReadFileFacts(const std::string& path) {
  FileFacts facts;
  const auto slash = path.find_last_of(kSeparators);
  facts.name = slash == std::string::npos ? path : path.substr(slash + 1);
  platform::InputFile in;
  if (in.Open(path) != platform::InputFile::OpenResult::Ok) return facts;
  // A file larger than any controller takes is refused unread: so it is here.
  if (in.Size() > static_cast<std::int64_t>(kStoreBytes)) {
    facts.size = in.Size();
    return facts;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.Size()));
  if (!in.ReadFromStart(bytes.data(), bytes.size())) return facts;
  facts.size = in.Size();
  facts.sha256 = platform::Sha256Hex(bytes.data(), bytes.size());
  return facts;
}

std::string RecordLine(const nlohmann::json& record) {
  // A text that is not UTF-8 (a file name) still prints, with U+FFFD.
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace cli
