#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/Messager.h"
#include "protocol/Shifrator.h"
#include "support/RecordingWindow.h"
#include "transfer/ImageStore.h"
#include "unit/transfer_test_images.h"

namespace {

using namespace transfer_test;

std::vector<int> Gauges(const RecordingWindow& window) {
  std::vector<int> values;
  for (const auto& e : window.Events()) {
    if (e.rfind("gauge ", 0) == 0) values.push_back(std::stoi(e.substr(6)));
  }
  return values;
}

std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& file, std::size_t i) {
  return {file.begin() + 64 * i, file.begin() + 64 * (i + 1)};
}

void ExpectValidClosingFrame(const std::vector<std::uint8_t>& frame, std::uint8_t type,
                             std::uint32_t imageCrc) {
  ASSERT_EQ(frame.size(), 64u);
  EXPECT_EQ(frame[0], 0xDA);
  EXPECT_EQ(frame[1], type);
  EXPECT_EQ(frame[59], 0x00);
  EXPECT_TRUE(test_frames::FrameSealed(frame.data(), 64));
  EXPECT_EQ(test_frames::ClosingImageCrc(frame.data()), imageCrc);
}

class ChunkTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
    sent_.Install();
  }
  void TearDown() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
  }

  RecordingWindow window_;
  TransmitRecorder sent_{true};
};

TEST_F(ChunkTransfer, FirmwareOfEightFramesRunsToItsClosingFrame) {
  const FirmwareLayout layout{.imageCrc = 0x11223344};
  const auto file = MakeFirmware(layout);
  const auto header = FirmwareHeaderOf(layout);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), file.data(), file.size()));
  // Each ChunkRequest names its own interval; the full 16 bits count.
  const std::uint16_t requests[] = {20, 255, 256, 1000, 0x7FFF, 0xFFFF, 0, 300};
  for (std::uint16_t interval : requests) SendNextChunk(false, interval);

  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 9u);  // eight chunks, then the closing frame
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(fresh[i].bytes, Frame(file, i)) << "frame " << i;
  EXPECT_EQ(fresh[0].intervalMs, 40);
  for (std::size_t i = 1; i < 8; ++i) EXPECT_EQ(fresh[i].intervalMs, requests[i - 1]);
  EXPECT_EQ(fresh[8].intervalMs, 100);
  ExpectValidClosingFrame(fresh[8].bytes, 0x06, 0x11223344);
  // Header bytes 12-15 = 44 33 22 11 travel as 11 22 33 44 before the XOR.
  const WorkingKey key = MakeWorkingKey(fresh[8].bytes.data());
  EXPECT_EQ(fresh[8].bytes[13] ^ key[0], 0x11);
  EXPECT_EQ(fresh[8].bytes[16] ^ key[3], 0x44);

  EXPECT_EQ(Gauges(window_), (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87, 100}));
  EXPECT_EQ(ImageStore().Cursor, 9u);
}

TEST_F(ChunkTransfer, DataMapOfFourFramesClosesWithDataMapClose) {
  const DataMapLayout layout{.imageCrc = 0xCAFEF00D};
  const auto file = MakeDataMap(layout);
  const auto payload = DataMapPayloadOf(layout);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::DataMap, payload.data(), file.data(), file.size()));
  for (int i = 0; i < 4; ++i) SendNextChunk(false, 60);

  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fresh[i].bytes, Frame(file, i));
  ExpectValidClosingFrame(fresh[4].bytes, 0x08, 0xCAFEF00D);
  EXPECT_EQ(fresh[4].intervalMs, 100);
  EXPECT_EQ(Gauges(window_), (std::vector<int>{0, 25, 50, 75, 100}));
}

TEST_F(ChunkTransfer, ClosingFrameRandomBytesComeFromTheReaderThreadsOwnGenerator) {
  const DataMapLayout layout;
  const auto file = MakeDataMap(layout);
  const auto payload = DataMapPayloadOf(layout);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::DataMap, payload.data(), file.data(), file.size()));
  // The window thread's generator has been reseeded; a reader thread's has not.
  RandomSeed(123456);
  std::thread reader([] {
    for (int i = 0; i < 4; ++i) SendNextChunk(false, 40);
  });
  reader.join();

  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 5u);
  const auto& close = fresh[4].bytes;
  const auto expected = GeneratorBytesFromStart(11 + 42);
  EXPECT_EQ(std::vector<std::uint8_t>(close.begin() + 2, close.begin() + 13),
            std::vector<std::uint8_t>(expected.begin(), expected.begin() + 11));
  EXPECT_EQ(std::vector<std::uint8_t>(close.begin() + 17, close.begin() + 59),
            std::vector<std::uint8_t>(expected.begin() + 11, expected.end()));
  ExpectValidClosingFrame(close, 0x08, layout.imageCrc);
}

TEST_F(ChunkTransfer, ClosingFramesKeepCheckingOutForManySelectorValues) {
  // Every closing frame draws new selectors, so the key differs each time.
  for (std::uint32_t crc : {0x00000000u, 0xFFFFFFFFu, 0x80000001u, 0x12345678u}) {
    const FirmwareLayout layout{.imageCrc = crc, .seed = crc + 1};
    const auto file = MakeFirmware(layout);
    const auto header = FirmwareHeaderOf(layout);
    ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), file.data(), file.size()));
    for (int i = 0; i < 8; ++i) SendNextChunk(false, 40);
    const auto fresh = sent_.Fresh();
    ExpectValidClosingFrame(fresh.back().bytes, 0x06, crc);
    sent_.Clear();
  }
}

TEST_F(ChunkTransfer, RequestsAfterTheClosingFrameSendNothingAndMoveTheCursor) {
  const DataMapLayout layout;
  const auto file = MakeDataMap(layout);
  const auto payload = DataMapPayloadOf(layout);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::DataMap, payload.data(), file.data(), file.size()));
  for (int i = 0; i < 4; ++i) SendNextChunk(false, 40);
  ASSERT_EQ(sent_.Fresh().size(), 5u);
  window_.ClearEvents();

  SendNextChunk(false, 500);
  SendNextChunk(false, 500);
  EXPECT_EQ(sent_.Fresh().size(), 5u);
  EXPECT_EQ(ImageStore().Cursor, 7u);
  EXPECT_EQ(Gauges(window_), (std::vector<int>{100, 100}));
}

TEST_F(ChunkTransfer, ARequestAfterTheCloseRetransmitsTheClosingFrameThroughTheDispatcher) {
  // Here Timer2 is left running: the kept frame is the closing frame.
  SetTransmitObserverForTest(nullptr);
  TransmitRecorder loud(false);
  const DataMapLayout layout;
  const auto file = MakeDataMap(layout);
  const auto payload = DataMapPayloadOf(layout);
  std::uint8_t request[64] = {0xDA, 0x04, 0, 0, 0x00, 0x32};  // ChunkRequest, 50 ms
  {
    std::lock_guard lock(TransmitLock());
    ASSERT_TRUE(CommitImageAndStart(ImageKind::DataMap, payload.data(), file.data(), file.size()));
    for (int i = 0; i < 5; ++i) DispatchFrame(request);  // frames 1-3, the close, one more
  }
  const auto closing = loud.Fresh().back().bytes;
  ASSERT_EQ(closing[1], 0x08);
  ASSERT_TRUE(window_.WaitFor([&] {
    const auto all = loud.All();
    return !all.back().fresh && all.back().bytes == closing;
  }));
  EXPECT_EQ(loud.Fresh().size(), 5u);
  EXPECT_EQ(ImageStore().Cursor, 6u);
  Timer2Stop();
}

TEST_F(ChunkTransfer, ChunkRequestIntervalReachesTheChunkAndTimer2) {
  const FirmwareLayout layout;
  const auto file = MakeFirmware(layout);
  const auto header = FirmwareHeaderOf(layout);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), file.data(), file.size()));
  std::uint8_t request[64] = {0xDA, 0x04, 0, 0, 0x01, 0x00};  // 256 ms
  DispatchFrame(request);
  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 2u);
  EXPECT_EQ(fresh[1].bytes, Frame(file, 1));
  EXPECT_EQ(fresh[1].intervalMs, 256);
  EXPECT_EQ(Timer2Interval(), 256);
}

TEST_F(ChunkTransfer, ANewLoadRestartsAtFrameZeroWithTheNewKind) {
  const FirmwareLayout firmware{.imageCrc = 0x01020304};
  const auto fwFile = MakeFirmware(firmware);
  const auto fwHeader = FirmwareHeaderOf(firmware);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, fwHeader.data(), fwFile.data(), fwFile.size()));
  for (int i = 0; i < 3; ++i) SendNextChunk(false, 40);

  const DataMapLayout map{.imageCrc = 0x0A0B0C0D};
  const auto mapFile = MakeDataMap(map);
  const auto mapPayload = DataMapPayloadOf(map);
  sent_.Clear();
  window_.ClearEvents();
  ASSERT_TRUE(CommitImageAndStart(ImageKind::DataMap, mapPayload.data(), mapFile.data(), mapFile.size()));
  for (int i = 0; i < 4; ++i) SendNextChunk(false, 40);

  const auto fresh = sent_.Fresh();
  ASSERT_EQ(fresh.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fresh[i].bytes, Frame(mapFile, i));
  EXPECT_EQ(fresh[0].intervalMs, 40);
  ExpectValidClosingFrame(fresh[4].bytes, 0x08, 0x0A0B0C0D);
  EXPECT_EQ(Gauges(window_), (std::vector<int>{0, 25, 50, 75, 100}));
}

TEST_F(ChunkTransfer, WithNoImagePreparedARequestSendsNothing) {
  SendNextChunk(false, 40);
  SendNextChunk(true, 40);
  EXPECT_TRUE(sent_.All().empty());
  EXPECT_TRUE(Gauges(window_).empty());
  EXPECT_EQ(ImageStore().Cursor, 0u);
}

TEST_F(ChunkTransfer, ACommitThatDoesNotFitChangesNothing) {
  std::vector<std::uint8_t> header(256), data(128, 0x11);
  EXPECT_FALSE(CommitImageAndStart(ImageKind::Firmware, header.data(), data.data(), 100));
  EXPECT_FALSE(CommitImageAndStart(ImageKind::Firmware, header.data(), data.data(), 0));
  EXPECT_EQ(ImageStore().FrameCount, 0u);
  EXPECT_TRUE(sent_.All().empty());
}

TEST_F(ChunkTransfer, TheStoreHoldsExactlyItsCapacity) {
  std::vector<std::uint8_t> big(kStoreBytes);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i / 64);
  std::vector<std::uint8_t> header(256);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), big.data(), big.size()));
  EXPECT_EQ(ImageStore().FrameCount, kMaxFrames);
  EXPECT_FALSE(CommitImageAndStart(ImageKind::Firmware, header.data(), big.data(), big.size() + 64));
  {
    std::lock_guard lock(TransmitLock());
    ImageStore().Cursor = kMaxFrames - 1;
  }
  window_.ClearEvents();
  SendNextChunk(false, 40);
  SendNextChunk(false, 40);
  const auto fresh = sent_.Fresh();
  EXPECT_EQ(fresh[fresh.size() - 2].bytes, Frame(big, kMaxFrames - 1));
  EXPECT_EQ(fresh.back().bytes[1], 0x06);
  EXPECT_EQ(Gauges(window_), (std::vector<int>{99, 100}));
}

TEST_F(ChunkTransfer, AChunkIsNeverHalfOldHalfNew) {
  // Two images whose every frame is one repeated byte; any frame sent must be
  // wholly one or the other, or a closing frame.
  std::vector<std::uint8_t> header(256);
  std::vector<std::uint8_t> oldImage(64 * 64, 0x11), newImage(64 * 64, 0x22);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), oldImage.data(), oldImage.size()));
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) SendNextChunk(false, 40);
  });
  for (int i = 0; i < 200; ++i) {
    const auto& image = i % 2 == 0 ? newImage : oldImage;
    ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header.data(), image.data(), image.size()));
  }
  stop.store(true);
  reader.join();

  for (const auto& s : sent_.All()) {
    if (s.bytes[0] == 0xDA) continue;
    const std::vector<std::uint8_t> uniform(64, s.bytes[0]);
    ASSERT_EQ(s.bytes, uniform);
  }
}

}  // namespace
