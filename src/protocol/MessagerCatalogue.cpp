#include <string>

#include "connect/Connecter.h"
#include "protocol/Messager.h"
#include "ui/WindowOps.h"

namespace {

// The models this programmer supports, by device code.
constexpr CatalogueEntry kCatalogue[] = {
    {1, "Arvo K16-300", ReportLanguage::Russian, "Подключено устройство: Arvo K16-300", true},
    {2, "Arvo Pixel Uno/Arvo Strip Controller", ReportLanguage::Russian, "Подключено устройство: Arvo Pixel Uno/Arvo Strip Controller", false},
    {3, "Arvo Pixel Octa", ReportLanguage::Russian, "Подключено устройство: Arvo Pixel Octa", false},
    {4, "Cellvane Rook", ReportLanguage::Russian, "Подключено устройство: Cellvane Rook", false},
    {5, "Stagewire controller", ReportLanguage::Russian, "Подключено устройство: Stagewire controller", false},
    {6, "Stagewire q4-N", ReportLanguage::Russian, "Подключено устройство: Stagewire q4-N", false},
    {7, "FILE SERVICE (Stagewire q4-N)", ReportLanguage::Russian, "Подключено устройство: FILE SERVICE (Stagewire q4-N)", false},
    {8, "Glimmerbox mini", ReportLanguage::Russian, "Подключено устройство: Glimmerbox mini", false},
    {9, "Echo Sound board", ReportLanguage::Russian, "Подключено устройство: Echo Sound board", false},
    {10, "Glimmerbox mini W", ReportLanguage::Russian, "Подключено устройство: Glimmerbox mini W", false},
    {11, "Glimmerbox mini + Stagewire v3", ReportLanguage::Russian, "Подключено устройство: Glimmerbox mini + Stagewire v3", false},
    {12, "Glimmerbox mini W r7.2 (3.1)", ReportLanguage::English, "Connected device: Glimmerbox mini W r7.2 (3.1)", false},
    {13, "Glimmerbox mini W r7.4 (3.1)", ReportLanguage::English, "Connected device: Glimmerbox mini W r7.4 (3.1)", false},
    {14, "Novalux v1.1", ReportLanguage::English, "Connected device: Novalux v1.1 ", false},
    {15, "Novalux W v1.1", ReportLanguage::English, "Connected device: Novalux W v1.1 ", false},
    {16, "Novalux W v1.2", ReportLanguage::English, "Connected device: Novalux W v1.2 ", false},
    {17, "Novalux Bus", ReportLanguage::English, " Connected device: Novalux Bus ", false},
    {18, "Novalux Hub8", ReportLanguage::English, " Connected device: Novalux Hub8 ", false},
    {19, "Novalux W 1.4 Onyx", ReportLanguage::English, " Connected device: Novalux W 1.4 Onyx ", false},
    {20, "Novalux-W-Q8S", ReportLanguage::English, " Connected device: Novalux-W-Q8S ", false},
};

struct ReportLabels {
  const char* bootloader;
  const char* firmware;
  const char* programMemoryOk;
  const char* programMemoryFailed;
};

constexpr ReportLabels kRussianLabels = {"Версия загрузчика (bootloader):  ", "Версия микропрограммы (firmware): ", "Верификация памяти программ:  OK", "Верификация памяти программ:  FALSE память повреждена!"};
constexpr ReportLabels kEnglishLabels = {"Boot Loader Version:  ", "Firmware version: ", "Verification of program memory:  OK", "Verification of program memory:  FALSE memory corrupted!"};

// Only the model with a data memory reports it, and only in Russian.
constexpr const char* kDataVersionLabel = "Верcия памяти данных (Data): ";  // the "c" is Latin
constexpr const char* kDataMemoryOk = "Верификация памяти данных:       OK";
constexpr const char* kDataMemoryFailed = "Верификация памяти данных:       Пусто либо повреждение";

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void WriteReport(const CatalogueEntry& entry, const std::uint8_t* frame) {
  IWindow& window = Window();
  const ReportLabels& labels =
      entry.language == ReportLanguage::Russian ? kRussianLabels : kEnglishLabels;

  window.EnableControl(Control::Button1, false);
  window.EnableControl(Control::Button2, true);
  if (entry.dataMemory) {
    window.ShowControl(Control::Button4, true);
    window.EnableControl(Control::Button4, true);
  } else {
    window.ShowControl(Control::Button4, false);
  }

  window.ClearLog();
  window.AddLogLine(entry.firstLine);
  window.AddLogLine("");
  window.AddLogLine(labels.bootloader +
                    std::to_string(frame[IdentityRecord::BootloaderVersion]));

  const std::uint16_t firmware = Word(frame + IdentityRecord::FirmwareVersion);
  DeviceInfo.FirmwareVersion.store(firmware);
  window.AddLogLine(labels.firmware + std::to_string(firmware));

  if (entry.dataMemory) {
    const std::uint16_t data = Word(frame + IdentityRecord::DataVersion);
    DeviceInfo.DataMapVersion.store(data);
    window.AddLogLine(kDataVersionLabel + std::to_string(data));
  }

  const bool programOk = frame[IdentityRecord::ProgramMemoryCheck] == 1;
  DeviceInfo.ProgramMemoryOk.store(programOk);
  window.AddLogLine(programOk ? labels.programMemoryOk : labels.programMemoryFailed);

  if (entry.dataMemory) {
    window.AddLogLine(frame[IdentityRecord::DataMemoryCheck] == 1 ? kDataMemoryOk
                                                                  : kDataMemoryFailed);
  }
}

}  // namespace

const CatalogueEntry* FindCatalogueEntry(std::uint16_t deviceCode) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.code == deviceCode) return &entry;
  }
  return nullptr;
}

bool ReportDevice(const std::uint8_t* frame) {
  const std::uint16_t type = Word(frame + IdentityRecord::DeviceType);
  const bool alert = (type & 0x8000u) != 0;
  const auto code = static_cast<std::uint16_t>(type & 0x7FFFu);
  DeviceInfo.DeviceCode.store(code);

  if (const CatalogueEntry* entry = FindCatalogueEntry(code)) {
    WriteReport(*entry, frame);
  } else {
    Disconnect();
    Window().MessageBox(kUnknownDeviceText, kUnknownDeviceCaption, kMbOk);
  }
  return alert;
}
