// The device catalogue and the identity report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "connect/Connecter.h"
#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/RecordingWindow.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

const std::vector<std::string> kFirstLines = {
    "Подключено устройство: Arvo K16-300",
    "Подключено устройство: Arvo Pixel Uno/Arvo Strip Controller",
    "Подключено устройство: Arvo Pixel Octa",
    "Подключено устройство: Cellvane Rook",
    "Подключено устройство: Stagewire controller",
    "Подключено устройство: Stagewire q4-N",
    "Подключено устройство: FILE SERVICE (Stagewire q4-N)",
    "Подключено устройство: Glimmerbox mini",
    "Подключено устройство: Echo Sound board",
    "Подключено устройство: Glimmerbox mini W",
    "Подключено устройство: Glimmerbox mini + Stagewire v3",
    "Connected device: Glimmerbox mini W r7.2 (3.1)",
    "Connected device: Glimmerbox mini W r7.4 (3.1)",
    "Connected device: Novalux v1.1 ",
    "Connected device: Novalux W v1.1 ",
    "Connected device: Novalux W v1.2 ",
    " Connected device: Novalux Bus ",
    " Connected device: Novalux Hub8 ",
    " Connected device: Novalux W 1.4 Onyx ",
    " Connected device: Novalux-W-Q8S ",
};

const std::string kRuBoot = "Версия загрузчика (bootloader):  ";
const std::string kRuFirmware = "Версия микропрограммы (firmware): ";
const std::string kRuData = "Верcия памяти данных (Data): ";
const std::string kRuProgramOk = "Верификация памяти программ:  OK";
const std::string kRuProgramBad = "Верификация памяти программ:  FALSE память повреждена!";
const std::string kRuDataOk = "Верификация памяти данных:       OK";
const std::string kRuDataBad = "Верификация памяти данных:       Пусто либо повреждение";
const std::string kEnBoot = "Boot Loader Version:  ";
const std::string kEnFirmware = "Firmware version: ";
const std::string kEnProgramOk = "Verification of program memory:  OK";
const std::string kEnProgramBad = "Verification of program memory:  FALSE memory corrupted!";
const std::string kUnknownBox = "box " "Ошибка" "|0|" "Тип подключенного прибора не поддерживается программатором, обновите ПО!";

struct Identity : test_frames::Identity {
  std::uint8_t reservedFill = 0;
};

// An unscrambled IdentifyReply as the dispatcher hands it on.
Bytes Record(const Identity& id) {
  Bytes frame = test_frames::PlainIdentifyReply(id);
  std::fill(frame.begin() + 33, frame.begin() + 56, id.reservedFill);
  return frame;
}

class MessagerReport : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessagerForTest(); }
  void TearDown() override { ResetMessagerForTest(); }

  bool Report(const Identity& id) { return ReportDevice(Record(id).data()); }
  // What CONNECT does to the record of the last controller.
  static void Connect() {
    DeviceInfo.DeviceCode = 0;
    DeviceInfo.FirmwareVersion = 0;
    DeviceInfo.DataMapVersion = 0;
  }

  RecordingWindow window;
};

TEST_F(MessagerReport, WorkedExampleOfCodeOne) {
  EXPECT_FALSE(Report(Identity{}));
  EXPECT_EQ(window.Log(), (Lines{kFirstLines[0], "", kRuBoot + "3", kRuFirmware + "12", kRuData + "2",
                                 kRuProgramOk, kRuDataBad}));
  const auto events = window.Events();
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(Lines(events.begin(), events.begin() + 5),
            (Lines{"enable Button1 0", "enable Button2 1", "show Button4 1", "enable Button4 1", "clear-log"}));
  EXPECT_EQ(events.size(), 5u + 7u);
  EXPECT_EQ(DeviceInfo.DeviceCode.load(), 1);
  EXPECT_EQ(DeviceInfo.FirmwareVersion.load(), 12);
  EXPECT_EQ(DeviceInfo.DataMapVersion.load(), 2);
  EXPECT_TRUE(DeviceInfo.ProgramMemoryOk.load());
}

TEST_F(MessagerReport, CodeOneMemoryChecks) {
  Identity id;
  id.dataCheck = 1;
  Report(id);
  EXPECT_EQ(window.Log().back(), kRuDataOk);
  id.programCheck = 0;
  id.dataCheck = 2;
  Report(id);
  EXPECT_EQ(window.Log()[5], kRuProgramBad);
  EXPECT_EQ(window.Log()[6], kRuDataBad);
  EXPECT_FALSE(DeviceInfo.ProgramMemoryOk.load());
}

TEST_F(MessagerReport, AlertBitIsReturnedAndNotPartOfTheCode) {
  Identity id;
  id.deviceType = 0x8001;
  EXPECT_TRUE(Report(id));
  EXPECT_EQ(DeviceInfo.DeviceCode.load(), 1);
  EXPECT_EQ(window.Log().size(), 7u);
  EXPECT_EQ(window.Log()[0], kFirstLines[0]);
}

TEST_F(MessagerReport, CatalogueOfTwentyModels) {
  EXPECT_EQ(FindCatalogueEntry(0), nullptr);
  EXPECT_EQ(FindCatalogueEntry(21), nullptr);
  EXPECT_EQ(FindCatalogueEntry(0x8001), nullptr);
  for (std::uint16_t code = 1; code <= 20; ++code) {
    SCOPED_TRACE(code);
    const CatalogueEntry* entry = FindCatalogueEntry(code);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->code, code);
    EXPECT_EQ(entry->firstLine, kFirstLines[code - 1]);
    EXPECT_NE(std::string(entry->firstLine).find(entry->model), std::string::npos);
    EXPECT_EQ(entry->dataMemory, code == 1);
    EXPECT_EQ(entry->language, code <= 11 ? ReportLanguage::Russian : ReportLanguage::English);
  }
}

TEST_F(MessagerReport, BlanksAndLettersThatAreEasyToLose) {
  EXPECT_EQ(FindCatalogueEntry(14)->firstLine, std::string("Connected device: Novalux v1.1 "));
  EXPECT_EQ(FindCatalogueEntry(17)->firstLine, std::string(" Connected device: Novalux Bus "));
  Report(Identity{});
  const std::string data = window.Log()[4];
  EXPECT_EQ(data.substr(0, 7), "\xD0\x92\xD0\xB5\xD1\x80" "c");  // Latin c after "Вер"
  EXPECT_NE(window.Log()[2].find(":  3"), std::string::npos);
  EXPECT_NE(window.Log()[3].find(": 12"), std::string::npos);
  EXPECT_NE(window.Log()[6].find(":       "), std::string::npos);
}

TEST_F(MessagerReport, EveryShortReport) {
  for (std::uint16_t code = 2; code <= 20; ++code) {
    SCOPED_TRACE(code);
    window.ClearEvents();
    Identity id;
    id.deviceType = code;
    id.bootloader = static_cast<std::uint8_t>(code + 1);
    id.firmware = static_cast<std::uint16_t>(0x0100 + code);
    id.data = 0x0707;
    id.programCheck = code % 2 ? 1 : 0;
    id.dataCheck = 1;
    DeviceInfo.DataMapVersion = 9;
    EXPECT_FALSE(Report(id));

    const bool russian = code <= 11;
    const std::string program = id.programCheck == 1 ? (russian ? kRuProgramOk : kEnProgramOk)
                                                     : (russian ? kRuProgramBad : kEnProgramBad);
    EXPECT_EQ(window.Log(), (Lines{kFirstLines[code - 1], "",
                                   (russian ? kRuBoot : kEnBoot) + std::to_string(code + 1),
                                   (russian ? kRuFirmware : kEnFirmware) + std::to_string(0x0100 + code),
                                   program}));
    const auto events = window.Events();
    ASSERT_EQ(events.size(), 4u + 5u);
    EXPECT_EQ(Lines(events.begin(), events.begin() + 4),
              (Lines{"enable Button1 0", "enable Button2 1", "show Button4 0", "clear-log"}));
    EXPECT_FALSE(window.Visible(Control::Button4));
    EXPECT_EQ(DeviceInfo.DeviceCode.load(), code);
    EXPECT_EQ(DeviceInfo.FirmwareVersion.load(), 0x0100 + code);
    EXPECT_EQ(DeviceInfo.DataMapVersion.load(), 9);  // only code 1 reads it
    EXPECT_EQ(DeviceInfo.ProgramMemoryOk.load(), id.programCheck == 1);
  }
}

TEST_F(MessagerReport, UnknownCodes) {
  for (std::uint16_t type : {0x0000, 0x0015, 0x7FFF, 0x8000, 0x8015}) {
    SCOPED_TRACE(type);
    DeviceInfo.FirmwareVersion = 77;
    DeviceInfo.DataMapVersion = 88;
    DeviceInfo.ProgramMemoryOk = true;
    window.ClearEvents();
    Identity id;
    id.deviceType = type;
    EXPECT_EQ(Report(id), (type & 0x8000) != 0);
    const auto events = window.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), kUnknownBox);
    EXPECT_EQ(std::count(events.begin(), events.end(), "status device disconnected."), 1);
    for (const auto& e : events) EXPECT_NE(e.rfind("log ", 0), 0u) << e;
    EXPECT_TRUE(window.Log().empty());
    EXPECT_EQ(DeviceInfo.DeviceCode.load(), type & 0x7FFF);
    EXPECT_EQ(DeviceInfo.FirmwareVersion.load(), 77);
    EXPECT_EQ(DeviceInfo.DataMapVersion.load(), 88);
    EXPECT_TRUE(DeviceInfo.ProgramMemoryOk.load());
  }
}

TEST_F(MessagerReport, FailedProgramCheckAndExtremeVersions) {
  for (std::uint8_t check : {0, 2, 255}) {
    Identity id;
    id.deviceType = 12;
    id.programCheck = check;
    id.bootloader = 0xFF;
    id.firmware = 0xFFFF;
    DeviceInfo.ProgramMemoryOk = true;
    Report(id);
    EXPECT_EQ(window.Log(), (Lines{kFirstLines[11], "", kEnBoot + "255", kEnFirmware + "65535", kEnProgramBad}));
    EXPECT_FALSE(DeviceInfo.ProgramMemoryOk.load());
    EXPECT_EQ(DeviceInfo.FirmwareVersion.load(), 65535);
  }
  Identity id;
  id.programCheck = 2;
  id.data = 0xFFFF;
  id.firmware = 0x0105;
  Report(id);
  EXPECT_EQ(window.Log()[3], kRuFirmware + "261");
  EXPECT_EQ(window.Log()[4], kRuData + "65535");
  EXPECT_EQ(window.Log()[5], kRuProgramBad);
}

TEST_F(MessagerReport, ReservedBytesChangeNothing) {
  Report(Identity{});
  const auto plain = window.Events();
  window.ClearEvents();
  Identity noisy;
  noisy.reservedFill = 0xC3;
  Report(noisy);
  EXPECT_EQ(window.Events(), plain);
}

TEST_F(MessagerReport, ShortReportAfterCodeOneAndReconnect) {
  Report(Identity{});
  EXPECT_TRUE(window.Visible(Control::Button4));
  Disconnect();
  Connect();
  Identity five;
  five.deviceType = 5;
  five.data = 0x0303;
  Report(five);
  EXPECT_EQ(DeviceInfo.DataMapVersion.load(), 0);
  EXPECT_FALSE(window.Visible(Control::Button4));
  EXPECT_EQ(window.Log(), (Lines{kFirstLines[4], "", kRuBoot + "3", kRuFirmware + "12", kRuProgramOk}));
}

TEST_F(MessagerReport, WriteDataMapStaysHiddenAfterDisconnect) {
  for (std::uint16_t code : {2, 13, 20}) {
    Identity id;
    id.deviceType = code;
    Report(id);
    EXPECT_FALSE(window.Visible(Control::Button4));
    Disconnect();
    EXPECT_FALSE(window.Visible(Control::Button4));
    EXPECT_FALSE(window.Enabled(Control::Button4));
    EXPECT_TRUE(window.Enabled(Control::Button1));
  }
  Report(Identity{});
  EXPECT_TRUE(window.Visible(Control::Button4));
  EXPECT_TRUE(window.Enabled(Control::Button4));
}

}  // namespace
