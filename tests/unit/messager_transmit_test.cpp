// IdentifyRequest, the frame generator, TransmitFrame and Timer2.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "connect/Connecter.h"
#include "platform/Clock.h"
#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/RecordingWindow.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kLimitText = "Произведено 5 попыток коммуникации, связь прервана!";

// Every hand-off to the writer, with the moment it happened.
class Handoffs {
 public:
  Handoffs() {
    SetTransmitObserverForTest([this](const std::uint8_t* data, std::uint16_t length) {
      std::lock_guard lock(mutex_);
      frames_.emplace_back(data, data + length);
      times_.push_back(Clock::now());
    });
  }
  ~Handoffs() { SetTransmitObserverForTest(nullptr); }

  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::vector<Bytes> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<Clock::time_point> Times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Bytes> frames_;
  std::vector<Clock::time_point> times_;
};

class MessagerTransmit : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessagerForTest(); }
  void TearDown() override { ResetMessagerForTest(); }

  static Bytes KeptFrame() {
    std::lock_guard lock(TransmitLock());
    return Bytes(RetrySlot.Bytes, RetrySlot.Bytes + RetrySlot.Length);
  }
  static std::uint32_t RetryCount() {
    std::lock_guard lock(TransmitLock());
    return RetrySlot.RetryCount;
  }
  static Bytes Chunk(std::uint8_t fill) {
    Bytes frame(64, fill);
    frame[0] = 0xDA;
    frame[1] = 0x10;
    return frame;
  }
  bool Dropped(milliseconds deadline = std::chrono::seconds(20)) {
    return window.WaitFor([&] { return window.Status() == kLimitText; }, deadline);
  }

  RecordingWindow window;
};

// ---- Identify request and generator ---------------------------------------------

TEST_F(MessagerTransmit, IdentifyRequestLayout) {
  const std::uint8_t random[4] = {0x11, 0x22, 0x33, 0x44};
  std::uint8_t frame[12] = {};
  BuildIdentifyRequest(5, random, frame);
  EXPECT_EQ(Bytes(frame, frame + 12),
            (Bytes{0xda, 0x00, 0x00, 0x05, 0x11, 0x22, 0x33, 0x44, 0x42, 0x0d, 0xd5, 0x59}));
}

TEST_F(MessagerTransmit, GeneratorDraws) {
  RandomSeed(12345);
  EXPECT_EQ(Bytes({RandomByte(), RandomByte(), RandomByte(), RandomByte()}),
            (Bytes{0xa4, 0xa9, 0x19, 0x74}));

  // A thread that never seeded starts from state 1, whatever other threads did.
  Bytes fresh;
  std::thread([&] {
    for (int i = 0; i < 4; ++i) fresh.push_back(RandomByte());
  }).join();
  EXPECT_EQ(fresh, (Bytes{0x5a, 0x82, 0xe6, 0x42}));

  // Seeding with 0 throws away the draw that reaches state 1.
  RandomSeed(0);
  EXPECT_EQ(Bytes({RandomByte(), RandomByte(), RandomByte(), RandomByte()}), fresh);
}

TEST_F(MessagerTransmit, IdentifyRequestIsSeededFromTheClockEachTime) {
  SetSeedSourceForTest([] { return 1000000000u; });
  LinkState.Sequence = 7;
  SendIdentifyRequest();
  const Bytes first = KeptFrame();
  RandomByte();  // draws in between do not matter: the next request reseeds
  RandomByte();
  SendIdentifyRequest();
  const Bytes second = KeptFrame();
  Timer2Stop();

  ASSERT_EQ(first.size(), 12u);
  const std::uint8_t random[4] = {0xc4, 0xb9, 0x73, 0x2d};
  std::uint8_t expected[12];
  BuildIdentifyRequest(7, random, expected);
  EXPECT_EQ(first, Bytes(expected, expected + 12));
  BuildIdentifyRequest(8, random, expected);
  EXPECT_EQ(second, Bytes(expected, expected + 12));
  EXPECT_NE(Bytes(first.begin() + 8, first.end()), Bytes(second.begin() + 8, second.end()));
  EXPECT_EQ(LinkState.Sequence.load(), 9);
}

TEST_F(MessagerTransmit, IdentifyRequestUsesTheLocalTimeByDefault) {
  const std::uint32_t before = platform::LocalTimeSeconds();
  SendIdentifyRequest();
  const std::uint32_t after = platform::LocalTimeSeconds();
  Timer2Stop();
  const Bytes sent = KeptFrame();
  ASSERT_EQ(sent.size(), 12u);
  bool matched = false;
  for (std::uint32_t seed = before; seed <= after && !matched; ++seed) {
    RandomSeed(seed);
    matched = Bytes({RandomByte(), RandomByte(), RandomByte(), RandomByte()}) ==
              Bytes(sent.begin() + 4, sent.begin() + 8);
  }
  EXPECT_TRUE(matched);
}

TEST_F(MessagerTransmit, SequenceWrapsAndByteTwoStaysZero) {
  SetSeedSourceForTest([] { return 1u; });
  LinkState.Sequence = 254;
  Bytes seen;
  for (int i = 0; i < 3; ++i) {
    SendIdentifyRequest();
    const Bytes sent = KeptFrame();
    EXPECT_EQ(sent[2], 0);
    seen.push_back(sent[3]);
  }
  Timer2Stop();
  EXPECT_EQ(seen, (Bytes{254, 255, 0}));
  EXPECT_EQ(LinkState.Sequence.load(), 1);
}

TEST_F(MessagerTransmit, IdentifyRequestStartsTheRetryCycle) {
  Handoffs handoffs;
  SendIdentifyRequest();
  EXPECT_TRUE(Timer2Running());
  EXPECT_EQ(Timer2Interval(), 200);
  EXPECT_EQ(RetryCount(), 0u);
  ASSERT_GE(handoffs.Count(), 1u);
  EXPECT_EQ(handoffs.Frames()[0], KeptFrame());
}

// ---- Transmit and retry ---------------------------------------------------------

TEST_F(MessagerTransmit, FreshFrameFillsSlotAndBuffer) {
  Handoffs handoffs;
  const Bytes frame = Chunk(0x33);
  ASSERT_TRUE(TransmitFrame(true, frame.data(), 64, 0));
  std::lock_guard lock(TransmitLock());
  EXPECT_EQ(TxBuffer.Length, 64);
  EXPECT_EQ(Bytes(TxBuffer.Data, TxBuffer.Data + 64), frame);
  for (std::size_t i = 64; i < sizeof TxBuffer.Data; ++i) ASSERT_EQ(TxBuffer.Data[i], 0);
  EXPECT_EQ(RetrySlot.Length, 64u);
  EXPECT_EQ(handoffs.Frames(), std::vector<Bytes>{frame});
}

TEST_F(MessagerTransmit, ShorterFrameClearsTheRestOfTheBuffer) {
  const Bytes big = Chunk(0x77);
  TransmitFrame(true, big.data(), 64, 0);
  const std::uint8_t small[12] = {0xDA, 0x00, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  TransmitFrame(true, small, 12, 0);
  std::lock_guard lock(TransmitLock());
  EXPECT_EQ(TxBuffer.Length, 12);
  for (std::size_t i = 12; i < sizeof TxBuffer.Data; ++i) ASSERT_EQ(TxBuffer.Data[i], 0);
}

TEST_F(MessagerTransmit, OversizedOrEmptyFrameIsRefused) {
  Handoffs handoffs;
  const Bytes frame(65, 0xDA);
  EXPECT_FALSE(TransmitFrame(true, frame.data(), 65, 200));
  EXPECT_FALSE(TransmitFrame(true, nullptr, 12, 200));
  EXPECT_FALSE(TransmitFrame(true, frame.data(), 0, 200));
  EXPECT_EQ(handoffs.Count(), 0u);
  EXPECT_FALSE(Timer2Running());
}

TEST_F(MessagerTransmit, SevenHandoffsThenTheLinkDrops) {
  Handoffs handoffs;
  const Bytes frame = Chunk(0x5C);
  const auto start = Clock::now();
  TransmitFrame(true, frame.data(), 64, 200);
  ASSERT_TRUE(Dropped());

  const auto frames = handoffs.Frames();
  const auto times = handoffs.Times();
  ASSERT_EQ(frames.size(), 7u);
  for (const Bytes& sent : frames) EXPECT_EQ(sent, frame);
  // Hand-off k is due k intervals after the fresh send: never early, and late
  // only by what a loaded machine adds.
  for (std::size_t k = 0; k < times.size(); ++k) {
    const auto at = std::chrono::duration_cast<milliseconds>(times[k] - start).count();
    EXPECT_GE(at, static_cast<long>(200 * k) - 2) << "hand-off " << k;
    EXPECT_LE(at, static_cast<long>(200 * k) + 1500) << "hand-off " << k;
  }

  EXPECT_EQ(RetryCount(), 6u);
  EXPECT_FALSE(Timer2Running());
  // The drop is a full disconnect, and its status text is replaced.
  const auto events = window.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back(), "status " + kLimitText);
  EXPECT_NE(std::find(events.begin(), events.end(), "status device disconnected."), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "enable Button1 1"), events.end());
  for (const auto& e : events) EXPECT_NE(e.rfind("box", 0), 0u) << e;
  // Nothing more goes out afterwards.
  EXPECT_FALSE(window.WaitFor([&] { return handoffs.Count() > 7; }, milliseconds(500)));
}

TEST_F(MessagerTransmit, IntervalZeroSendsOnce) {
  Handoffs handoffs;
  const Bytes frame = Chunk(0x01);
  TransmitFrame(true, frame.data(), 64, 0);
  EXPECT_FALSE(Timer2Running());
  EXPECT_FALSE(window.WaitFor([&] { return handoffs.Count() > 1; }, milliseconds(400)));
  EXPECT_EQ(RetryCount(), 0u);
  EXPECT_TRUE(window.Events().empty());
}

TEST_F(MessagerTransmit, FreshFrameResetsTheCountAndReplacesTheKeptFrame) {
  Handoffs handoffs;
  const Bytes first = Chunk(0xA1);
  const Bytes second = Chunk(0xB2);
  TransmitFrame(true, first.data(), 64, 60);
  ASSERT_TRUE(window.WaitFor([&] { return handoffs.Count() >= 4; }));
  TransmitFrame(true, second.data(), 64, 60);
  const std::size_t before = [&] {
    const auto frames = handoffs.Frames();
    std::size_t n = 0;
    while (n < frames.size() && frames[n] == first) ++n;
    return n;
  }();
  ASSERT_LE(before, 6u);  // the first frame never reached the limit
  ASSERT_TRUE(Dropped());
  const auto frames = handoffs.Frames();
  ASSERT_EQ(frames.size(), before + 7);
  for (std::size_t i = before; i < frames.size(); ++i) EXPECT_EQ(frames[i], second);
  EXPECT_EQ(KeptFrame(), second);
}

TEST_F(MessagerTransmit, PaceUpdateContinuesTheCount) {
  Handoffs handoffs;
  const Bytes frame = Chunk(0x6E);
  TransmitFrame(true, frame.data(), 64, 60);
  ASSERT_TRUE(window.WaitFor([&] { return handoffs.Count() >= 3; }));
  Timer2Stop();  // the reader, on the PaceUpdate block
  const std::size_t before = handoffs.Count();
  ASSERT_LT(before, 7u);
  // A 20-byte PaceUpdate asking for 150 ms.
  Bytes pace(20, 0);
  pace[0] = 0xDA;
  pace[1] = 0x05;
  pace[13] = 0x00;
  pace[14] = 0x96;
  test_frames::SealFrame(pace.data(), pace.size());
  ASSERT_TRUE(CheckBlock(pace.data(), 20));
  const auto paced = Clock::now();
  DispatchFrame(pace.data());
  EXPECT_EQ(handoffs.Count(), before);  // nothing sent fresh

  ASSERT_TRUE(Dropped());
  EXPECT_EQ(handoffs.Count(), 7u);  // seven in all, not seven after the pace
  const auto times = handoffs.Times();
  for (std::size_t k = before; k < times.size(); ++k) {
    EXPECT_GE(std::chrono::duration_cast<milliseconds>(times[k] - paced).count(),
              static_cast<long>(150 * (k - before + 1)) - 2);
  }
  for (const Bytes& sent : handoffs.Frames()) EXPECT_EQ(sent, frame);
}

TEST_F(MessagerTransmit, RetransmissionWithoutAnyFrameCountsAndDrops) {
  // The scan's failed steps send nothing fresh: the kept frame (none yet)
  // keeps being retried until the limit.
  Handoffs handoffs;
  for (int i = 0; i < 5; ++i) Timer2Timer();
  EXPECT_EQ(RetryCount(), 5u);
  EXPECT_EQ(window.Status(), "");
  Timer2Timer();
  EXPECT_EQ(window.Status(), kLimitText);
  EXPECT_EQ(handoffs.Count(), 6u);
}

TEST_F(MessagerTransmit, DisconnectLeavesTheKeptFrame) {
  const Bytes frame = Chunk(0x42);
  TransmitFrame(true, frame.data(), 64, 200);
  Disconnect();
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(KeptFrame(), frame);
}

// ---- Timer2 -------------------------------------------------------------------

TEST_F(MessagerTransmit, Timer2StartStopAndInterval) {
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(Timer2Interval(), 100);
  Timer2Start(40);
  EXPECT_TRUE(Timer2Running());
  EXPECT_EQ(Timer2Interval(), 40);
  Timer2Start(0);
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(Timer2Interval(), 0);
  Timer2Start(500);
  Timer2Stop();
  EXPECT_FALSE(Timer2Running());
}

TEST_F(MessagerTransmit, StopFromAnotherThreadEndsExpiriesAtOnce) {
  Handoffs handoffs;
  const Bytes frame = Chunk(0x09);
  for (int round = 0; round < 10; ++round) {
    TransmitFrame(true, frame.data(), 64, 2);
    // Let a few expiries come, but stop well before the limit.
    ASSERT_TRUE(window.WaitFor([&] { return RetryCount() >= 1; }));
    std::thread([] { Timer2Stop(); }).join();
    const std::size_t stopped = handoffs.Count();
    ASSERT_LE(RetryCount(), 6u);
    if (RetryCount() == 6) break;  // a very slow machine reached the limit
    EXPECT_FALSE(window.WaitFor([&] { return handoffs.Count() != stopped; }, milliseconds(30)));
  }
}

TEST_F(MessagerTransmit, ConcurrentSendersNeverInterleave) {
  // Two threads send fresh frames while Timer2 retransmits: every hand-off
  // must be one whole frame, and nothing may race.
  std::mutex mutex;
  std::vector<Bytes> torn;
  SetTransmitObserverForTest([&](const std::uint8_t* data, std::uint16_t length) {
    const Bytes sent(data, data + length);
    const bool whole = length == 64 && std::all_of(sent.begin() + 2, sent.end(),
                                                   [&](std::uint8_t b) { return b == sent[2]; });
    if (!whole) {
      std::lock_guard lock(mutex);
      torn.push_back(sent);
    }
  });
  auto sender = [](std::uint8_t fill) {
    const Bytes frame = Chunk(fill);
    for (int i = 0; i < 300; ++i) TransmitFrame(true, frame.data(), 64, 1);
  };
  std::thread a(sender, 0x11), b(sender, 0x22);
  a.join();
  b.join();
  Timer2Stop();
  SetTransmitObserverForTest(nullptr);
  EXPECT_TRUE(torn.empty());
}

}  // namespace
