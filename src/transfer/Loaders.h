// The update firmware and write data map actions: a file is picked, read
// whole, checked against the connected controller and, once accepted, handed
// to the chunk sender. The checks are pure functions over the file's bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "transfer/ImageStore.h"

void LoadFirmwareImage();  // Button2Click
void LoadDataMap();        // Button4Click
void Button2Click();
void Button4Click();

// What the checks need of the connected controller.
struct DeviceFacts {
  std::uint16_t DeviceCode = 0;
  std::uint16_t FirmwareVersion = 0;
  std::uint16_t DataMapVersion = 0;
  bool ProgramMemoryOk = false;
};
DeviceFacts CurrentDeviceFacts();  // a snapshot of DeviceInfo

enum class FileVerdict : std::uint8_t {
  Accepted,
  Corrupted,         // unreadable, too short, or not whole frames
  TooLarge,          // more than the store holds
  HeaderDamaged,     // a header frame fails its checksum
  WrongDevice,       // made for another controller
  WrongDataVersion,  // data map only: another data-memory version
};

// Accepted firmware may still need the user's consent.
enum class VersionQuestion : std::uint8_t { None, OlderThanDevice, SameAsDevice };
// The question for SameAsDevice; the command line tells it from the others.
inline constexpr const char* kFirmwareSameQuestion = "In the device already offered firmware version, want to continue?";

struct FileCheckResult {
  FileVerdict Verdict = FileVerdict::Corrupted;
  VersionQuestion Question = VersionQuestion::None;
  int DamagedHeaderFrame = -1;  // with HeaderDamaged
  // The staged header: 256 bytes for firmware, the first 16 for a data map.
  // Valid from WrongDevice on; nothing is stored until the file is accepted.
  std::array<std::uint8_t, kFirmwareHeaderSize> Header{};
};

inline constexpr std::size_t kFirmwareHeaderFrames = 8;
// Smallest file of each kind: a data map needs four frames, firmware its
// eight header frames.
inline constexpr std::int64_t kMinDataMapBytes = 256;
inline constexpr std::int64_t kMinFirmwareBytes = kFirmwareHeaderFrames * kFrameSize;

// The length checks alone, before the file is read: -1 is a file that could
// not be opened.
FileVerdict CheckFileLength(ImageKind kind, std::int64_t length);

// Every check of a file's contents; `data` needs `length` readable bytes and
// nothing past them is read.
FileCheckResult CheckFirmwareFile(const std::uint8_t* data, std::size_t length,
                                  const DeviceFacts& device);
FileCheckResult CheckDataMapFile(const std::uint8_t* data, std::size_t length,
                                 const DeviceFacts& device);

// Runs between measuring the chosen file and reading it, so a test can change
// the file under the reader as another program might.
void SetBeforeReadHookForTest(std::function<void(const std::string& path)> hook);
