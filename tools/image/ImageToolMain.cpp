// tavrin-image-tool: makes, inspects and (for tests) damages .sbin and .lbin files.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/Cli.h"
#include "image/ImageFile.h"
#include "platform/File.h"

namespace fs = std::filesystem;
using namespace tavrin::image;

namespace {

constexpr const char* kProgram = "tavrin-image-tool";

const std::string kCrcRule =
    std::string(kImageCrcRuleHelp) + " The virtual controller checks a written image by the same rule.";

int Fail(const std::string& reason) { return tavrin::cli::Fail(kProgram, reason, 1); }

// A file that cannot be read as a file (missing, a directory, a FIFO, a
// device, larger than the programmer's store): exit 2, like a wrong option.
constexpr int kUnreadable = 2;
constexpr std::size_t kMaxFileBytes = kMaxFrames * kFrameSize;

// Opens without blocking and reads from the opened file, at most
// kMaxFileBytes: a FIFO or /dev/zero never holds the tool up.
bool ReadFile(const std::string& path, std::vector<std::uint8_t>& out, std::string& error) {
  platform::InputFile file;
  switch (file.Open(path)) {
    case platform::InputFile::OpenResult::Ok:
      break;
    case platform::InputFile::OpenResult::CannotOpen:
      error = "cannot open " + path;
      return false;
    case platform::InputFile::OpenResult::NotRegularFile:
      error = path + " is not a regular file (a directory, FIFO or device)";
      return false;
  }
  if (file.Size() > static_cast<std::int64_t>(kMaxFileBytes)) {
    error = path + " is larger than " + std::to_string(kMaxFileBytes) +
            " bytes, the most the programmer takes";
    return false;
  }
  out.assign(static_cast<std::size_t>(file.Size()), 0);
  if (!file.ReadFromStart(out.data(), out.size())) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

// Written beside the target and renamed over it, so a failed run never leaves
// half a file under the requested name.
bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string& error) {
  const std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create " + temp;
      return false;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      fs::remove(temp, ec);
      error = "cannot write " + temp;
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    error = "cannot rename " + temp + " to " + path;
    return false;
  }
  return true;
}

std::mt19937 MakeRng(const std::optional<std::uint32_t>& seed) {
  if (seed) return std::mt19937(*seed);
  std::random_device device;
  std::seed_seq seq{device(), device(), device(), device()};
  return std::mt19937(seq);
}

struct MakeArgs {
  int device = 0;
  int version = 0;
  std::string payload;
  std::size_t frames = 0;
  std::string output;
  std::optional<std::uint32_t> seed;
};

void AddMakeOptions(CLI::App* cmd, MakeArgs& a, const char* versionName,
                    const char* versionHelp) {
  cmd->add_option("--device", a.device, "Device type code written into the header (0-65535)")
      ->required()
      ->check(CLI::Range(0, 65535));
  cmd->add_option(versionName, a.version, versionHelp)->required()->check(CLI::Range(0, 65535));
  auto* payload =
      cmd->add_option("--payload", a.payload, "File whose bytes form the payload (padded with FF "
                                              "to whole frames)")
          ->check(CLI::ExistingFile);
  auto* frames = cmd->add_option("--frames", a.frames, "Make this many payload frames of "
                                                       "generated data instead")
                     ->check(CLI::Range(std::size_t{0}, kMaxFrames));
  payload->excludes(frames);
  frames->excludes(payload);
  cmd->add_option("-o,--output", a.output, "File to write")->required();
  cmd->add_option("--seed", a.seed,
                  "Seed for the selector bytes and generated data (default: random), for "
                  "reproducible files");
}

int RunMake(const MakeArgs& a, Kind kind, const CLI::App* cmd) {
  if (cmd->count("--payload") == 0 && cmd->count("--frames") == 0) {
    return tavrin::cli::Fail(kProgram, "give --payload FILE or --frames K (see --help)", 2);
  }
  std::mt19937 rng = MakeRng(a.seed);
  std::vector<std::uint8_t> payload;
  std::string error;
  if (!a.payload.empty()) {
    if (!ReadFile(a.payload, payload, error))
      return tavrin::cli::Fail(kProgram, error, kUnreadable);
  } else {
    payload = GeneratePayload(a.frames, rng);
  }
  std::vector<std::uint8_t> file;
  if (kind == Kind::Firmware) {
    file = BuildFirmware({static_cast<std::uint16_t>(a.device), static_cast<std::uint16_t>(a.version)},
                         payload, rng, &error);
  } else {
    file = BuildDataMap({static_cast<std::uint16_t>(a.device), static_cast<std::uint16_t>(a.version)},
                        payload, rng, &error);
  }
  if (file.empty()) return Fail(error);
  if (!WriteFileAtomically(a.output, file, error)) return Fail(error);
  const InspectReport report = Inspect(file.data(), file.size(), {kind, false});
  std::printf("%s: %s, %zu frames, ImageCrc 0x%08X\n", a.output.c_str(), KindName(kind),
              report.frames, static_cast<unsigned>(report.imageCrc));
  return 0;
}

std::optional<Kind> KindFromName(const std::string& name) {
  if (name == "sbin" || name == "firmware") return Kind::Firmware;
  if (name == "lbin" || name == "datamap" || name == "data-map") return Kind::DataMap;
  return std::nullopt;
}

std::optional<Kind> KindFromExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".sbin") return Kind::Firmware;
  if (ext == ".lbin") return Kind::DataMap;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Makes and checks Tavrin firmware (.sbin) and data-map (.lbin) files.", kProgram};
  app.footer(kCrcRule);
  app.require_subcommand(1);

  MakeArgs sbin;
  auto* makeSbin = app.add_subcommand("make-sbin", "Write a firmware file: eight scrambled "
                                                   "header frames, then the payload");
  AddMakeOptions(makeSbin, sbin, "--version", "Firmware version (0-65535)");
  makeSbin->footer(kCrcRule);

  MakeArgs lbin;
  auto* makeLbin = app.add_subcommand("make-lbin", "Write a data map: one scrambled header "
                                                   "frame, then at least three payload frames");
  AddMakeOptions(makeLbin, lbin, "--data-version", "Data-map version (0-65535)");
  makeLbin->footer(kCrcRule);

  std::string inspectPath;
  std::string inspectKind;
  bool loose = false;
  auto* inspect = app.add_subcommand(
      "inspect", "Check a file: length, every header frame, ImageCrc; exit 0 only when sound");
  inspect->add_option("file", inspectPath, "The file to check")->required();
  inspect->add_option("--kind", inspectKind, "sbin or lbin (default: by extension, else by "
                                             "contents)")
      ->check(CLI::IsMember({"sbin", "lbin", "firmware", "datamap", "data-map"}));
  inspect->add_flag("--loose", loose,
                    "Only the programmer's own checks: ignore header bytes 0-23 and 60-63");
  inspect->footer(kCrcRule);

  std::string damageIn;
  std::string damageOut;
  std::size_t damageFrame = 0;
  std::size_t damageOffset = 30;
  int damageXor = 0xFF;
  auto* damage = app.add_subcommand("damage", "Copy a file with one byte changed (for tests)");
  damage->add_option("file", damageIn, "The file to copy")->required()->check(CLI::ExistingFile);
  damage->add_option("-o,--output", damageOut, "File to write")->required();
  damage->add_option("--frame", damageFrame, "Frame of the byte")->capture_default_str();
  damage->add_option("--offset", damageOffset, "Offset of the byte in the frame (0-63)")
      ->capture_default_str()
      ->check(CLI::Range(0, 63));
  damage->add_option("--xor", damageXor, "Value XORed into the byte (1-255)")
      ->capture_default_str()
      ->check(CLI::Range(1, 255));

  if (const auto done = tavrin::cli::Parse(app, argc, argv, kProgram)) return *done;

  if (*makeSbin) return RunMake(sbin, Kind::Firmware, makeSbin);
  if (*makeLbin) return RunMake(lbin, Kind::DataMap, makeLbin);

  if (*inspect) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadFile(inspectPath, bytes, error))
      return tavrin::cli::Fail(kProgram, error, kUnreadable);
    InspectOptions options;
    options.loose = loose;
    options.kind = inspectKind.empty() ? KindFromExtension(inspectPath) : KindFromName(inspectKind);
    const InspectReport report = Inspect(bytes.data(), bytes.size(), options);
    std::printf("file:        %s\n", inspectPath.c_str());
    for (const auto& line : FormatReport(report)) std::printf("%s\n", line.c_str());
    return report.sound ? 0 : 1;
  }

  if (*damage) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadFile(damageIn, bytes, error)) return tavrin::cli::Fail(kProgram, error, kUnreadable);
    // Compared frame by frame, so no frame number can overflow into another byte.
    const std::size_t frames = (bytes.size() + kFrameSize - 1) / kFrameSize;
    if (damageFrame >= frames || damageFrame * kFrameSize + damageOffset >= bytes.size()) {
      return tavrin::cli::Fail(kProgram,
                               "byte " + std::to_string(damageOffset) + " of frame " +
                                   std::to_string(damageFrame) + " lies beyond the end of " +
                                   damageIn + " (" + std::to_string(bytes.size()) + " bytes)",
                               kUnreadable);
    }
    bytes[damageFrame * kFrameSize + damageOffset] ^= static_cast<std::uint8_t>(damageXor);
    if (!WriteFileAtomically(damageOut, bytes, error)) return Fail(error);
    std::printf("%s: byte %zu of frame %zu changed\n", damageOut.c_str(), damageOffset,
                damageFrame);
    return 0;
  }
  return 0;
}
