#include "image/ImageFile.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "common/ByteOrder.h"
#include "common/Frames.h"
#include "protocol/Stm32_crc32_soft.h"

namespace tavrin::image {

namespace {

using namespace tavrin::bytes;

std::uint8_t RandomByte(std::mt19937& rng) { return static_cast<std::uint8_t>(rng() & 0xFFu); }

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

// Pads to whole frames, and to at least `minFrames` of them.
std::vector<std::uint8_t> Padded(const std::vector<std::uint8_t>& payload, std::size_t minFrames) {
  std::vector<std::uint8_t> out = payload;
  std::size_t frames = (out.size() + kFrameSize - 1) / kFrameSize;
  if (frames < minFrames) frames = minFrames;
  out.resize(frames * kFrameSize, kPadByte);
  return out;
}

bool TooLong(std::size_t headerFrames, std::size_t payloadBytes, std::string* error) {
  if (headerFrames + payloadBytes / kFrameSize <= kMaxFrames) return false;
  if (error != nullptr) {
    *error = "the file would have " + std::to_string(headerFrames + payloadBytes / kFrameSize) +
             " frames; the programmer takes at most " + std::to_string(kMaxFrames);
  }
  return true;
}

}  // namespace

const char* KindName(Kind kind) { return kind == Kind::Firmware ? "firmware" : "data map"; }

std::size_t HeaderFrames(Kind kind) {
  return kind == Kind::Firmware ? kFirmwareHeaderFrames : kDataMapHeaderFrames;
}

std::uint32_t PayloadCrc(const std::uint8_t* data, std::size_t size, Kind kind) {
  const std::size_t start = HeaderFrames(kind) * kFrameSize;
  if (size <= start) return Stm32Crc32Fast(data, 0);
  const std::size_t length = size - start;
  if (length > std::numeric_limits<std::uint32_t>::max() - 3) return 0;
  // The CRC reads whole words: a length that is not a multiple of 4 would read
  // past the end, so the tail goes through a padded copy.
  const std::size_t whole = length & ~std::size_t{3};
  if (whole == length) return Stm32Crc32Fast(data + start, static_cast<std::uint32_t>(length));
  std::vector<std::uint8_t> copy(data + start, data + size);
  copy.resize(whole + 4, 0);
  return Stm32Crc32Fast(copy.data(), static_cast<std::uint32_t>(length));
}

std::array<std::uint8_t, kFrameSize> MakeHeaderFrame(const std::uint8_t* header32,
                                                     std::uint8_t mark, std::uint16_t index,
                                                     std::mt19937& rng) {
  std::array<std::uint8_t, kFrameSize> plain{};
  plain[0] = 0xDA;
  plain[1] = mark;
  plain[2] = static_cast<std::uint8_t>(index >> 8);
  plain[3] = static_cast<std::uint8_t>(index);
  for (std::size_t i = 4; i < 24; ++i) plain[i] = RandomByte(rng);
  std::memcpy(plain.data() + 24, header32, 32);
  std::array<std::uint8_t, kFrameSize> frame{};
  framing::SealSecretBlock(plain.data(), frame.data());
  return frame;
}

bool ReadHeaderFrame(const std::uint8_t* frame, std::uint8_t* header32) {
  return framing::OpenSecretBlock(frame, header32);
}

bool FrameTrailerValid(const std::uint8_t* frame) { return framing::FrameSealed(frame, kFrameSize); }

std::vector<std::uint8_t> GeneratePayload(std::size_t frames, std::mt19937& rng) {
  std::vector<std::uint8_t> out(frames * kFrameSize);
  for (auto& b : out) b = RandomByte(rng);
  return out;
}

std::vector<std::uint8_t> BuildFirmware(const FirmwareSpec& spec,
                                        const std::vector<std::uint8_t>& payload,
                                        std::mt19937& rng, std::string* error) {
  const std::vector<std::uint8_t> body = Padded(payload, 0);
  if (TooLong(kFirmwareHeaderFrames, body.size(), error)) return {};
  std::array<std::uint8_t, 256> header{};
  PutLe16(header.data() + 0, spec.deviceType);
  PutLe16(header.data() + 2, spec.version);
  PutLe32(header.data() + 12, Stm32Crc32Fast(body.data(), static_cast<std::uint32_t>(body.size())));

  std::vector<std::uint8_t> out;
  out.reserve(kFirmwareHeaderFrames * kFrameSize + body.size());
  for (std::uint16_t i = 0; i < kFirmwareHeaderFrames; ++i) {
    const auto frame = MakeHeaderFrame(header.data() + 32 * i, kFirmwareHeaderMark, i, rng);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<std::uint8_t> BuildDataMap(const DataMapSpec& spec,
                                       const std::vector<std::uint8_t>& payload,
                                       std::mt19937& rng, std::string* error) {
  // Four frames at least: the programmer refuses a map below 256 bytes.
  const std::vector<std::uint8_t> body = Padded(payload, 3);
  if (TooLong(kDataMapHeaderFrames, body.size(), error)) return {};
  std::array<std::uint8_t, 32> header{};
  PutLe32(header.data() + 4, Stm32Crc32Fast(body.data(), static_cast<std::uint32_t>(body.size())));
  PutLe16(header.data() + 8, spec.dataVersion);
  PutLe16(header.data() + 10, spec.deviceType);

  const auto frame = MakeHeaderFrame(header.data(), kDataMapHeaderMark, 0, rng);
  std::vector<std::uint8_t> out(frame.begin(), frame.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::optional<FirmwareFields> ReadFirmwareHeader(const std::uint8_t* data, std::size_t size) {
  if (size < kFirmwareHeaderFrames * kFrameSize) return std::nullopt;
  FirmwareFields f;
  for (std::size_t i = 0; i < kFirmwareHeaderFrames; ++i) {
    if (!ReadHeaderFrame(data + i * kFrameSize, f.header.data() + 32 * i)) return std::nullopt;
  }
  f.deviceType = GetLe16(f.header.data() + 0);
  f.version = GetLe16(f.header.data() + 2);
  f.imageCrc = GetLe32(f.header.data() + 12);
  return f;
}

std::optional<DataMapFields> ReadDataMapHeader(const std::uint8_t* data, std::size_t size) {
  if (size < kFrameSize) return std::nullopt;
  std::uint8_t header32[32];
  if (!ReadHeaderFrame(data, header32)) return std::nullopt;
  DataMapFields f;
  std::memcpy(f.header.data(), header32, 16);
  f.imageCrc = GetLe32(header32 + 4);
  f.dataVersion = GetLe16(header32 + 8);
  f.deviceType = GetLe16(header32 + 10);
  return f;
}

InspectReport Inspect(const std::uint8_t* data, std::size_t size, const InspectOptions& options) {
  InspectReport r;
  r.size = size;
  r.frames = size / kFrameSize;
  if (size % kFrameSize != 0) {
    r.problems.push_back("the length, " + std::to_string(size) +
                         " bytes, is not a whole number of 64-byte frames");
  }
  if (size < kMinFileSize) {
    r.problems.push_back("the file is shorter than 256 bytes (four frames)");
  }
  if (r.frames > kMaxFrames) {
    r.problems.push_back("the file has " + std::to_string(r.frames) +
                         " frames; the programmer takes at most " + std::to_string(kMaxFrames));
  }

  std::uint8_t scratch[32];
  auto loaderOk = [&](std::size_t i) { return ReadHeaderFrame(data + i * kFrameSize, scratch); };
  auto markOf = [&](std::size_t i) -> int {
    const std::uint8_t* f = data + i * kFrameSize;
    return f[0] == 0xDA ? f[1] : -1;
  };

  if (options.kind) {
    r.kind = *options.kind;
    r.kindKnown = true;
  } else if (r.frames > 0) {
    // Frame 1 of a data map is payload: it passing the header check by chance
    // is a 1 in 2^32 event, so two good frames in a row mean firmware.
    std::size_t leading = 0;
    while (leading < kFirmwareHeaderFrames && leading < r.frames && loaderOk(leading)) ++leading;
    const int mark = markOf(0);
    r.kindKnown = true;
    if (leading >= 2 || mark == kFirmwareHeaderMark) {
      r.kind = Kind::Firmware;
    } else if (leading == 1 || mark == kDataMapHeaderMark) {
      r.kind = Kind::DataMap;
    } else {
      r.kindKnown = false;
      r.damagedFrame = 0;
      r.problems.push_back("frame 0 is not a sound header frame of a firmware or a data map");
    }
  }

  // Problems the programmer's loader finds; the rest only this tool can see.
  bool loaderRefuses = !r.problems.empty();
  if (r.kindKnown) {
    const std::size_t headerFrames = HeaderFrames(r.kind);
    const std::uint8_t expectedMark =
        r.kind == Kind::Firmware ? kFirmwareHeaderMark : kDataMapHeaderMark;
    for (std::size_t i = 0; i < headerFrames && i < r.frames; ++i) {
      if (markOf(i) == expectedMark) r.madeByThisTool = true;
    }
    // Bytes the programmer does not read are checked only in files this tool
    // made: a file from elsewhere may fill them any way it likes.
    const bool strict = !options.loose && r.madeByThisTool;
    bool headerOk = true;
    for (std::size_t i = 0; i < headerFrames; ++i) {
      if (i >= r.frames) {
        headerOk = false;
        loaderRefuses = true;
        r.problems.push_back("only " + std::to_string(r.frames) + " whole frames: a " +
                             KindName(r.kind) + " needs " + std::to_string(headerFrames) +
                             " header frames");
        break;
      }
      const std::uint8_t* frame = data + i * kFrameSize;
      if (!loaderOk(i)) {
        headerOk = false;
        loaderRefuses = true;
        if (r.damagedFrame < 0) r.damagedFrame = static_cast<int>(i);
        r.problems.push_back("frame " + std::to_string(i) +
                             ": header checksum wrong (selector bytes 4-12 or scrambled bytes "
                             "24-59 damaged)");
      } else if (strict && !FrameTrailerValid(frame)) {
        if (r.damagedFrame < 0) r.damagedFrame = static_cast<int>(i);
        r.problems.push_back("frame " + std::to_string(i) +
                             ": frame checksum at bytes 60-63 wrong (bytes 0-23 or 60-63 "
                             "damaged; the programmer does not read them)");
      } else if (strict && markOf(i) != expectedMark) {
        r.warnings.push_back("frame " + std::to_string(i) + " is not marked as a " +
                             KindName(r.kind) + " header frame");
      }
    }

    if (headerOk) {
      r.headerRead = true;
      if (r.kind == Kind::Firmware) {
        const auto f = ReadFirmwareHeader(data, size);
        r.deviceType = f->deviceType;
        r.version = f->version;
        r.imageCrc = f->imageCrc;
      } else {
        const auto f = ReadDataMapHeader(data, size);
        r.deviceType = f->deviceType;
        r.dataVersion = f->dataVersion;
        r.imageCrc = f->imageCrc;
      }
      if (size % kFrameSize == 0) {
        r.payloadCrc = PayloadCrc(data, size, r.kind);
        r.crcMatches = r.payloadCrc == r.imageCrc;
        if (!r.crcMatches) {
          r.notes.push_back("ImageCrc " + Hex32(r.imageCrc) +
                            " does not follow the virtual controller's rule (the payload gives " +
                            Hex32(r.payloadCrc) +
                            "): the programmer never checks it, but the virtual controller "
                            "reports such a write as failed. A payload frame may be damaged, or "
                            "the file was made by another rule");
        }
      }
      if ((r.deviceType & 0x8000u) != 0) {
        loaderRefuses = true;
        r.problems.push_back(
            "the device type has its top bit set: the programmer refuses it for every controller");
      } else if (r.deviceType == 0) {
        r.warnings.push_back("device type 0: no controller accepts it");
      }
    }
  }
  r.programmerAccepts = r.kindKnown && !loaderRefuses;

  r.sound = r.problems.empty();
  return r;
}

std::vector<std::string> FormatReport(const InspectReport& r) {
  std::vector<std::string> lines;
  if (r.kindKnown) {
    lines.push_back(std::string("kind:        ") + KindName(r.kind) +
                    (r.kind == Kind::Firmware ? " (.sbin)" : " (.lbin)"));
  } else {
    lines.push_back("kind:        unknown");
  }
  std::string frames = "frames:      " + std::to_string(r.frames);
  if (r.kindKnown && r.frames >= HeaderFrames(r.kind)) {
    frames += " (" + std::to_string(HeaderFrames(r.kind)) + " header + " +
              std::to_string(r.frames - HeaderFrames(r.kind)) + " payload)";
  }
  if (r.size % kFrameSize != 0) frames += ", " + std::to_string(r.size) + " bytes";
  lines.push_back(frames);
  if (r.headerRead) {
    lines.push_back("device:      " + std::to_string(r.deviceType));
    if (r.kind == Kind::Firmware) {
      lines.push_back("version:     " + std::to_string(r.version));
    } else {
      lines.push_back("data version: " + std::to_string(r.dataVersion));
    }
    std::string crc = "ImageCrc:    " + Hex32(r.imageCrc);
    if (r.size % kFrameSize == 0) {
      crc += r.crcMatches ? " (matches the payload)" : " (the payload gives " + Hex32(r.payloadCrc) + ")";
    }
    lines.push_back(crc);
  }
  for (const auto& w : r.warnings) lines.push_back("warning:     " + w);
  for (const auto& n : r.notes) lines.push_back("note:        " + n);
  for (const auto& p : r.problems) lines.push_back("damaged:     " + p);
  std::string verdict = "verdict:     ";
  if (r.sound) {
    verdict +=
        "sound: the programmer takes it (length, header checksums) for a controller of device " +
        std::to_string(r.deviceType);
    verdict +=
        r.kind == Kind::Firmware
            ? ", any firmware version (asking first when it is not newer than the controller's)"
            : " with data version " + std::to_string(r.dataVersion);
  } else {
    verdict +=
        r.damagedFrame >= 0 ? "damaged at frame " + std::to_string(r.damagedFrame) : "damaged";
    verdict += r.programmerAccepts
                   ? ": the programmer would take it, but bytes it does not read were changed"
                   : ": the programmer refuses it";
  }
  lines.push_back(verdict);
  return lines;
}

}  // namespace tavrin::image
