// Writing firmware and data maps from end to end: the real window (headless),
// the serial layer on a pseudo-terminal and the virtual controller on the
// other side of it.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "connect/Connecter.h"
#include "image/ImageFile.h"
#include "platform/Sound.h"
#include "serial/WireTap.h"
#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/Wait.h"
#include "support_qt/QtTestSupport.h"
#include "transfer/ImageStore.h"
#include "vc/VirtualController.h"

namespace {

using namespace std::chrono_literals;
using qttest::PumpUntil;
using qttest::TestWindow;
namespace vc = tavrin::vc;
namespace image = tavrin::image;

// Texts the user sees.
const std::string kFirmwareOk = "ОК|0|Firmware update completed successfully!";
const std::string kFirmwareFailed = "ERROR|0|Firmware update failure";
const std::string kDataMapOk = "ОК|0|Обновление карты данных успешно завершено!";
const std::string kWrongDeviceMap =
    "Не корректные данные для устройства|0|Предлагаемая карта данных предназначена не для этого "
    "устройства. Запись невозможна! \n Создайте карту данных именно для вашего устройства и "
    "повторите попытку!";
const std::string kRetryLimit = "Произведено 5 попыток коммуникации, связь прервана!";
const std::string kReadySound = "voice//update_is_ready.wav";
const std::string kFailedSound = "voice//update_failed.wav";

// Records the sounds the window starts.
class SoundRecorder {
 public:
  SoundRecorder() {
    platform::SetSoundPlayer([this](const std::string& path) {
      std::lock_guard lock(mutex_);
      played_.push_back(path);
    });
  }
  ~SoundRecorder() { platform::SetSoundPlayer({}); }
  std::vector<std::string> Played() const {
    std::lock_guard lock(mutex_);
    return played_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> played_;
};

class TransferEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
    ResetConnecterForTest();
    {
      std::lock_guard lock(SentMutex());
      Sent().clear();
    }
    wire::SetTap(&RecordSent);
    ASSERT_TRUE(dir_.isValid());
  }
  void TearDown() override {
    wire::SetTap(nullptr);
    ResetMessagerForTest();
    ResetImageStoreForTest();
  }

  // The 64-byte frames the host handed to its writer fresh, in order:
  // retransmissions are told apart where they are made, not guessed at by
  // the controller, whose guess fails when a retransmission crosses its answer.
  static std::mutex& SentMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::vector<std::uint8_t>>& Sent() {
    static std::vector<std::vector<std::uint8_t>> frames;
    return frames;
  }
  static void RecordSent(const wire::TapEvent& event) {
    if (event.kind != wire::TapKind::Out || !event.fresh || event.length != 64) return;
    std::lock_guard lock(SentMutex());
    Sent().emplace_back(event.bytes, event.bytes + event.length);
  }

  // A code-1 controller (it takes data maps too), firmware 3, data map 2,
  // answering each chunk with a 150 ms retransmission interval.
  static vc::Options ControllerOptions() {
    vc::Options o;
    o.identity.deviceCode = 1;
    o.identity.firmwareVersion = 3;
    o.identity.dataVersion = 2;
    o.intervalMs = 150;
    o.frameGapMs = 5;
    o.recordWire = true;  // the tests read the chunks and closing frames off the wire
    return o;
  }

  void StartController(const vc::Options& options) {
    controller_ = std::make_unique<vc::VirtualController>(ScaledTimes(options));
    std::string error;
    ASSERT_TRUE(controller_->Start(&error)) << error;
  }

  // CONNECT, and wait until the controller is identified.
  static void Connect(TestWindow& w) {
    ASSERT_TRUE(w.Click(Control::Button1));
    // The report of the reader thread reaches the window after the scan's status.
    ASSERT_TRUE(PumpUntil([&] { return w.Status() == "The device is connected!" && w.Enabled(Control::Button2); },
                          30s))
        << "status: " << w.Status();
  }

  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = (std::filesystem::path(dir_.path().toStdString()) / name).string();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static std::vector<std::uint8_t> Firmware(std::size_t frames, std::uint16_t version, std::uint32_t seed,
                                            std::uint16_t device = 1) {
    std::mt19937 rng(seed);
    const auto payload = image::GeneratePayload(frames - image::kFirmwareHeaderFrames, rng);
    return image::BuildFirmware({.deviceType = device, .version = version}, payload, rng);
  }
  static std::vector<std::uint8_t> DataMap(std::size_t frames, std::uint16_t device, std::uint16_t version,
                                           std::uint32_t seed) {
    std::mt19937 rng(seed);
    const auto payload = image::GeneratePayload(frames - 1, rng);
    return image::BuildDataMap({.deviceType = device, .dataVersion = version}, payload, rng);
  }

  std::vector<vc::WireFrame> ClosingFrames() const {
    std::vector<vc::WireFrame> closes;
    for (const auto& f : controller_->Wire()) {
      if (!f.out && f.bytes.size() == 64 && f.bytes[0] == 0xDA && (f.bytes[1] == 0x06 || f.bytes[1] == 0x08) &&
          f.what.find("again") == std::string::npos) {
        closes.push_back(f);
      }
    }
    return closes;
  }

  // The host sent every frame of the file once, in order, then one closing
  // frame (a second start of the transfer would send frame 0 again), and the
  // controller ended up holding exactly the file.
  void ExpectWritten(const std::vector<std::uint8_t>& file) const {
    std::vector<std::vector<std::uint8_t>> sent;
    {
      std::lock_guard lock(SentMutex());
      sent = Sent();
    }
    const std::size_t frames = file.size() / 64;
    ASSERT_EQ(sent.size(), frames + 1);
    for (std::size_t i = 0; i < frames; ++i) {
      ASSERT_TRUE(std::equal(sent[i].begin(), sent[i].end(), file.begin() + 64 * i)) << "frame " << i;
    }
    EXPECT_TRUE(sent[frames][1] == 0x06 || sent[frames][1] == 0x08);
    EXPECT_EQ(controller_->LastImage(), file);
  }

  static void ExpectClosingFrame(const std::vector<std::uint8_t>& frame, std::uint8_t type,
                                 std::uint32_t imageCrc) {
    ASSERT_EQ(frame.size(), 64u);
    EXPECT_EQ(frame[1], type);
    EXPECT_EQ(frame[59], 0);
    EXPECT_TRUE(test_frames::FrameSealed(frame.data(), 64));
    EXPECT_EQ(test_frames::ClosingImageCrc(frame.data()), imageCrc);
  }

  static void ExpectDisconnected(TestWindow& w) {
    EXPECT_TRUE(w.Enabled(Control::Button1));
    EXPECT_FALSE(w.Enabled(Control::Button2));
    EXPECT_FALSE(w.Enabled(Control::Button4));
    EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);
    EXPECT_TRUE(w.Log().empty());
    EXPECT_EQ(w.Gauge(), 0);
    EXPECT_FALSE(Timer2Running());
  }

  static bool HasBox(TestWindow& w, const std::string& box) {
    const auto texts = w.BoxTexts();
    return std::find(texts.begin(), texts.end(), box) != texts.end();
  }

  QTemporaryDir dir_;
  std::unique_ptr<vc::VirtualController> controller_;
};

TEST_F(TransferEndToEnd, AWholeFirmwareWrite) {
  vc::Options options = ControllerOptions();
  options.lineRate = true;  // slow enough to catch the gauge part-way
  StartController(options);
  TestWindow w;
  SoundRecorder sounds;
  Connect(w);

  const auto file = Firmware(120, 4, 11);
  const auto fields = image::ReadFirmwareHeader(file.data(), file.size());
  ASSERT_TRUE(fields.has_value());
  w.QueueDialogAnswer(Write("fw.sbin", file));
  ASSERT_TRUE(w.Click(Control::Button2));

  ASSERT_TRUE(PumpUntil([&] { return w.Gauge() >= 35; }, 30s));
  if (w.Gauge() <= 65) {
    EXPECT_FALSE(qttest::SaveScreenshot(&w.Form(), "transfer").empty());
  }
  ASSERT_TRUE(PumpUntil([&] { return HasBox(w, kFirmwareOk); }, 60s)) << ::testing::PrintToString(w.BoxTexts());
  ASSERT_TRUE(PumpUntil([&] { return !sounds.Played().empty(); }, 5s));

  ExpectWritten(file);
  const auto closes = ClosingFrames();
  ASSERT_EQ(closes.size(), 1u);
  ExpectClosingFrame(closes[0].bytes, 0x06, fields->imageCrc);
  const vc::Counters counters = controller_->GetCounters();
  EXPECT_EQ(counters.imagesOk, 1u);
  EXPECT_EQ(counters.lastImageCrcClaimed, counters.lastImageCrcComputed);

  EXPECT_EQ(sounds.Played(), (std::vector<std::string>{kReadySound}));
  EXPECT_EQ(w.Status(), "device disconnected.");
  ExpectDisconnected(w);
}

TEST_F(TransferEndToEnd, AWholeDataMapWrite) {
  StartController(ControllerOptions());
  TestWindow w;
  SoundRecorder sounds;
  Connect(w);
  ASSERT_TRUE(w.Visible(Control::Button4));

  const auto file = DataMap(20, 1, 2, 21);
  const auto fields = image::ReadDataMapHeader(file.data(), file.size());
  ASSERT_TRUE(fields.has_value());
  w.QueueDialogAnswer(Write("map.lbin", file));
  ASSERT_TRUE(w.Click(Control::Button4));
  ASSERT_TRUE(PumpUntil([&] { return HasBox(w, kDataMapOk); }, 60s)) << ::testing::PrintToString(w.BoxTexts());

  ExpectWritten(file);
  const auto closes = ClosingFrames();
  ASSERT_EQ(closes.size(), 1u);
  ExpectClosingFrame(closes[0].bytes, 0x08, fields->imageCrc);
  EXPECT_EQ(controller_->GetCounters().imagesOk, 1u);
  ExpectDisconnected(w);
  // A data map plays nothing: give Timer3 a few ticks to prove it.
  PumpUntil([] { return false; }, 400ms);
  EXPECT_TRUE(sounds.Played().empty());
}

TEST_F(TransferEndToEnd, AFailureResult) {
  vc::Options options = ControllerOptions();
  options.faults.closeResult = 0;
  StartController(options);
  TestWindow w;
  SoundRecorder sounds;
  Connect(w);

  w.QueueDialogAnswer(Write("fw.sbin", Firmware(16, 4, 31)));
  ASSERT_TRUE(w.Click(Control::Button2));
  ASSERT_TRUE(PumpUntil([&] { return HasBox(w, kFirmwareFailed); }, 60s))
      << ::testing::PrintToString(w.BoxTexts());
  ASSERT_TRUE(PumpUntil([&] { return !sounds.Played().empty(); }, 5s));
  EXPECT_EQ(sounds.Played(), (std::vector<std::string>{kFailedSound}));
  ExpectDisconnected(w);
}

TEST_F(TransferEndToEnd, TheRetryLimitEndsATransfer) {
  vc::Options options = ControllerOptions();
  options.intervalMs = 40;
  options.faults.ignore = *vc::FrameSet::Parse("12-1000000");  // goes quiet part-way
  StartController(options);
  TestWindow w;
  SoundRecorder sounds;
  Connect(w);

  w.QueueDialogAnswer(Write("fw.sbin", Firmware(40, 4, 41)));
  ASSERT_TRUE(w.Click(Control::Button2));
  ASSERT_TRUE(PumpUntil([&] { return w.Status() == kRetryLimit; }, 30s)) << w.Status();

  // The chunk that went unanswered was sent once fresh and six times again,
  // the last one handed to the writer just before the port closes.
  // The controller may not yet have read the last one when the status shows.
  const auto copies = [&] {
    const auto wire = controller_->Wire();
    const auto first = std::find_if(wire.begin(), wire.end(), [](const vc::WireFrame& f) {
      return f.what.find("[ignored]") != std::string::npos;
    });
    return first == wire.end() ? 0 : std::count_if(wire.begin(), wire.end(), [&](const vc::WireFrame& f) {
      return !f.out && f.bytes == first->bytes;
    });
  };
  controller_->WaitUntil([&] { return copies() >= 7; }, 2s);
  EXPECT_EQ(copies(), 7);
  // The link is down: nothing more goes out.
  const auto framesIn = controller_->GetCounters().framesIn;
  EXPECT_FALSE(controller_->WaitUntil([&] { return controller_->GetCounters().framesIn > framesIn; }, 400ms));
  EXPECT_TRUE(w.BoxTexts().empty());
  EXPECT_TRUE(sounds.Played().empty());
  EXPECT_TRUE(w.Enabled(Control::Button1));
  EXPECT_FALSE(w.Enabled(Control::Button2));
  EXPECT_EQ(w.Gauge(), 0);
}

TEST_F(TransferEndToEnd, AControllerUnpluggedWhileTheTransferWaitsWithoutRetransmissionIsReported) {
  vc::Options options = ControllerOptions();
  options.intervalMs = 0;  // no retransmission: nothing else would notice
  options.faults.ignore = *vc::FrameSet::Parse("12-1000000");
  StartController(options);
  TestWindow w;
  Connect(w);
  w.QueueDialogAnswer(Write("fw.sbin", Firmware(40, 4, 41)));
  ASSERT_TRUE(w.Click(Control::Button2));
  ASSERT_TRUE(PumpUntil([&] { return controller_->GetCounters().framesIn >= 12; }, 10s));
  EXPECT_FALSE(Timer2Running());
  controller_->Stop();  // unplugged
  // The gauge is the last of Disconnect's window steps.
  ASSERT_TRUE(PumpUntil([&] { return w.Status() == "device disconnected." && w.Gauge() == 0; }, 10s))
      << w.Status();
  ExpectDisconnected(w);
  EXPECT_TRUE(w.BoxTexts().empty());
}

TEST_F(TransferEndToEnd, APaceUpdateSlowsTheRetransmission) {
  constexpr std::uint16_t kPaceMs = 400;
  vc::Options options = ControllerOptions();
  options.intervalMs = 60;
  options.frameGapMs = 20;
  // Before the answer to frame 8 comes a PaceUpdate; the answer itself is
  // spoilt, so the host must retransmit at the new pace.
  options.faults.paceMs = kPaceMs;
  options.faults.paceFrames = vc::FrameSet::Of({8});
  options.faults.badCrc = vc::FrameSet::Of({8});
  StartController(options);
  TestWindow w;
  Connect(w);

  const auto file = Firmware(16, 4, 51);
  w.QueueDialogAnswer(Write("fw.sbin", file));
  ASSERT_TRUE(w.Click(Control::Button2));
  ASSERT_TRUE(PumpUntil([&] { return HasBox(w, kFirmwareOk); }, 60s)) << ::testing::PrintToString(w.BoxTexts());
  ExpectWritten(file);

  const auto wire = controller_->Wire();
  const auto pace = std::find_if(wire.begin(), wire.end(), [](const vc::WireFrame& f) {
    return f.out && f.bytes.size() >= 2 && f.bytes[1] == 0x05;
  });
  ASSERT_NE(pace, wire.end());
  const auto again = std::find_if(pace, wire.end(), [](const vc::WireFrame& f) { return !f.out; });
  ASSERT_NE(again, wire.end());
  EXPECT_NE(again->what.find("again"), std::string::npos) << again->what;
  // Not at the 60 ms of the last ChunkRequest: one full pace interval later.
  const double paced = kPaceMs * TimeScale();
  EXPECT_GE(again->ms - pace->ms, paced - 5.0);
  EXPECT_LT(again->ms - pace->ms, paced + 3000.0 * TimeScale());
}

TEST_F(TransferEndToEnd, ARefusedDataMapDuringAFirmwareWriteLeavesItToSucceed) {
  vc::Options options = ControllerOptions();
  options.lineRate = true;
  StartController(options);
  TestWindow w;
  Connect(w);

  const auto firmware = Firmware(200, 4, 61);
  const auto fields = image::ReadFirmwareHeader(firmware.data(), firmware.size());
  w.QueueDialogAnswer(Write("fw.sbin", firmware));
  ASSERT_TRUE(w.Click(Control::Button2));
  ASSERT_TRUE(PumpUntil([&] { return w.Gauge() >= 10; }, 30s));

  // A map whose header checks out but that is made for another device.
  w.QueueDialogAnswer(Write("other.lbin", DataMap(8, 2, 2, 62)));
  ASSERT_TRUE(w.Click(Control::Button4));
  EXPECT_TRUE(HasBox(w, kWrongDeviceMap)) << ::testing::PrintToString(w.BoxTexts());
  EXPECT_GT(w.Gauge(), 0);  // the write was still under way

  ASSERT_TRUE(PumpUntil([&] { return HasBox(w, kFirmwareOk); }, 60s)) << ::testing::PrintToString(w.BoxTexts());
  ExpectWritten(firmware);
  const auto closes = ClosingFrames();
  ASSERT_EQ(closes.size(), 1u);
  ExpectClosingFrame(closes[0].bytes, 0x06, fields->imageCrc);
  EXPECT_EQ(controller_->GetCounters().imagesOk, 1u);
}

TEST_F(TransferEndToEnd, ClosingTheWindowDuringATransfer) {
  vc::Options options = ControllerOptions();
  options.lineRate = true;
  StartController(options);
  std::atomic<int> sentAfterClose{0};
  std::atomic<bool> closed{false};
  {
    TestWindow w;
    Connect(w);
    w.QueueDialogAnswer(Write("fw.sbin", Firmware(300, 4, 71)));
    ASSERT_TRUE(w.Click(Control::Button2));
    ASSERT_TRUE(PumpUntil([&] { return w.Gauge() >= 5; }, 30s));
    SetTransmitObserverForTest([&](const std::uint8_t*, std::uint16_t) {
      if (closed.load()) ++sentAfterClose;
    });
    const auto closesBefore = controller_->GetCounters().hostCloses;
    w.Close();
    closed.store(true);
    EXPECT_TRUE(w.Closed());
    EXPECT_FALSE(Timer2Running());
    EXPECT_TRUE(controller_->WaitUntil(
        [&] { return controller_->GetCounters().hostCloses > closesBefore; }, 10s));
  }
  // Nothing more is handed to the writer once the window has gone: no
  // retransmission of the last chunk, no further chunk.
  EXPECT_FALSE(PumpUntil([&] { return sentAfterClose.load() > 0; }, 500ms));
  SetTransmitObserverForTest(nullptr);
  EXPECT_EQ(controller_->GetCounters().closes, 0u);
  EXPECT_LT(controller_->GetCounters().chunks, 300u);
}

}  // namespace
