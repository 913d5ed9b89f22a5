// Firmware (.sbin) and data-map (.lbin) files: building them, and checking
// arbitrary bytes as one of them. Shared by the image tool and the virtual
// controller; Inspect() takes any input, so it can be fuzzed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tavrin::image {

inline constexpr std::size_t kFrameSize = 64;
inline constexpr std::size_t kFirmwareHeaderFrames = 8;
inline constexpr std::size_t kDataMapHeaderFrames = 1;
inline constexpr std::size_t kMinFileSize = 256;
// The programmer's image store holds 10,240,000 bytes.
inline constexpr std::size_t kMaxFrames = 160000;

// Bytes 0-1 of the header frames this tool writes (the programmer ignores them).
inline constexpr std::uint8_t kFirmwareHeaderMark = 0x0A;
inline constexpr std::uint8_t kDataMapHeaderMark = 0x0B;

// Payload bytes that pad a file to whole frames: erased flash.
inline constexpr std::uint8_t kPadByte = 0xFF;

enum class Kind { Firmware, DataMap };

const char* KindName(Kind kind);  // "firmware" / "data map"
std::size_t HeaderFrames(Kind kind);

// Our ImageCrc rule: Stm32Crc32 over every frame after the header frames, all
// of them as one byte sequence (0xFFFFFFFF when there are none).
std::uint32_t PayloadCrc(const std::uint8_t* data, std::size_t size, Kind kind);
// The same rule as the tools' help states it.
inline constexpr const char* kImageCrcRuleHelp =
    "ImageCrc rule: Stm32Crc32 over every frame after the header frames (frames 8 onwards of a "
    "firmware image, .sbin; frames 1 onwards of a data map, .lbin), all those bytes taken as one "
    "sequence.";

// One header frame: 32 header bytes scrambled at 24-55, their CRC at 56-59.
// Bytes 0-3 are DA <mark> and the frame index, 4-23 random, 60-63 the CRC of
// bytes 0-59, so damage anywhere in the frame can be found.
std::array<std::uint8_t, kFrameSize> MakeHeaderFrame(const std::uint8_t* header32,
                                                     std::uint8_t mark, std::uint16_t index,
                                                     std::mt19937& rng);
// Unscrambles a header frame: true when the 32 payload bytes match their CRC.
bool ReadHeaderFrame(const std::uint8_t* frame, std::uint8_t* header32);
// True when bytes 60-63 hold the CRC of bytes 0-59.
bool FrameTrailerValid(const std::uint8_t* frame);

// Payload of `frames` frames of pseudo-random data.
std::vector<std::uint8_t> GeneratePayload(std::size_t frames, std::mt19937& rng);

struct FirmwareSpec {
  std::uint16_t deviceType = 1;
  std::uint16_t version = 1;
};
struct DataMapSpec {
  std::uint16_t deviceType = 1;
  std::uint16_t dataVersion = 1;
};

// The payload is padded with kPadByte to whole frames (and for a data map to
// at least three frames). Empty result with *error when it would be too long.
std::vector<std::uint8_t> BuildFirmware(const FirmwareSpec& spec,
                                        const std::vector<std::uint8_t>& payload,
                                        std::mt19937& rng, std::string* error = nullptr);
std::vector<std::uint8_t> BuildDataMap(const DataMapSpec& spec,
                                       const std::vector<std::uint8_t>& payload,
                                       std::mt19937& rng, std::string* error = nullptr);

struct FirmwareFields {
  std::array<std::uint8_t, 256> header{};
  std::uint16_t deviceType = 0;
  std::uint16_t version = 0;
  std::uint32_t imageCrc = 0;
};
struct DataMapFields {
  std::array<std::uint8_t, 16> header{};
  std::uint32_t imageCrc = 0;
  std::uint16_t dataVersion = 0;
  std::uint16_t deviceType = 0;
};

// The programmer's own header check, on frames already known to be there.
std::optional<FirmwareFields> ReadFirmwareHeader(const std::uint8_t* data, std::size_t size);
std::optional<DataMapFields> ReadDataMapHeader(const std::uint8_t* data, std::size_t size);

struct InspectOptions {
  std::optional<Kind> kind;  // none: work it out from the contents
  // Only the checks the programmer makes: bytes 0-23 and 60-63 of header
  // frames are then not examined. They are examined only in files whose
  // header frames carry this tool's marks anyway.
  bool loose = false;
};

struct InspectReport {
  // The programmer's loader takes it (length, header checksums, a device type
  // a controller can have), and nothing this tool wrote was changed.
  bool sound = false;
  bool programmerAccepts = false;
  bool kindKnown = false;
  Kind kind = Kind::Firmware;
  std::size_t size = 0;
  std::size_t frames = 0;
  std::uint16_t deviceType = 0;
  std::uint16_t version = 0;      // firmware
  std::uint16_t dataVersion = 0;  // data map
  std::uint32_t imageCrc = 0;
  std::uint32_t payloadCrc = 0;
  bool headerRead = false;
  bool madeByThisTool = false;  // a header frame carries this tool's mark
  bool crcMatches = false;      // ImageCrc follows the rule; the programmer never checks it
  int damagedFrame = -1;  // first header frame found damaged, or -1
  std::vector<std::string> problems;  // each one makes the file not sound
  std::vector<std::string> warnings;
  std::vector<std::string> notes;  // facts that are no damage, e.g. another ImageCrc rule
};

InspectReport Inspect(const std::uint8_t* data, std::size_t size, const InspectOptions& options);

// The report as the image tool prints it, one line each.
std::vector<std::string> FormatReport(const InspectReport& report);

}  // namespace tavrin::image
