// The image tool's inspection on arbitrary bytes, in every mode, and the
// report it prints from the result.
//
// Input: byte 0 picks the options (bits 0-1: kind unknown, firmware or data
// map; bit 2: loose); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image/ImageFile.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "image inspect fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  namespace img = tavrin::image;
  img::InspectOptions options;
  switch (data[0] & 3) {
    case 1: options.kind = img::Kind::Firmware; break;
    case 2: options.kind = img::Kind::DataMap; break;
    default: break;
  }
  options.loose = data[0] & 4;
  ++data;
  --size;

  // Exactly the file's bytes on the heap, so a read past its end is reported.
  std::unique_ptr<std::uint8_t[]> file(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(file.get(), data, size);

  const img::InspectReport report = img::Inspect(file.get(), size, options);
  if (report.size != size) Fail("the report names another size");
  if (report.sound && !report.problems.empty()) Fail("sound with problems");
  if (report.sound && size % img::kFrameSize != 0) Fail("sound but not whole frames");
  if (report.damagedFrame >= 0 && report.sound) Fail("sound with a damaged header frame");
  if (report.sound && !report.programmerAccepts) Fail("sound but refused by the programmer");
  if (report.programmerAccepts && size % img::kFrameSize != 0) Fail("taken but not whole frames");
  if (options.kind && report.kindKnown && report.kind != *options.kind) Fail("kind overridden");

  const auto lines = img::FormatReport(report);
  if (lines.empty()) Fail("an empty report");
  return 0;
}
