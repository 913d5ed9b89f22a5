#include "transfer/Loaders.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/File.h"
#include "protocol/Messager.h"
#include "protocol/Shifrator.h"
#include "protocol/Stm32_crc32_soft.h"
#include "ui/WindowOps.h"

namespace {

// Message texts of the two actions.
constexpr const char* kFirmwareFilter = "binary file SBIN (*.sbin)|*.sbin";
constexpr const char* kFirmwareExt = "sbin";
constexpr const char* kDataMapFilter = "карта данных LBIN (*.lbin)|*.lbin";
constexpr const char* kDataMapExt = "lbin";
constexpr const char* kFirmwareCorruptedText = "The firmware file is corrupted!";
constexpr const char* kFirmwareHeaderText = " The firmware file is corrupted, the action is canceled!";
constexpr const char* kFirmwareWrongDeviceText = " The firmware is not designed for this device! ";
constexpr const char* kFirmwareOlderQuestion = "The device has a newer version of the firmware, you want to record the previous?";
constexpr const char* kFileErrorText = "Can't perform one of the following file operations: Open, Seek, Read, Close.";
constexpr const char* kFileErrorCaption = "File Error";
constexpr const char* kErrorCaption = "Error";
constexpr const char* kFirmwareDamagedText = "Микропрограмма устройства повреждена, сначала корректно запишите микропрограмму, затем повторите попытку!";
constexpr const char* kDataMapCorruptedText = "Файл карты данных поврежден!";
constexpr const char* kDataMapHeaderSuffix = " \n\r Файл карты данных поврежден, действие отменено!";
constexpr const char* kDataMapHeaderCaption = "Прошивка невозможна";
constexpr const char* kDataMapWrongDeviceText = "Предлагаемая карта данных предназначена не для этого устройства. Запись невозможна! \n Создайте карту данных именно для вашего устройства и повторите попытку!";
constexpr const char* kDataMapWrongDataCaption = "Не корректные данные для устройства";
constexpr const char* kDataMapVersionSuffix = " \nВерсия предлагаемой карты данных не совместима с версией прошивки устройства. \nДля устранения такой проблемы необходимо обновить прошивку устройства по последней, \nтакже обновить ПО Tavrin с сайта производителя!";
// For files longer than the image store.
constexpr const char* kFirmwareTooLargeText =
    " The firmware file is too large (more than 10240000 bytes), the action is canceled!";
constexpr const char* kDataMapTooLargeSuffix =
    " \n\r Файл карты данных слишком велик (более 10240000 байт), действие отменено!";
constexpr const char* kNoCaption = "";

std::uint16_t LittleEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}
std::uint32_t BigEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

// Unscrambles one header frame and checks its payload against its checksum;
// on success the 32 payload bytes go to `payload`.
bool UnscrambleHeaderFrame(const std::uint8_t* frame, std::uint8_t* payload) {
  std::uint8_t work[kFrameSize] = {};
  KeySchedule(frame, work);
  if (Stm32Crc32(work + 24, 32) != BigEndian32(work + 56)) return false;
  std::memcpy(payload, work + 24, 32);
  return true;
}

struct FileError {};  // any failure of the file work after the file was opened

std::function<void(const std::string&)>& BeforeReadHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

// Reads the chosen file whole. Refusals by length come back before anything
// is read; a file that cannot be opened, or is no regular file, counts as
// length -1. The size and the bytes come from the one opened file, and never
// more than the store holds is read.
FileVerdict ReadImageFile(const std::string& path, ImageKind kind,
                          std::vector<std::uint8_t>& bytes) {
  platform::InputFile file;
  if (file.Open(path) != platform::InputFile::OpenResult::Ok) return CheckFileLength(kind, -1);
  const std::int64_t length = file.Size();
  const FileVerdict verdict = CheckFileLength(kind, length);
  if (verdict != FileVerdict::Accepted) return verdict;

  if (BeforeReadHook()) BeforeReadHook()(path);
  bytes.assign(static_cast<std::size_t>(length), 0);
  // A file that shrank or failed under us is not checked on zeros.
  if (!file.ReadFromStart(bytes.data(), bytes.size())) throw FileError{};
  return FileVerdict::Accepted;
}

// The file part of an action: the verdict, and the bytes when it is accepted
// so far. False after the "File Error" box.
bool ReadOrReport(const std::string& path, ImageKind kind, std::vector<std::uint8_t>& bytes,
                  FileVerdict& verdict) {
  try {
    verdict = ReadImageFile(path, kind, bytes);
    return true;
  } catch (...) {
    // Out of memory for the buffer, a failed seek or read: nothing is kept.
  }
  bytes.clear();
  Window().MessageBox(kFileErrorText, kFileErrorCaption, kMbOkCancel);
  return false;
}

}  // namespace

void SetBeforeReadHookForTest(std::function<void(const std::string&)> hook) {
  BeforeReadHook() = std::move(hook);
}

DeviceFacts CurrentDeviceFacts() {
  DeviceFacts facts;
  facts.DeviceCode = DeviceInfo.DeviceCode.load();
  facts.FirmwareVersion = DeviceInfo.FirmwareVersion.load();
  facts.DataMapVersion = DeviceInfo.DataMapVersion.load();
  facts.ProgramMemoryOk = DeviceInfo.ProgramMemoryOk.load();
  return facts;
}

FileVerdict CheckFileLength(ImageKind kind, std::int64_t length) {
  const std::int64_t minimum = kind == ImageKind::Firmware ? kMinFirmwareBytes : kMinDataMapBytes;
  if (length < minimum || length % kFrameSize != 0) return FileVerdict::Corrupted;
  if (length > static_cast<std::int64_t>(kStoreBytes)) return FileVerdict::TooLarge;
  return FileVerdict::Accepted;
}

FileCheckResult CheckFirmwareFile(const std::uint8_t* data, std::size_t length,
                                  const DeviceFacts& device) {
  FileCheckResult result;
  result.Verdict = CheckFileLength(ImageKind::Firmware, static_cast<std::int64_t>(length));
  if (result.Verdict != FileVerdict::Accepted) return result;

  for (std::size_t i = 0; i < kFirmwareHeaderFrames; ++i) {
    if (!UnscrambleHeaderFrame(data + i * kFrameSize, result.Header.data() + i * 32)) {
      result.Verdict = FileVerdict::HeaderDamaged;
      result.DamagedHeaderFrame = static_cast<int>(i);
      result.Header.fill(0);
      return result;
    }
  }
  const std::uint16_t deviceType = LittleEndian16(result.Header.data());
  const std::uint16_t version = LittleEndian16(result.Header.data() + 2);
  if (deviceType != device.DeviceCode) {
    result.Verdict = FileVerdict::WrongDevice;
    return result;
  }
  if (device.ProgramMemoryOk) {
    if (device.FirmwareVersion > version) {
      result.Question = VersionQuestion::OlderThanDevice;
    } else if (device.FirmwareVersion == version) {
      result.Question = VersionQuestion::SameAsDevice;
    }
  }
  result.Verdict = FileVerdict::Accepted;
  return result;
}

FileCheckResult CheckDataMapFile(const std::uint8_t* data, std::size_t length,
                                 const DeviceFacts& device) {
  FileCheckResult result;
  result.Verdict = CheckFileLength(ImageKind::DataMap, static_cast<std::int64_t>(length));
  if (result.Verdict != FileVerdict::Accepted) return result;

  std::uint8_t payload[32] = {};
  if (!UnscrambleHeaderFrame(data, payload)) {
    result.Verdict = FileVerdict::HeaderDamaged;
    result.DamagedHeaderFrame = 0;
    return result;
  }
  std::memcpy(result.Header.data(), payload, kDataMapHeaderSize);
  const std::uint16_t dataVersion = LittleEndian16(payload + 8);
  const std::uint16_t deviceType = LittleEndian16(payload + 10);
  if (deviceType != device.DeviceCode) {
    result.Verdict = FileVerdict::WrongDevice;
  } else if (dataVersion != device.DataMapVersion) {
    result.Verdict = FileVerdict::WrongDataVersion;
  } else {
    result.Verdict = FileVerdict::Accepted;
  }
  return result;
}

void LoadFirmwareImage() {
  std::string path;
  if (!Window().OpenFileDialog(kFirmwareFilter, kFirmwareExt, path)) return;

  std::vector<std::uint8_t> bytes;
  FileVerdict verdict = FileVerdict::Corrupted;
  if (!ReadOrReport(path, ImageKind::Firmware, bytes, verdict)) return;

  FileCheckResult check;
  check.Verdict = verdict;
  if (verdict == FileVerdict::Accepted) {
    check = CheckFirmwareFile(bytes.data(), bytes.size(), CurrentDeviceFacts());
  }
  // A refusal leaves the image store as it was: a transfer that is running
  // goes on with its own kind and header.
  switch (check.Verdict) {
    case FileVerdict::Accepted:
      break;
    case FileVerdict::Corrupted:
      Window().ShowMessage(kFirmwareCorruptedText);
      return;
    case FileVerdict::TooLarge:
      Window().MessageBox(kFirmwareTooLargeText, kErrorCaption, kMbOk);
      return;
    case FileVerdict::HeaderDamaged:
      Window().MessageBox(kFirmwareHeaderText, kErrorCaption, kMbOk);
      return;
    case FileVerdict::WrongDevice:
    case FileVerdict::WrongDataVersion:
      Window().MessageBox(kFirmwareWrongDeviceText, kErrorCaption, kMbOk);
      return;
  }
  if (check.Question == VersionQuestion::OlderThanDevice &&
      Window().MessageBox(kFirmwareOlderQuestion, kNoCaption, kMbYesNoInfo) == kIdNo) {
    return;
  }
  if (check.Question == VersionQuestion::SameAsDevice &&
      Window().MessageBox(kFirmwareSameQuestion, kNoCaption, kMbYesNoInfo) == kIdNo) {
    return;
  }
  CommitImageAndStart(ImageKind::Firmware, check.Header.data(), bytes.data(), bytes.size());
}

void LoadDataMap() {
  // A data map needs working firmware to receive it.
  if (!CurrentDeviceFacts().ProgramMemoryOk) {
    Window().ShowMessage(kFirmwareDamagedText);
    return;
  }
  std::string path;
  if (!Window().OpenFileDialog(kDataMapFilter, kDataMapExt, path)) return;

  std::vector<std::uint8_t> bytes;
  FileVerdict verdict = FileVerdict::Corrupted;
  if (!ReadOrReport(path, ImageKind::DataMap, bytes, verdict)) return;

  FileCheckResult check;
  check.Verdict = verdict;
  if (verdict == FileVerdict::Accepted) {
    check = CheckDataMapFile(bytes.data(), bytes.size(), CurrentDeviceFacts());
  }
  switch (check.Verdict) {
    case FileVerdict::Accepted:
      CommitImageAndStart(ImageKind::DataMap, check.Header.data(), bytes.data(), bytes.size());
      return;
    case FileVerdict::Corrupted:
      Window().ShowMessage(kDataMapCorruptedText);
      return;
    case FileVerdict::TooLarge:
      Window().MessageBox(path + kDataMapTooLargeSuffix, kDataMapHeaderCaption, kMbOk);
      return;
    case FileVerdict::HeaderDamaged:
      Window().MessageBox(path + kDataMapHeaderSuffix, kDataMapHeaderCaption, kMbOk);
      return;
    case FileVerdict::WrongDevice:
      Window().MessageBox(kDataMapWrongDeviceText, kDataMapWrongDataCaption, kMbOk);
      return;
    case FileVerdict::WrongDataVersion:
      Window().MessageBox(path + kDataMapVersionSuffix, kDataMapWrongDataCaption, kMbOk);
      return;
  }
}

void Button2Click() { LoadFirmwareImage(); }
void Button4Click() { LoadDataMap(); }
