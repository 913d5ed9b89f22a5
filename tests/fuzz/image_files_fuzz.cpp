// The firmware and data-map file checks on arbitrary file contents, against
// an arbitrary connected controller.
//
// Input: byte 0 picks the kind (bit 0) and the controller's memory verdict
// (bit 1); bytes 1-6 are the controller's device code, firmware version and
// data-map version (big-endian); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "transfer/Loaders.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "image files fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const bool dataMap = data[0] & 1;
  DeviceFacts device;
  device.ProgramMemoryOk = data[0] & 2;
  device.DeviceCode = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
  device.FirmwareVersion = static_cast<std::uint16_t>(data[3] << 8 | data[4]);
  device.DataMapVersion = static_cast<std::uint16_t>(data[5] << 8 | data[6]);
  data += 7;
  size -= 7;

  // Exactly the file's bytes on the heap, so a read past its end is reported.
  std::unique_ptr<std::uint8_t[]> file(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(file.get(), data, size);

  const FileCheckResult result = dataMap ? CheckDataMapFile(file.get(), size, device)
                                         : CheckFirmwareFile(file.get(), size, device);
  const ImageKind kind = dataMap ? ImageKind::DataMap : ImageKind::Firmware;

  // Whatever the checks accept, the store can hold and the chunk sender can
  // cut into whole frames.
  if (result.Verdict == FileVerdict::Accepted) {
    if (size % kFrameSize != 0) Fail("accepted a file that is not whole frames");
    if (size > kStoreBytes) Fail("accepted a file larger than the store");
    if (CheckFileLength(kind, static_cast<std::int64_t>(size)) != FileVerdict::Accepted) {
      Fail("accepted a file whose length alone is refused");
    }
  }
  if (result.Verdict != FileVerdict::HeaderDamaged && result.DamagedHeaderFrame != -1) {
    Fail("a damaged header frame named without HeaderDamaged");
  }
  if (result.Verdict == FileVerdict::HeaderDamaged &&
      (result.DamagedHeaderFrame < 0 ||
       result.DamagedHeaderFrame >= static_cast<int>(dataMap ? 1 : kFirmwareHeaderFrames))) {
    Fail("HeaderDamaged names no header frame");
  }
  if (result.Question != VersionQuestion::None &&
      (dataMap || result.Verdict != FileVerdict::Accepted)) {
    Fail("a version question without an accepted firmware file");
  }
  return 0;
}
