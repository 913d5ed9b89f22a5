// The receive check, the dispatcher and the identify-reply handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/RecordingWindow.h"
#include "transfer/ImageStore.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

const std::string kFirmwareOkBox = "box ОК|0|Firmware update completed successfully!";
const std::string kFirmwareFailBox = "box ERROR|0|Firmware update failure";
const std::string kDataMapOkBox = "box ОК|0|Обновление карты данных успешно завершено!";
const std::string kDataMapFailBox = "box ERROR|0|Провал обновления  карты данных , сбросьте устройство (откл./вкл. питание) и попробуйте снова!";
const std::string kUnknownBox = "box Ошибка|0|Тип подключенного прибора не поддерживается программатором, обновите ПО!";

using test_frames::SealedFrame;

// An IdentifyReply as a controller sends it, with the selector bytes given.
Bytes IdentifyReply(std::uint16_t deviceType, const Bytes& selectors = {0x3a, 0x91, 0x07, 0xc4, 0x5e,
                                                                          0x22, 0xfd, 0x68, 0x1b}) {
  Bytes plain = test_frames::PlainIdentifyReply({.deviceType = deviceType, .dataCheck = 1});
  std::copy(selectors.begin(), selectors.end(), plain.begin() + 4);
  for (int i = 33; i < 56; ++i) plain[i] = static_cast<std::uint8_t>(i * 11);
  return test_frames::Scrambled(plain);
}

class MessagerDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
    SetTransmitObserverForTest([this](const std::uint8_t* data, std::uint16_t length) {
      std::lock_guard lock(mutex_);
      handoffs_.emplace_back(data, data + length);
    });
  }
  void TearDown() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
  }

  std::vector<Bytes> Handoffs() {
    std::lock_guard lock(mutex_);
    return handoffs_;
  }
  std::size_t IndexOf(const std::string& event) {
    const auto events = window.Events();
    return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
  }

  // Dispatches on a thread of its own, as the reader does, holding its box
  // open until the test has looked at the state at that moment.
  void DispatchWithBoxHeld(const Bytes& frame, const std::string& box,
                           const std::function<void()>& whileOpen) {
    window.HoldBoxes(true);
    std::thread reader([&] { DispatchFrame(frame.data()); });
    const bool shown = window.WaitForEvent(box);
    if (shown) whileOpen();
    window.HoldBoxes(false);
    reader.join();
    ASSERT_TRUE(shown) << box;
  }

  RecordingWindow window;
  std::mutex mutex_;
  std::vector<Bytes> handoffs_;
};

// ---- Receive check ----------------------------------------------------------------

TEST_F(MessagerDispatch, CheckBlockWorkedExamplesAndEveryBitFlip) {
  const std::vector<Bytes> examples = {
      {0xda, 0x04, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x66, 0xa5, 0xec, 0xc5},
      {0xda, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1b, 0xda, 0x94, 0x4f},
  };
  for (const Bytes& block : examples) {
    EXPECT_TRUE(CheckBlock(block.data(), 16));
    for (std::size_t bit = 0; bit < 16 * 8; ++bit) {
      Bytes damaged = block;
      damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      ASSERT_FALSE(CheckBlock(damaged.data(), 16)) << "bit " << bit;
    }
  }
}

TEST_F(MessagerDispatch, CheckBlockLengths) {
  const Bytes sixteen = SealedFrame({0xDA, 0x04, 0x00, 0x00, 0x00, 0x28}, 16);
  Bytes buffer(64, 0);
  std::copy(sixteen.begin(), sixteen.end(), buffer.begin());
  for (std::uint16_t length = 0; length < 16; ++length) EXPECT_FALSE(CheckBlock(buffer.data(), length));
  EXPECT_TRUE(CheckBlock(buffer.data(), 16));
  EXPECT_FALSE(CheckBlock(nullptr, 16));

  for (std::size_t length = 16; length <= 64; length += 4) {
    const Bytes frame = SealedFrame({0xDA, 0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, length);
    EXPECT_TRUE(CheckBlock(frame.data(), static_cast<std::uint16_t>(length))) << length;
  }
}

TEST_F(MessagerDispatch, CheckBlockOfSeventeenBytes) {
  // The CRC of 13 bytes takes in bytes 13-15 of the CRC field itself: this
  // block passes only because its field happens to reproduce itself.
  const Bytes coincidence = {0xda, 0x04, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x17, 0x12, 0x6e, 0x66, 0x63};
  EXPECT_TRUE(CheckBlock(coincidence.data(), 17));
  // A sender that appends the CRC of the 13 bytes before it fails the check.
  const Bytes appended = {0xda, 0x04, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x17, 0x1e, 0xf0, 0xef, 0x0d};
  EXPECT_FALSE(CheckBlock(appended.data(), 17));
}

TEST_F(MessagerDispatch, CheckBlockCountsOnlyTheFirst64Bytes) {
  Bytes block = SealedFrame({0xDA, 0x09, 0, 0, 1}, 64);
  block.resize(100);
  for (std::size_t i = 64; i < 100; ++i) block[i] = static_cast<std::uint8_t>(i * 37);
  EXPECT_TRUE(CheckBlock(block.data(), 100));
  block.resize(4096, 0xEE);
  EXPECT_TRUE(CheckBlock(block.data(), 4096));

  // A short frame followed by more bytes does not pass.
  Bytes joined = SealedFrame({0xDA, 0x04, 0, 0, 0, 40}, 16);
  const Bytes next = SealedFrame({0xDA, 0x04, 0, 0, 0, 40}, 16);
  joined.insert(joined.end(), next.begin(), next.end());
  EXPECT_FALSE(CheckBlock(joined.data(), 32));
}

// ---- Dispatch -----------------------------------------------------------------------

TEST_F(MessagerDispatch, ChunkRequestSetsTimer2ToItsInterval) {
  struct Case {
    std::uint8_t high, low;
    std::uint16_t interval;
  };
  for (const Case& c : {Case{0x00, 0x28, 40}, Case{0x01, 0x00, 256}, Case{0x00, 0x00, 0}}) {
    Timer2Start(100);
    // Bytes 13-14 would be a PaceUpdate's interval: they must not count here.
    Bytes frame = SealedFrame({0xDA, 0x04, 0, 0, c.high, c.low, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0x7F}, 20);
    DispatchFrame(frame.data());
    EXPECT_EQ(Timer2Interval(), c.interval);
    EXPECT_EQ(Timer2Running(), c.interval != 0);
  }
  EXPECT_TRUE(window.Events().empty());  // nothing prepared, nothing sent
  EXPECT_TRUE(Handoffs().empty());
}

TEST_F(MessagerDispatch, ChunkRequestSendsTheNextChunkAtItsInterval) {
  {
    std::lock_guard lock(TransmitLock());
    ImageStoreT& store = ImageStore();
    for (std::uint32_t i = 0; i < 3 * kFrameSize; ++i) store.Frames[i] = static_cast<std::uint8_t>(i / kFrameSize + 1);
    store.FrameCount = 3;
    store.Cursor = 1;
  }
  const Bytes request = SealedFrame({0xDA, 0x04, 0, 0, 0x01, 0x00}, 16);
  DispatchFrame(request.data());
  ASSERT_EQ(Handoffs().size(), 1u);
  EXPECT_EQ(Handoffs()[0], Bytes(64, 2));
  EXPECT_EQ(Timer2Interval(), 256);
  EXPECT_TRUE(Timer2Running());

  const Bytes zero = SealedFrame({0xDA, 0x04, 0, 0, 0x00, 0x00}, 16);
  DispatchFrame(zero.data());
  ASSERT_EQ(Handoffs().size(), 2u);
  EXPECT_EQ(Handoffs()[1], Bytes(64, 3));
  EXPECT_FALSE(Timer2Running());  // sent once, never repeated
}

TEST_F(MessagerDispatch, PaceUpdateRetimesWithoutSending) {
  const Bytes kept(64, 0x44);
  TransmitFrame(true, kept.data(), 64, 200);
  {
    std::lock_guard lock(TransmitLock());
    RetrySlot.RetryCount = 3;
  }
  Timer2Stop();  // as the reader does for every accepted block
  // Bytes 4-5 look like a ChunkRequest's interval: they must not count here.
  const Bytes pace = SealedFrame({0xDA, 0x05, 0, 0, 0x00, 0x28, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xF4}, 20);
  DispatchFrame(pace.data());
  EXPECT_EQ(Timer2Interval(), 500);
  EXPECT_TRUE(Timer2Running());
  EXPECT_EQ(Handoffs().size(), 1u);
  std::lock_guard lock(TransmitLock());
  EXPECT_EQ(RetrySlot.RetryCount, 3u);
}

TEST_F(MessagerDispatch, FirmwareResults) {
  struct Case {
    std::uint8_t result;
    const std::string& box;
    bool success;
  };
  for (const Case& c : {Case{1, kFirmwareOkBox, true}, Case{0, kFirmwareFailBox, false},
                        Case{2, kFirmwareFailBox, false}, Case{0xFF, kFirmwareFailBox, false}}) {
    SCOPED_TRACE(static_cast<int>(c.result));
    ResetMessagerForTest();
    window.ClearEvents();
    Timer2Start(40);
    const Bytes frame = SealedFrame({0xDA, 0x07, 0, 0, c.result}, 16);
    DispatchWithBoxHeld(frame, c.box, [&] {
      // The link is down and the sound asked for before the box shows.
      EXPECT_FALSE(Timer2Running());
      EXPECT_LT(IndexOf("status device disconnected."), IndexOf(c.box));
      EXPECT_EQ(UpdateReadyFlag.load(), c.success ? 1 : 0);
      EXPECT_EQ(UpdateFailedFlag.load(), c.success ? 0 : 1);
      EXPECT_EQ(window.Events().back(), c.box);
    });
    EXPECT_EQ(window.Events().back(), "gauge 0");
  }
}

TEST_F(MessagerDispatch, DataMapResultsRaiseNoSound) {
  for (std::uint8_t result : {1, 0, 3}) {
    SCOPED_TRACE(static_cast<int>(result));
    window.ClearEvents();
    const std::string& box = result == 1 ? kDataMapOkBox : kDataMapFailBox;
    const Bytes frame = SealedFrame({0xDA, 0x09, 0, 0, result}, 20);
    DispatchWithBoxHeld(frame, box, [&] {
      EXPECT_LT(IndexOf("status device disconnected."), IndexOf(box));
    });
    EXPECT_EQ(window.Events().back(), "gauge 0");
    EXPECT_EQ(UpdateReadyFlag.load(), 0);
    EXPECT_EQ(UpdateFailedFlag.load(), 0);
  }
}

TEST_F(MessagerDispatch, OtherTypesDoNothing) {
  Timer2Start(300);
  for (std::uint16_t type : {0xDA00, 0xDA02, 0xDA03, 0xDA06, 0xDA08, 0xDA0A, 0xDAFF, 0x1204, 0xDB04, 0x0001}) {
    const Bytes frame =
        SealedFrame({static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 0, 1, 0, 0, 0, 0,
               0, 0, 0, 0, 0x01, 0xF4},
              64);
    DispatchFrame(frame.data());
  }
  EXPECT_TRUE(window.Events().empty());
  EXPECT_TRUE(Handoffs().empty());
  EXPECT_TRUE(Timer2Running());
  EXPECT_EQ(Timer2Interval(), 300);
  EXPECT_EQ(UpdateReadyFlag.load() + UpdateFailedFlag.load(), 0);
}

// ---- Identify reply -------------------------------------------------------------------

TEST_F(MessagerDispatch, IdentifyReplyColoursAfterTheReport) {
  const Bytes reply = IdentifyReply(0x0001);
  ASSERT_TRUE(CheckBlock(reply.data(), 64));
  DispatchFrame(reply.data());
  EXPECT_EQ(window.Events().back(), "colour LightGreen");
  EXPECT_EQ(window.Log().size(), 7u);
  EXPECT_EQ(LinkState.AlertFlag.load(), 0);
  EXPECT_EQ(DeviceInfo.DeviceCode.load(), 1);
  EXPECT_EQ(DeviceInfo.FirmwareVersion.load(), 12);
  EXPECT_EQ(DeviceInfo.DataMapVersion.load(), 2);

  window.ClearEvents();
  const Bytes alert = IdentifyReply(0x8005);
  EXPECT_TRUE(HandleIdentifyReply(alert.data()));
  EXPECT_EQ(window.Events().back(), "colour Red");
  EXPECT_EQ(window.Log().size(), 5u);
  EXPECT_EQ(LinkState.AlertFlag.load(), 1);
  EXPECT_EQ(DeviceInfo.DeviceCode.load(), 5);
}

TEST_F(MessagerDispatch, IdentifyReplyOfAnUnknownDeviceStillColours) {
  for (std::uint16_t type : {0x8000, 0x0015}) {
    SCOPED_TRACE(type);
    window.ClearEvents();
    const Bytes reply = IdentifyReply(type);
    EXPECT_TRUE(HandleIdentifyReply(reply.data()));
    const auto events = window.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], kUnknownBox);
    EXPECT_EQ(events.back(), type & 0x8000 ? "colour Red" : "colour LightGreen");
    EXPECT_LT(IndexOf("status device disconnected."), IndexOf(kUnknownBox));
    EXPECT_EQ(LinkState.AlertFlag.load(), type >> 15);
  }
}

TEST_F(MessagerDispatch, IdentifyReplyWithABadRecordIsIgnored) {
  LinkState.AlertFlag = 1;
  DeviceInfo.DeviceCode = 9;
  const Bytes good = IdentifyReply(0x0001);
  std::vector<Bytes> bad;
  for (std::size_t at : {24u, 40u, 55u, 56u, 59u}) {  // record and its CRC
    Bytes frame = good;
    frame[at] ^= 0x10;
    bad.push_back(SealedFrame(Bytes(frame.begin(), frame.begin() + 60), 64));
  }
  for (std::size_t at = 4; at <= 12; ++at) {  // a selector changes the key
    Bytes frame = good;
    frame[at] ^= 0x01;
    bad.push_back(SealedFrame(Bytes(frame.begin(), frame.begin() + 60), 64));
  }
  for (const Bytes& frame : bad) {
    ASSERT_TRUE(CheckBlock(frame.data(), 64));
    const Bytes before = frame;
    EXPECT_FALSE(HandleIdentifyReply(frame.data()));
    DispatchFrame(frame.data());
    EXPECT_EQ(frame, before);
  }
  EXPECT_TRUE(window.Events().empty());
  EXPECT_EQ(LinkState.AlertFlag.load(), 1);
  EXPECT_EQ(DeviceInfo.DeviceCode.load(), 9);
}

TEST_F(MessagerDispatch, IdentifyReplyIgnoresBytesOutsideTheRecord) {
  Bytes reply = IdentifyReply(0x0001);
  for (std::size_t at : {2u, 3u, 13u, 20u, 23u}) reply[at] = 0xA5;
  EXPECT_TRUE(HandleIdentifyReply(reply.data()));
  EXPECT_EQ(window.Events().back(), "colour LightGreen");
}

}  // namespace
