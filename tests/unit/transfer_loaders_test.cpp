#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "protocol/Messager.h"
#include "support/RecordingWindow.h"
#include "transfer/ImageStore.h"
#include "transfer/Loaders.h"
#include "unit/transfer_test_images.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace transfer_test;
namespace fs = std::filesystem;

// The texts the user sees, as the product defines them.
constexpr const char* kTFirmwareFilter = "binary file SBIN (*.sbin)|*.sbin";
constexpr const char* kTFirmwareExt = "sbin";
constexpr const char* kTDataMapFilter = "карта данных LBIN (*.lbin)|*.lbin";
constexpr const char* kTDataMapExt = "lbin";
constexpr const char* kTFirmwareCorruptedText = "The firmware file is corrupted!";
constexpr const char* kTFirmwareHeaderText = " The firmware file is corrupted, the action is canceled!";
constexpr const char* kTFirmwareWrongDeviceText = " The firmware is not designed for this device! ";
constexpr const char* kTFirmwareOlderQuestion = "The device has a newer version of the firmware, you want to record the previous?";
constexpr const char* kTFirmwareSameQuestion = "In the device already offered firmware version, want to continue?";
constexpr const char* kTFileErrorText = "Can't perform one of the following file operations: Open, Seek, Read, Close.";
constexpr const char* kTFileErrorCaption = "File Error";
constexpr const char* kTErrorCaption = "Error";
constexpr const char* kTFirmwareDamagedText = "Микропрограмма устройства повреждена, сначала корректно запишите микропрограмму, затем повторите попытку!";
constexpr const char* kTDataMapCorruptedText = "Файл карты данных поврежден!";
constexpr const char* kTDataMapHeaderSuffix = " \n\r Файл карты данных поврежден, действие отменено!";
constexpr const char* kTDataMapHeaderCaption = "Прошивка невозможна";
constexpr const char* kTDataMapWrongDeviceText = "Предлагаемая карта данных предназначена не для этого устройства. Запись невозможна! \n Создайте карту данных именно для вашего устройства и повторите попытку!";
constexpr const char* kTDataMapWrongDataCaption = "Не корректные данные для устройства";
constexpr const char* kTDataMapVersionSuffix = " \nВерсия предлагаемой карты данных не совместима с версией прошивки устройства. \nДля устранения такой проблемы необходимо обновить прошивку устройства по последней, \nтакже обновить ПО Tavrin с сайта производителя!";

const std::string kFirmwareDialog = std::string("dialog ") + kTFirmwareFilter + "|" + kTFirmwareExt;
const std::string kDataMapDialog = std::string("dialog ") + kTDataMapFilter + "|" + kTDataMapExt;

std::string Box(const std::string& caption, int flags, const std::string& text) {
  return "box " + caption + "|" + std::to_string(flags) + "|" + text;
}
std::string Message(const std::string& text) { return "message " + text; }

// Everything a loader may change, taken whole.
struct StoreSnapshot {
  std::vector<std::uint8_t> frames;
  std::uint32_t frameCount;
  ImageKind kind;
  std::uint32_t cursor;
  std::vector<std::uint8_t> firmwareHeader;
  std::vector<std::uint8_t> dataMapHeader;

  static StoreSnapshot Take() {
    std::lock_guard lock(TransmitLock());
    const ImageStoreT& s = ImageStore();
    return {std::vector<std::uint8_t>(s.Frames, s.Frames + kStoreBytes),
            s.FrameCount,
            s.Kind,
            s.Cursor,
            std::vector<std::uint8_t>(s.FirmwareHeader, s.FirmwareHeader + 256),
            std::vector<std::uint8_t>(s.DataMapHeader, s.DataMapHeader + 16)};
  }
  bool operator==(const StoreSnapshot&) const = default;
};

struct OnDisk {
  std::vector<std::uint8_t> bytes;
  fs::file_time_type written;
  fs::perms perms;
  static OnDisk Of(const fs::path& p) {
    return {ReadFile(p), fs::last_write_time(p), fs::status(p).permissions()};
  }
  bool operator==(const OnDisk&) const = default;
};

class Loaders : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
    std::random_device entropy;
    dir_ = fs::temp_directory_path() / ("tavrin-transfer-" + std::to_string(entropy()) + "-" +
                                        std::to_string(entropy()));
    ASSERT_TRUE(fs::create_directory(dir_)) << dir_;
    Connect(5, 0x0200, 7, true);
    sent_.Install();
  }
  void TearDown() override {
    SetBeforeReadHookForTest(nullptr);
    ResetMessagerForTest();
    ResetImageStoreForTest();
    std::error_code ec;
    // Windows deletes no read-only file, and some tests make theirs read-only.
    for (const auto& entry : fs::directory_iterator(dir_, ec)) {
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
  }

  static void Connect(std::uint16_t code, std::uint16_t firmware, std::uint16_t dataMap, bool ok) {
    DeviceInfo.DeviceCode.store(code);
    DeviceInfo.FirmwareVersion.store(firmware);
    DeviceInfo.DataMapVersion.store(dataMap);
    DeviceInfo.ProgramMemoryOk.store(ok);
  }

  fs::path Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path p = dir_ / name;
    WriteFile(p, bytes);
    return p;
  }

  // Runs one action on `path` and returns what the window saw.
  std::vector<std::string> Load(ImageKind kind, const fs::path& path) {
    window_.ClearEvents();
    // The dialog hands over UTF-8, whatever the platform's narrow encoding.
    const std::u8string name = path.u8string();
    window_.QueueDialogAnswer(std::string(name.begin(), name.end()));
    kind == ImageKind::Firmware ? Button2Click() : Button4Click();
    return window_.Events();
  }

  // A data-map transfer already under way (cursor 3), so that a refusal has
  // something to leave alone.
  void StartEarlierDataMap() {
    const auto p = Write("earlier.lbin", MakeDataMap({.deviceType = 5, .frames = 6, .seed = 99}));
    DeviceInfo.DataMapVersion.store(7);
    ASSERT_EQ(Load(ImageKind::DataMap, p), (std::vector<std::string>{kDataMapDialog, "gauge 0"}));
    SendNextChunk(false, 40);
    SendNextChunk(false, 40);
    sent_.Clear();
  }

  fs::path dir_;
  RecordingWindow window_;
  TransmitRecorder sent_{true};
};

TEST_F(Loaders, FirmwareDialogCancelledChangesNothing) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  window_.ClearEvents();
  LoadFirmwareImage();
  EXPECT_EQ(window_.Events(), (std::vector<std::string>{kFirmwareDialog}));
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, FirmwareOfTheWrongLengthIsCorrupted) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  const auto valid = MakeFirmware({});
  std::vector<fs::path> files = {
      Write("empty.sbin", {}),
      dir_ / "missing.sbin",
      dir_,  // a folder cannot be read as a file
      Write("520.sbin", RandomBytes(520, 3)),
      Write("200.sbin", RandomBytes(200, 4)),
      // Whole frames, but fewer than the eight header frames.
      Write("256.sbin", {valid.begin(), valid.begin() + 256}),
      Write("448.sbin", {valid.begin(), valid.begin() + 448}),
      Write("513.sbin", RandomBytes(513, 5)),
  };
  for (const auto& f : files) {
    EXPECT_EQ(Load(ImageKind::Firmware, f),
              (std::vector<std::string>{kFirmwareDialog, Message(kTFirmwareCorruptedText)}))
        << f;
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, FirmwareOfEightFramesIsAcceptedAndStarted) {
  const FirmwareLayout layout{.deviceType = 5, .version = 0x0300};
  const auto file = MakeFirmware(layout);
  const auto p = Write("fw.sbin", file);
  EXPECT_EQ(Load(ImageKind::Firmware, p), (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));

  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0].bytes, std::vector<std::uint8_t>(file.begin(), file.begin() + 64));
  EXPECT_EQ(fresh[0].intervalMs, 40);
  const auto after = StoreSnapshot::Take();
  EXPECT_EQ(after.frameCount, 8u);
  EXPECT_EQ(after.kind, ImageKind::Firmware);
  EXPECT_EQ(after.cursor, 1u);
  EXPECT_EQ(after.firmwareHeader, FirmwareHeaderOf(layout));
  EXPECT_TRUE(std::equal(file.begin(), file.end(), after.frames.begin()));
}

TEST_F(Loaders, FirmwareWithADamagedHeaderFrameIsRefused) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  for (std::size_t damaged : {0u, 7u}) {
    auto file = MakeFirmware({.frames = 10});
    DamageHeaderFrame(file, damaged);
    EXPECT_EQ(Load(ImageKind::Firmware, Write("bad.sbin", file)),
              (std::vector<std::string>{kFirmwareDialog, Box(kTErrorCaption, 0, kTFirmwareHeaderText)}))
        << "frame " << damaged;
    FileCheckResult check = CheckFirmwareFile(file.data(), file.size(), CurrentDeviceFacts());
    EXPECT_EQ(check.Verdict, FileVerdict::HeaderDamaged);
    EXPECT_EQ(check.DamagedHeaderFrame, static_cast<int>(damaged));
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, FirmwareForAnotherDeviceIsRefused) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  // The controller's code never has its top bit set, so 0x8005 is not 5.
  for (std::uint16_t type : {std::uint16_t{6}, std::uint16_t{0x8005}, std::uint16_t{0x0500}}) {
    EXPECT_EQ(Load(ImageKind::Firmware, Write("other.sbin", MakeFirmware({.deviceType = type}))),
              (std::vector<std::string>{kFirmwareDialog, Box(kTErrorCaption, 0, kTFirmwareWrongDeviceText)}))
        << type;
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, FirmwareVersionQuestions) {
  struct Case {
    std::uint16_t fileVersion;
    bool memoryOk;
    const char* question;  // nullptr: none asked
  };
  const Case cases[] = {
      {0x01FF, true, kTFirmwareOlderQuestion},  {0x0200, true, kTFirmwareSameQuestion},
      {0x0201, true, nullptr},                  {0x01FF, false, nullptr},
      {0x0200, false, nullptr},                 {0x0201, false, nullptr},
      {0x0000, true, kTFirmwareOlderQuestion},  // versions compare unsigned
  };
  for (const Case& c : cases) {
    for (int answer : {kIdNo, kIdYes}) {
      if (c.question == nullptr && answer == kIdNo) continue;
      SCOPED_TRACE(::testing::Message() << "version " << c.fileVersion << " ok " << c.memoryOk
                                        << " answer " << answer);
      ResetImageStoreForTest();
      sent_.Clear();
      Connect(5, 0x0200, 7, c.memoryOk);
      const auto before = StoreSnapshot::Take();
      if (c.question != nullptr) window_.QueueBoxAnswer(answer);
      const auto events = Load(ImageKind::Firmware,
                               Write("v.sbin", MakeFirmware({.version = c.fileVersion})));
      std::vector<std::string> expected = {kFirmwareDialog};
      if (c.question != nullptr) expected.push_back(Box("", 0x44, c.question));
      if (answer == kIdYes) expected.push_back("gauge 0");
      EXPECT_EQ(events, expected);
      if (answer == kIdYes) {
        EXPECT_EQ(sent_.Fresh().size(), 1u);
        EXPECT_EQ(StoreSnapshot::Take().frameCount, 8u);
      } else {
        EXPECT_TRUE(sent_.All().empty());
        EXPECT_TRUE(StoreSnapshot::Take() == before);
      }
    }
  }
}

TEST_F(Loaders, AReadErrorGivesTheFileErrorBox) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  // Another program cuts the file short between measuring and reading.
  SetBeforeReadHookForTest([](const std::string& path) { fs::resize_file(path, 100); });
  for (int answer : {kIdOk, kIdCancel}) {
    window_.QueueBoxAnswer(answer);
    EXPECT_EQ(Load(ImageKind::Firmware, Write("shrinks.sbin", MakeFirmware({}))),
              (std::vector<std::string>{kFirmwareDialog, Box(kTFileErrorCaption, 1, kTFileErrorText)}));
    window_.QueueBoxAnswer(answer);
    EXPECT_EQ(Load(ImageKind::DataMap, Write("shrinks.lbin", MakeDataMap({.deviceType = 5}))),
              (std::vector<std::string>{kDataMapDialog, Box(kTFileErrorCaption, 1, kTFileErrorText)}));
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, AFileUnderACyrillicPathLoads) {
  const fs::path folder = dir_ / fs::path(u8"Прошивки");
  ASSERT_TRUE(fs::create_directory(folder));
  const fs::path fw = folder / fs::path(u8"прошивка.sbin");
  WriteFile(fw, MakeFirmware({.version = 0x0300, .frames = 9}));
  EXPECT_EQ(Load(ImageKind::Firmware, fw), (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));
  EXPECT_EQ(ImageStore().FrameCount, 9u);
#ifdef _WIN32
  // Another program has it open for writing: the loader, which shares it
  // with no one, cannot open it.
  const HANDLE writer = CreateFileW(fw.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Load(ImageKind::Firmware, fw),
            (std::vector<std::string>{kFirmwareDialog, Message(kTFirmwareCorruptedText)}));
  CloseHandle(writer);
#endif
}

TEST_F(Loaders, AFileUnderAPathOfMoreThan259CharactersLoads) {
  fs::path folder = dir_;
  for (char c = 'a'; c < 'g'; ++c) folder /= std::string(50, c);
  const fs::path fw = folder / "long.sbin";
  ASSERT_GT(fw.native().size(), 259u);
#ifdef _WIN32
  // Made through the system's long form, which Windows needs for such a path
  // whatever the loader does.
  const fs::path made(L"\\\\?\\" + fs::absolute(folder).wstring());
#else
  const fs::path made = folder;
#endif
  ASSERT_TRUE(fs::create_directories(made));
  WriteFile(made / "long.sbin", MakeFirmware({.version = 0x0300, .frames = 9}));
  EXPECT_EQ(Load(ImageKind::Firmware, fw), (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));
  EXPECT_EQ(ImageStore().FrameCount, 9u);
}

#ifndef _WIN32
TEST_F(Loaders, AFifoOrDeviceInPlaceOfTheFileIsCorruptedAndNeverWaitedOn) {
  // A FIFO put where the chosen file was: opening it for reading would wait
  // for a writer. Should the load wait anyway, a writer comes after 5 s to
  // let it go, and the time shows it.
  const fs::path fifo = dir_ / "swapped.sbin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::promise<void> loaded;
  auto done = loaded.get_future();
  std::thread rescuer([&] {
    if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return;
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
  });
  const auto start = std::chrono::steady_clock::now();
  platform::InputFile direct;
  EXPECT_EQ(direct.Open(fifo.string()), platform::InputFile::OpenResult::NotRegularFile);
  const auto events = Load(ImageKind::Firmware, fifo);
  const auto took = std::chrono::steady_clock::now() - start;
  loaded.set_value();
  rescuer.join();
  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_EQ(events, (std::vector<std::string>{kFirmwareDialog, Message(kTFirmwareCorruptedText)}));
  EXPECT_EQ(Load(ImageKind::DataMap, fifo),
            (std::vector<std::string>{kDataMapDialog, Message(kTDataMapCorruptedText)}));
  EXPECT_EQ(Load(ImageKind::Firmware, "/dev/zero"),
            (std::vector<std::string>{kFirmwareDialog, Message(kTFirmwareCorruptedText)}));
  EXPECT_EQ(Load(ImageKind::DataMap, dir_),
            (std::vector<std::string>{kDataMapDialog, Message(kTDataMapCorruptedText)}));

  // Swapped after the file was measured: the bytes still come from the file
  // that was opened and measured.
  const auto file = MakeFirmware({.version = 0x0300, .frames = 10});
  const fs::path chosen = Write("chosen.sbin", file);
  SetBeforeReadHookForTest([&](const std::string& path) {
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  });
  EXPECT_EQ(Load(ImageKind::Firmware, chosen),
            (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));
  EXPECT_EQ(ImageStore().FrameCount, 10u);
  EXPECT_EQ(std::memcmp(ImageStore().Frames, file.data(), file.size()), 0);
  EXPECT_TRUE(sent_.All().size() == 1u);
}
#endif

TEST_F(Loaders, FilesLongerThanTheStoreAreRefusedBeforeReading) {
  // The largest image the store holds is accepted whole.
  {
    auto file = MakeFirmware({.version = 0x0300, .frames = kMaxFrames});
    ASSERT_EQ(Load(ImageKind::Firmware, Write("max.sbin", file)),
              (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));
    EXPECT_EQ(ImageStore().FrameCount, kMaxFrames);
  }
  const auto before = StoreSnapshot::Take();
  sent_.Clear();
  bool read = false;
  SetBeforeReadHookForTest([&](const std::string&) { read = true; });
  const auto fw = Write("huge.sbin", MakeFirmware({}));
  fs::resize_file(fw, kStoreBytes + 64);
  EXPECT_EQ(Load(ImageKind::Firmware, fw),
            (std::vector<std::string>{
                kFirmwareDialog,
                Box("Error", 0,
                    " The firmware file is too large (more than 10240000 bytes), the action is canceled!")}));
  const auto map = Write("huge.lbin", MakeDataMap({.deviceType = 5}));
  fs::resize_file(map, std::uint64_t{1} << 32);  // sparse: nothing is written
  EXPECT_EQ(Load(ImageKind::DataMap, map),
            (std::vector<std::string>{
                kDataMapDialog,
                Box(kTDataMapHeaderCaption, 0,
                    map.string() + " \n\r Файл карты данных слишком велик (более 10240000 байт), действие отменено!")}));
  EXPECT_FALSE(read);
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, TheChosenFileIsNeverChanged) {
  fs::path paths[] = {
      Write("ok.sbin", MakeFirmware({.version = 0x0300})),
      Write("older.sbin", MakeFirmware({.version = 0x0100})),
      Write("other.sbin", MakeFirmware({.deviceType = 9})),
      Write("ok.lbin", MakeDataMap({.deviceType = 5})),
      Write("wrongversion.lbin", MakeDataMap({.deviceType = 5, .dataVersion = 8})),
  };
  std::vector<OnDisk> before;
  for (const auto& p : paths) {
    fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    before.push_back(OnDisk::Of(p));
  }
  for (const auto& p : paths) {
    Load(p.extension() == ".sbin" ? ImageKind::Firmware : ImageKind::DataMap, p);
  }
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_TRUE(OnDisk::Of(paths[i]) == before[i]) << paths[i];
  }
}

TEST_F(Loaders, DataMapNeedsWorkingFirmwareBeforeTheDialog) {
  Connect(5, 0x0200, 7, false);
  window_.QueueDialogAnswer(Write("ok.lbin", MakeDataMap({.deviceType = 5})).string());
  LoadDataMap();
  EXPECT_EQ(window_.Events(), (std::vector<std::string>{Message(kTFirmwareDamagedText)}));
  EXPECT_TRUE(sent_.All().empty());
}

TEST_F(Loaders, DataMapDialogCancelledChangesNothing) {
  LoadDataMap();
  EXPECT_EQ(window_.Events(), (std::vector<std::string>{kDataMapDialog}));
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_EQ(ImageStore().FrameCount, 0u);
}

TEST_F(Loaders, DataMapOfTheWrongLengthIsCorrupted) {
  const auto valid = MakeDataMap({.deviceType = 5, .frames = 8});
  std::vector<fs::path> files = {
      Write("empty.lbin", {}), dir_ / "missing.lbin", Write("200.lbin", {valid.begin(), valid.begin() + 200}),
      Write("300.lbin", {valid.begin(), valid.begin() + 300}), Write("192.lbin", {valid.begin(), valid.begin() + 192}),
  };
  for (const auto& f : files) {
    EXPECT_EQ(Load(ImageKind::DataMap, f),
              (std::vector<std::string>{kDataMapDialog, Message(kTDataMapCorruptedText)}))
        << f;
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_EQ(ImageStore().FrameCount, 0u);
}

TEST_F(Loaders, DataMapOfFourFramesIsAcceptedOnlyItsHeaderFrameChecked) {
  const DataMapLayout layout{.deviceType = 5, .dataVersion = 7, .imageCrc = 0x55667788};
  auto file = MakeDataMap(layout);
  file[2 * 64 + 30] ^= 0xFF;  // damage outside frame 0 goes unnoticed
  EXPECT_EQ(Load(ImageKind::DataMap, Write("map.lbin", file)),
            (std::vector<std::string>{kDataMapDialog, "gauge 0"}));
  const auto after = StoreSnapshot::Take();
  EXPECT_EQ(after.frameCount, 4u);
  EXPECT_EQ(after.kind, ImageKind::DataMap);
  const auto payload = DataMapPayloadOf(layout);
  EXPECT_EQ(after.dataMapHeader, std::vector<std::uint8_t>(payload.begin(), payload.begin() + 16));
  EXPECT_TRUE(std::equal(file.begin(), file.end(), after.frames.begin()));
  ASSERT_EQ(sent_.Fresh().size(), 1u);
  EXPECT_EQ(sent_.Fresh()[0].intervalMs, 40);
}

TEST_F(Loaders, DataMapRefusals) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();

  auto damaged = MakeDataMap({.deviceType = 5});
  DamageHeaderFrame(damaged, 0);
  const auto damagedPath = Write("damaged.lbin", damaged);
  EXPECT_EQ(Load(ImageKind::DataMap, damagedPath),
            (std::vector<std::string>{kDataMapDialog,
                                      Box(kTDataMapHeaderCaption, 0, damagedPath.string() + kTDataMapHeaderSuffix)}));

  for (std::uint16_t type : {std::uint16_t{1}, std::uint16_t{0x8005}}) {
    EXPECT_EQ(Load(ImageKind::DataMap, Write("other.lbin", MakeDataMap({.deviceType = type}))),
              (std::vector<std::string>{kDataMapDialog,
                                        Box(kTDataMapWrongDataCaption, 0, kTDataMapWrongDeviceText)}));
  }
  for (std::uint16_t version : {std::uint16_t{6}, std::uint16_t{8}, std::uint16_t{0x0107}}) {
    const auto p = Write("v" + std::to_string(version) + ".lbin",
                         MakeDataMap({.deviceType = 5, .dataVersion = version}));
    EXPECT_EQ(Load(ImageKind::DataMap, p),
              (std::vector<std::string>{kDataMapDialog,
                                        Box(kTDataMapWrongDataCaption, 0, p.string() + kTDataMapVersionSuffix)}));
  }
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(StoreSnapshot::Take() == before);
}

TEST_F(Loaders, ARefusedDataMapLeavesARunningFirmwareWriteIntact) {
  const FirmwareLayout firmware{.deviceType = 5, .version = 0x0300, .imageCrc = 0xDEADBEEF, .frames = 12};
  const auto fwFile = MakeFirmware(firmware);
  ASSERT_EQ(Load(ImageKind::Firmware, Write("fw.sbin", fwFile)),
            (std::vector<std::string>{kFirmwareDialog, "gauge 0"}));
  for (int i = 0; i < 3; ++i) SendNextChunk(false, 40);
  const auto before = StoreSnapshot::Take();

  // Right device code but another data version, and another device: both
  // refused after their header checked out.
  Load(ImageKind::DataMap, Write("v.lbin", MakeDataMap({.deviceType = 5, .dataVersion = 9})));
  Load(ImageKind::DataMap, Write("d.lbin", MakeDataMap({.deviceType = 3, .dataVersion = 7})));
  EXPECT_TRUE(StoreSnapshot::Take() == before);

  sent_.Clear();
  for (int i = 0; i < 9; ++i) SendNextChunk(false, 40);
  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 9u);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(fresh[i].bytes, std::vector<std::uint8_t>(fwFile.begin() + 64 * (i + 4), fwFile.begin() + 64 * (i + 5)));
  }
  const auto& close = fresh[8].bytes;
  EXPECT_EQ(close[1], 0x06);
  EXPECT_EQ(test_frames::ClosingImageCrc(close.data()), 0xDEADBEEFu);
}

TEST_F(Loaders, ARefusedFirmwareLeavesARunningDataMapWriteIntact) {
  StartEarlierDataMap();
  const auto before = StoreSnapshot::Take();
  auto damaged7 = MakeFirmware({});
  DamageHeaderFrame(damaged7, 7);
  Load(ImageKind::Firmware, Write("h.sbin", damaged7));
  Load(ImageKind::Firmware, Write("d.sbin", MakeFirmware({.deviceType = 4})));
  window_.QueueBoxAnswer(kIdNo);
  Load(ImageKind::Firmware, Write("o.sbin", MakeFirmware({.version = 0x0100})));
  EXPECT_TRUE(StoreSnapshot::Take() == before);
  EXPECT_TRUE(sent_.All().empty());
}

TEST(FileChecks, LengthRules) {
  EXPECT_EQ(CheckFileLength(ImageKind::Firmware, -1), FileVerdict::Corrupted);
  EXPECT_EQ(CheckFileLength(ImageKind::Firmware, 448), FileVerdict::Corrupted);
  EXPECT_EQ(CheckFileLength(ImageKind::Firmware, 512), FileVerdict::Accepted);
  EXPECT_EQ(CheckFileLength(ImageKind::DataMap, 256), FileVerdict::Accepted);
  EXPECT_EQ(CheckFileLength(ImageKind::DataMap, 260), FileVerdict::Corrupted);
  EXPECT_EQ(CheckFileLength(ImageKind::DataMap, kStoreBytes), FileVerdict::Accepted);
  EXPECT_EQ(CheckFileLength(ImageKind::DataMap, kStoreBytes + 64), FileVerdict::TooLarge);
  EXPECT_EQ(CheckFileLength(ImageKind::Firmware, std::int64_t{1} << 40), FileVerdict::TooLarge);
}

TEST(FileChecks, ShortFirmwareIsNotReadPastItsEnd) {
  // Only the bytes the length allows exist; a sanitizer build catches a read past them.
  const auto file = MakeFirmware({});
  for (std::size_t length : {256u, 320u, 448u}) {
    std::vector<std::uint8_t> exact(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(CheckFirmwareFile(exact.data(), exact.size(), {}).Verdict, FileVerdict::Corrupted);
  }
}

}  // namespace
