// The virtual controller, driven over its pseudo-terminal by a small host
// written here from the frame layouts alone.
#ifndef _WIN32  // needs pseudo-terminals
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "image/ImageFile.h"
#include "support/FrameBuilders.h"
#include "vc/VirtualController.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tavrin::vc::FrameSet;
using tavrin::vc::Options;
using tavrin::vc::VirtualController;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kLong = 10s;  // generous: the machine is shared

using test_frames::HostAccepts;

std::uint16_t Type(const Bytes& b) { return b.size() < 2 ? 0 : (b[0] << 8) | b[1]; }

Bytes IdentifyRequest(std::uint8_t seq) {
  return test_frames::SealedFrame({0xDA, 0x00, 0x00, seq, 0x11, 0x22, 0x33, 0x44}, 12);
}

Bytes ClosingFrame(tavrin::image::Kind kind, std::uint32_t imageCrc, std::mt19937& rng) {
  Bytes f(64, 0);
  f[0] = 0xDA;
  f[1] = kind == tavrin::image::Kind::Firmware ? 0x06 : 0x08;
  for (int i = 2; i <= 12; ++i) f[i] = static_cast<std::uint8_t>(rng());
  test_frames::PutClosingImageCrc(f.data(), imageCrc);
  for (int i = 17; i <= 58; ++i) f[i] = static_cast<std::uint8_t>(rng());
  test_frames::SealFrame(f.data(), f.size());
  return f;
}

std::optional<test_frames::Identity> DecodeReply(const Bytes& b) { return test_frames::ReadIdentifyReply(b); }

// The host end: the pty slave, opened as the programmer opens a port.
class Host {
 public:
  explicit Host(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Host() { Close(); }
  bool Ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool TrySend(const Bytes& b) { return write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size()); }
  void Send(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

  // One block as the programmer's reader takes it: what one read returns.
  // Empty when nothing comes in `wait`.
  Bytes ReadBlock(std::chrono::milliseconds wait = kLong) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    std::uint8_t buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    return n > 0 ? Bytes(buf, buf + n) : Bytes{};
  }

  // Sends frame 0 and then the next frame on every ChunkRequest, the closing
  // frame after the last; returns the result frame (empty on silence).
  Bytes Transfer(const Bytes& file, tavrin::image::Kind kind, std::uint32_t imageCrc,
                 std::vector<Bytes>* seen = nullptr) {
    std::mt19937 rng(42);
    const std::size_t frames = file.size() / 64;
    std::size_t cursor = 0;
    Send(Bytes(file.begin(), file.begin() + 64));
    ++cursor;
    for (;;) {
      const Bytes b = ReadBlock();
      if (b.empty()) return b;
      if (seen != nullptr) seen->push_back(b);
      if (!HostAccepts(b)) continue;
      if (Type(b) == 0xDA07 || Type(b) == 0xDA09) return b;
      if (Type(b) != 0xDA04) continue;
      if (cursor < frames) {
        Send(Bytes(file.begin() + 64 * cursor, file.begin() + 64 * (cursor + 1)));
      } else if (cursor == frames) {
        Send(ClosingFrame(kind, imageCrc, rng));
      }
      ++cursor;
    }
  }

 private:
  int fd_ = -1;
};

// Quiet unless TAVRIN_VC_LOG is set, for looking into a failure.
Options Quiet() {
  Options o;
  o.link = false;
  o.log = std::getenv("TAVRIN_VC_LOG") != nullptr;
  return o;
}

std::unique_ptr<VirtualController> StartVc(const Options& o) {
  auto vc = std::make_unique<VirtualController>(o);
  std::string error;
  EXPECT_TRUE(vc->Start(&error)) << error;
  return vc;
}

Bytes Firmware(std::uint16_t device, std::uint16_t version, std::size_t frames,
               std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  return tavrin::image::BuildFirmware({device, version}, tavrin::image::GeneratePayload(frames, rng),
                                      rng);
}

std::uint32_t ImageCrcOf(const Bytes& file) {
  return tavrin::image::Inspect(file.data(), file.size(), {}).imageCrc;
}

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "tavrin-vc-XXXXXX").string();
    path_ = mkdtemp(t.data()) != nullptr ? t : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& str() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

TEST(ToolsVc, AnswersIdentifyWithItsIdentityFreshlyScrambled) {
  Options o = Quiet();
  o.identity = {1, true, 3, 0x000C, 0x0002, 1, 0};
  auto vc = StartVc(o);
  Host host(vc->SlavePath());
  ASSERT_TRUE(host.Ok());

  host.Send(IdentifyRequest(5));
  const Bytes first = host.ReadBlock();
  const auto id = DecodeReply(first);
  ASSERT_TRUE(id) << "reply of " << first.size() << " bytes";
  EXPECT_EQ(id->deviceType, 0x8001);
  EXPECT_EQ(id->bootloader, 3);
  EXPECT_EQ(id->firmware, 12);
  EXPECT_EQ(id->data, 2);
  EXPECT_EQ(id->programCheck, 1);
  EXPECT_EQ(id->dataCheck, 0);

  host.Send(IdentifyRequest(6));
  const Bytes second = host.ReadBlock();
  ASSERT_TRUE(DecodeReply(second));
  EXPECT_NE(Bytes(first.begin() + 4, first.begin() + 13), Bytes(second.begin() + 4, second.begin() + 13));

  // A request with a wrong checksum gets no answer.
  Bytes bad = IdentifyRequest(7);
  bad[11] ^= 1;
  host.Send(bad);
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().droppedBytes == 12; }, kLong));
  EXPECT_TRUE(host.ReadBlock(100ms).empty());
  EXPECT_EQ(vc->GetCounters().identifyRequests, 2u);
}

TEST(ToolsVc, TakesWholeImagesAndReportsTheirCheck) {
  auto vc = StartVc(Quiet());
  Host host(vc->SlavePath());
  const Bytes fw = Firmware(1, 0x0107, 20);

  host.Send(IdentifyRequest(1));
  ASSERT_EQ(DecodeReply(host.ReadBlock())->firmware, 1);
  const Bytes result = host.Transfer(fw, tavrin::image::Kind::Firmware, ImageCrcOf(fw));
  ASSERT_EQ(Type(result), 0xDA07);
  EXPECT_TRUE(HostAccepts(result));
  EXPECT_EQ(result[4], 1);
  EXPECT_EQ(vc->LastImage(), fw);
  EXPECT_EQ(vc->GetCounters().chunks, 28u);

  // The new firmware is what the controller reports from now on.
  host.Send(IdentifyRequest(2));
  EXPECT_EQ(DecodeReply(host.ReadBlock())->firmware, 0x0107);

  // A wrong ImageCrc fails, and the old version stays.
  const Bytes older = Firmware(1, 0x0100, 10, 2);
  const Bytes failed = host.Transfer(older, tavrin::image::Kind::Firmware, ImageCrcOf(older) ^ 1);
  ASSERT_EQ(Type(failed), 0xDA07);
  EXPECT_EQ(failed[4], 0);
  EXPECT_EQ(vc->CurrentIdentity().firmwareVersion, 0x0107);

  // A data map closes with its own frame and gets its own result.
  std::mt19937 rng(3);
  const Bytes map = tavrin::image::BuildDataMap({1, 2}, tavrin::image::GeneratePayload(5, rng), rng);
  const Bytes mapResult = host.Transfer(map, tavrin::image::Kind::DataMap, ImageCrcOf(map));
  ASSERT_EQ(Type(mapResult), 0xDA09);
  EXPECT_EQ(mapResult[4], 1);
  const auto c = vc->GetCounters();
  EXPECT_EQ(c.imagesOk, 2u);
  EXPECT_EQ(c.imagesFailed, 1u);
}

TEST(ToolsVc, RepeatedChunksAreRetransmissionsOnlyWhenNotAskedFor) {
  Options o = Quiet();
  auto vc = StartVc(o);
  Host host(vc->SlavePath());

  // A payload of identical frames: each one was asked for, so each one counts.
  std::mt19937 rng(4);
  const Bytes zeros = tavrin::image::BuildFirmware({1, 2}, Bytes(64 * 6, 0), rng);
  Bytes result = host.Transfer(zeros, tavrin::image::Kind::Firmware, ImageCrcOf(zeros));
  ASSERT_EQ(Type(result), 0xDA07);
  EXPECT_EQ(result[4], 1);
  EXPECT_EQ(vc->GetCounters().retransmissions, 0u);

  // The answer was lost (wrong checksum): the host's retransmission replaces
  // the chunk instead of adding to it.
  Options lossy = Quiet();
  lossy.faults.badCrc = FrameSet::Of({1});
  auto vc2 = StartVc(lossy);
  Host host2(vc2->SlavePath());
  const Bytes fw = Firmware(1, 3, 4);
  const Bytes f0(fw.begin(), fw.begin() + 64);
  host2.Send(f0);
  EXPECT_FALSE(HostAccepts(host2.ReadBlock()));
  host2.Send(f0);
  EXPECT_TRUE(HostAccepts(host2.ReadBlock()));
  EXPECT_EQ(vc2->Image(), f0);
  EXPECT_EQ(vc2->GetCounters().retransmissions, 1u);

  // The host's timer ran out while the answer was delayed: the repeat came
  // before the answer, so it is a retransmission too, and answered again.
  Options slow = Quiet();
  slow.faults.delayMs = 300;
  slow.faults.delayFrames = FrameSet::Of({1});
  auto vc3 = StartVc(slow);
  Host host3(vc3->SlavePath());
  host3.Send(f0);
  EXPECT_TRUE(vc3->WaitUntil([&] { return vc3->GetCounters().framesIn == 1; }, kLong));
  host3.Send(f0);
  EXPECT_EQ(Type(host3.ReadBlock()), 0xDA04);
  EXPECT_EQ(Type(host3.ReadBlock()), 0xDA04);
  EXPECT_EQ(vc3->Image(), f0);
  EXPECT_EQ(vc3->GetCounters().retransmissions, 1u);

  // The host's timer ran out just as the answer was on its way: the repeat
  // crosses it and looks asked for, yet it comes a whole interval after the
  // chunk it repeats, and only replaces it. The next chunk follows on.
  Options crossing = Quiet();
  crossing.intervalMs = 100;
  auto vc5 = StartVc(crossing);
  Host host5(vc5->SlavePath());
  const Bytes f1(fw.begin() + 64, fw.begin() + 128);
  host5.Send(f0);
  EXPECT_TRUE(HostAccepts(host5.ReadBlock()));
  host5.Send(f1);
  EXPECT_TRUE(vc5->WaitUntil([&] { return vc5->GetCounters().framesOut == 2; }, kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(crossing.intervalMs));  // the host's timer
  host5.Send(f1);
  EXPECT_TRUE(HostAccepts(host5.ReadBlock()));
  EXPECT_TRUE(HostAccepts(host5.ReadBlock()));
  const Bytes f2(fw.begin() + 128, fw.begin() + 192);
  host5.Send(f2);
  EXPECT_TRUE(HostAccepts(host5.ReadBlock()));
  Bytes three = f0;
  three.insert(three.end(), f1.begin(), f1.end());
  three.insert(three.end(), f2.begin(), f2.end());
  EXPECT_EQ(vc5->Image(), three);
  EXPECT_EQ(vc5->GetCounters().retransmissions, 1u);

  // A different chunk nobody asked for starts a new transfer.
  Options mute = Quiet();
  mute.faults.silent = true;
  auto vc4 = StartVc(mute);
  Host host4(vc4->SlavePath());
  const Bytes other = Firmware(1, 4, 4, 9);
  const Bytes g0(other.begin(), other.begin() + 64);
  host4.Send(f0);
  EXPECT_TRUE(vc4->WaitUntil([&] { return vc4->GetCounters().framesIn == 1; }, kLong));
  host4.Send(g0);
  EXPECT_TRUE(vc4->WaitUntil([&] { return vc4->GetCounters().framesIn == 2; }, kLong));
  EXPECT_EQ(vc4->Image(), g0);
  EXPECT_EQ(vc4->GetCounters().transfersStarted, 2u);

  // A retransmitted closing frame gets the same answer again.
  std::mt19937 crng(5);
  const Bytes close = ClosingFrame(tavrin::image::Kind::DataMap, 0x12345678, crng);
  host.Send(close);
  const Bytes r1 = host.ReadBlock();
  host.Send(close);
  const Bytes r2 = host.ReadBlock();
  ASSERT_EQ(Type(r1), 0xDA09);
  EXPECT_EQ(r1[4], 0);
  EXPECT_EQ(r2[4], r1[4]);
  EXPECT_EQ(vc->GetCounters().closes, 2u);
}

TEST(ToolsVc, ReassemblesFramesFromAnyReadsAndDropsFragments) {
  auto vc = StartVc(Quiet());
  Host host(vc->SlavePath());

  // Two requests in one write, then one in two writes.
  Bytes two = IdentifyRequest(1);
  const Bytes next = IdentifyRequest(2);
  two.insert(two.end(), next.begin(), next.end());
  host.Send(two);
  const Bytes r = IdentifyRequest(3);
  host.Send(Bytes(r.begin(), r.begin() + 5));
  host.Send(Bytes(r.begin() + 5, r.end()));
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().framesOut == 3; }, kLong));

  // A fragment followed at once by a request: the request still counts.
  Bytes joined = {0x01, 0x02, 0x03};
  const Bytes r4 = IdentifyRequest(4);
  joined.insert(joined.end(), r4.begin(), r4.end());
  host.Send(joined);
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().identifyRequests == 4; }, kLong));
  EXPECT_EQ(vc->GetCounters().droppedBytes, 3u);

  // A lone fragment is dropped once no more bytes come, so the next frame
  // starts in step.
  host.Send(Bytes(20, 0x55));
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().droppedBytes == 23; }, kLong));
  const Bytes fw = Firmware(1, 2, 3);
  host.Send(Bytes(fw.begin(), fw.begin() + 64));
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().chunks == 1; }, kLong));
  EXPECT_EQ(vc->Image(), Bytes(fw.begin(), fw.begin() + 64));
}

TEST(ToolsVc, EachFaultShowsOnTheWire) {
  const Bytes id = IdentifyRequest(1);
  {  // silent
    Options o = Quiet();
    o.faults.silent = true;
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    host.Send(id);
    EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().identifyRequests == 1; }, kLong));
    EXPECT_TRUE(host.ReadBlock(200ms).empty());
    EXPECT_EQ(vc->GetCounters().framesOut, 0u);
  }
  {  // delay
    Options o = Quiet();
    o.faults.delayMs = 300;
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    const auto t0 = Clock::now();
    host.Send(id);
    ASSERT_TRUE(DecodeReply(host.ReadBlock()));
    EXPECT_GE(Clock::now() - t0, 290ms);
  }
  {  // ignore the first frame: the host's retransmission is answered
    Options o = Quiet();
    o.faults.ignore = FrameSet::Of({1});
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    host.Send(id);
    EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().ignored == 1; }, kLong));
    EXPECT_TRUE(host.ReadBlock(100ms).empty());
    host.Send(id);
    EXPECT_TRUE(DecodeReply(host.ReadBlock()));
  }
  {  // split: two blocks the host rejects, which together are the reply
    Options o = Quiet();
    o.faults.split = FrameSet::All();
    o.faults.splitGapMs = 200;
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    host.Send(id);
    Bytes a = host.ReadBlock();
    const Bytes b = host.ReadBlock();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(b.size(), 32u);
    EXPECT_FALSE(HostAccepts(a));
    EXPECT_FALSE(HostAccepts(b));
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_TRUE(DecodeReply(a));
  }
  {  // wrong checksum, PaceUpdate first, 64-byte answers
    Options o = Quiet();
    o.faults.badCrc = FrameSet::Of({1});
    o.faults.paceMs = 500;
    o.faults.paceFrames = FrameSet::Of({2});
    o.replySize = 64;
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    host.Send(id);
    const Bytes broken = host.ReadBlock();
    EXPECT_EQ(Type(broken), 0xDA01);
    EXPECT_FALSE(HostAccepts(broken));
    const Bytes fw = Firmware(1, 2, 2);
    host.Send(Bytes(fw.begin(), fw.begin() + 64));
    const Bytes pace = host.ReadBlock();
    ASSERT_EQ(Type(pace), 0xDA05);
    EXPECT_TRUE(HostAccepts(pace));
    EXPECT_EQ((pace[13] << 8) | pace[14], 500);
    const Bytes ask = host.ReadBlock();
    ASSERT_EQ(Type(ask), 0xDA04);
    EXPECT_EQ(ask.size(), 64u);
    EXPECT_TRUE(HostAccepts(ask));
    EXPECT_EQ((ask[4] << 8) | ask[5], 200);
  }
  {  // unknown frame type, before the answer and instead of it
    Options o = Quiet();
    o.faults.unknown = FrameSet::Of({1, 2});
    o.faults.unknownType = 0xDA02;
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    host.Send(id);
    const Bytes odd = host.ReadBlock();
    EXPECT_EQ(Type(odd), 0xDA02);
    EXPECT_TRUE(HostAccepts(odd));
    EXPECT_TRUE(DecodeReply(host.ReadBlock()));

    Options instead = Quiet();
    instead.faults.unknown = FrameSet::All();
    instead.faults.unknownMode = tavrin::vc::UnknownMode::Instead;
    auto vc2 = StartVc(instead);
    Host host2(vc2->SlavePath());
    host2.Send(id);
    EXPECT_EQ(Type(host2.ReadBlock()), 0xDA02);
    EXPECT_TRUE(host2.ReadBlock(200ms).empty());
  }
  {  // chosen result, and a ChunkRequest sent twice
    Options o = Quiet();
    o.faults.closeResult = 0;
    o.faults.doubleAnswer = FrameSet::Of({1});
    auto vc = StartVc(o);
    Host host(vc->SlavePath());
    const Bytes fw = Firmware(1, 9, 3);
    std::vector<Bytes> seen;
    const Bytes result = host.Transfer(fw, tavrin::image::Kind::Firmware, ImageCrcOf(fw), &seen);
    ASSERT_EQ(Type(result), 0xDA07) << vc->SlavePath() << " in " << vc->GetCounters().framesIn
                                    << " out " << vc->GetCounters().framesOut << " seen "
                                    << seen.size() << " running " << vc->Running();
    EXPECT_EQ(result[4], 0);  // though the image is sound
    EXPECT_EQ(vc->CurrentIdentity().firmwareVersion, 1);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(Type(seen[0]), 0xDA04);
    EXPECT_EQ(Type(seen[1]), 0xDA04);  // the double answer to chunk 0
    // The host then sent frames 1 and 2 back to back; both were kept.
    EXPECT_EQ(vc->LastImage(), fw);
  }
}

TEST(ToolsVc, RepeatedWritesHoldOneImageAndNoRecord) {
  Options o;
  o.frameGapMs = 0;  // its answers go nowhere here
  VirtualController vc(o);
  std::mt19937 rng(21);
  // The held bytes do not depend on the image's size; a smaller one keeps
  // the test quick under the sanitizers.
  const char* frames = std::getenv("TAVRIN_VC_TEST_FRAMES");
  Bytes image((frames != nullptr ? std::strtoul(frames, nullptr, 10) : 4000) * 64);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  const auto start = Clock::now();
  for (int round = 0; round < 10; ++round) {
    // Frame by frame, as a host sends each chunk when asked.
    for (std::size_t at = 0; at < image.size(); at += 64) vc.FeedForTest(image.data() + at, 64);
    const Bytes close =
        ClosingFrame(tavrin::image::Kind::Firmware, static_cast<std::uint32_t>(round), rng);
    vc.FeedForTest(close.data(), close.size());
    ASSERT_EQ(vc.GetCounters().closes, static_cast<std::uint64_t>(round + 1));
    EXPECT_LE(vc.HeldBytes(), image.size()) << round;
  }
  EXPECT_EQ(vc.LastImage(), image);
  EXPECT_TRUE(vc.Wire().empty());
  EXPECT_EQ(vc.GetCounters().chunks, 10u * image.size() / 64);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("ten writes of %zu bytes took %lld ms\n", image.size(),
              static_cast<long long>(took.count()));

  // A controller asked for its record keeps every frame.
  o.recordWire = true;
  VirtualController recording(o);
  for (std::size_t at = 0; at < 64 * 3; at += 64) recording.FeedForTest(image.data() + at, 64);
  EXPECT_EQ(recording.Wire().size(), 6u);  // three chunks, three answers
}

TEST(ToolsVc, LineRatePacingCostsLineTime) {
  Options o = Quiet();
  o.lineRate = true;
  auto vc = StartVc(o);
  Host host(vc->SlavePath());
  const Bytes fw = Firmware(1, 2, 22);  // 30 frames
  const auto t0 = Clock::now();
  const Bytes result = host.Transfer(fw, tavrin::image::Kind::Firmware, ImageCrcOf(fw));
  const auto elapsed = Clock::now() - t0;
  ASSERT_EQ(result[4], 1);
  // 31 rounds of 64 bytes in and 16 out at 86.8 us a byte: 215 ms at least.
  EXPECT_GE(elapsed, 200ms);
}

TEST(ToolsVc, SurvivesTheHostClosingAndReopening) {
  auto vc = StartVc(Quiet());
  {
    Host host(vc->SlavePath());
    host.Send(IdentifyRequest(1));
    // Closed before the answer is read: the answer must not wait for the next session.
    host.Close();
  }
  EXPECT_TRUE(vc->WaitUntil(
      [&] { return vc->GetCounters().hostCloses == 1 && vc->GetCounters().framesOut == 1; },
      kLong));
  Host again(vc->SlavePath());
  ASSERT_TRUE(again.Ok());
  EXPECT_TRUE(again.ReadBlock(100ms).empty());
  again.Send(IdentifyRequest(2));
  EXPECT_TRUE(DecodeReply(again.ReadBlock()));
}

TEST(ToolsVc, LinksItselfAsAComPortAndRemovesTheLink) {
  TempDir dir;
  Options o = Quiet();
  o.link = true;
  o.linkDirectory = dir.str();
  auto first = StartVc(o);
  EXPECT_EQ(first->PortName(), "COM20");
  EXPECT_EQ(fs::read_symlink(dir.str() + "/COM20").string(), first->SlavePath());
  auto second = StartVc(o);
  EXPECT_EQ(second->PortName(), "COM21");

  // The link opens the controller.
  {
    Host host(dir.str() + "/COM21");
    host.Send(IdentifyRequest(1));
    EXPECT_TRUE(DecodeReply(host.ReadBlock()));
  }

  Options taken = o;
  taken.port = "COM20";
  VirtualController third(taken);
  std::string error;
  EXPECT_FALSE(third.Start(&error));
  EXPECT_NE(error.find("COM20"), std::string::npos) << error;

  first->Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.str() + "/COM20")));

  // Links of earlier controllers killed outright, to terminals that exist:
  // the one whose controller is gone is reclaimed, a live one is not.
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  for (const auto& [name, pid] : {std::pair<std::string, pid_t>{"COM30", dead}, {"COM31", getpid()}}) {
    fs::create_symlink(terminal, dir.str() + "/" + name);
    std::ofstream(dir.str() + "/." + name + ".vc") << pid << ' ' << terminal << '\n';
  }
  {
    VirtualController reclaiming(o);
    ASSERT_TRUE(reclaiming.Start(&error)) << error;
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.str() + "/COM30")));
  EXPECT_FALSE(fs::exists(dir.str() + "/.COM30.vc"));
  EXPECT_EQ(fs::read_symlink(dir.str() + "/COM31").string(), terminal);
  fs::remove(dir.str() + "/COM31");
  fs::remove(dir.str() + "/.COM31.vc");
  close(master);
  // A link left pointing nowhere is taken over.
  fs::create_symlink("/dev/pts/no-such-terminal", dir.str() + "/COM9");
  taken.port = "com9";
  VirtualController fourth(taken);
  ASSERT_TRUE(fourth.Start(&error)) << error;
  EXPECT_EQ(fourth.PortName(), "COM9");
  EXPECT_EQ(fs::read_symlink(dir.str() + "/COM9").string(), fourth.SlavePath());
  fourth.Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.str() + "/COM9")));

  // Without a directory given, the link goes where the programmer looks.
  TempDir runtime;
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_RUNTIME_DIR", runtime.str().c_str(), 1);
  Options plain = Quiet();
  plain.link = true;
  VirtualController fifth(plain);
  const bool started = fifth.Start(&error);
  if (old != nullptr) {
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  ASSERT_TRUE(started) << error;
  EXPECT_EQ(fifth.LinkPath(), runtime.str() + "/tavrin/dosdevices/COM20");
}

TEST(ToolsVc, ResetsAfterAnUpdateAndComesBackUnderANewName) {
  TempDir dir;
  Options o = Quiet();
  o.link = true;
  o.linkDirectory = dir.str();
  o.port = "COM40";
  o.resetAfterUpdate = 300ms;
  o.resetPort = "COM41";
  const std::string oldLink = dir.str() + "/COM40";
  const std::string newLink = dir.str() + "/COM41";
  // Looked at on the controller's thread as the port leaves: the silence is
  // short, and a slow test thread could see it over already.
  std::atomic<int> linkWhenLeft{-1};
  o.log = true;
  o.logSink = [&](const std::string& line) {
    if (line.find("the port has left the list") != std::string::npos)
      linkWhenLeft = fs::exists(fs::symlink_status(oldLink)) ? 1 : 0;
  };
  auto vc = StartVc(o);
  Host host(oldLink);
  ASSERT_TRUE(host.Ok());
  const Bytes fw = Firmware(1, 0x0203, 10);
  // The result reaches the host before the port goes.
  const Bytes result = host.Transfer(fw, tavrin::image::Kind::Firmware, ImageCrcOf(fw));
  ASSERT_EQ(Type(result), 0xDA07);
  EXPECT_EQ(result[4], 1);

  // While silent the port is off the list and the open handle is dead.
  ASSERT_TRUE(vc->WaitUntil([&] { return linkWhenLeft >= 0; }, kLong));
  EXPECT_EQ(linkWhenLeft, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(oldLink)));
  EXPECT_FALSE(host.TrySend(IdentifyRequest(9)));
  host.Close();

  ASSERT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().resetsEnded == 1; }, kLong));
  EXPECT_EQ(vc->PortName(), "COM41");
  EXPECT_FALSE(fs::exists(fs::symlink_status(oldLink)));
  Host again(newLink);
  ASSERT_TRUE(again.Ok());
  const auto out = vc->GetCounters().framesOut;
  again.Send(IdentifyRequest(10));
  // An answer still unread when a reset unplugs the port reaches the host first.
  ASSERT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().framesOut == out + 1; }, kLong));
  tavrin::vc::ResetPlan unplug;
  unplug.silentFor = 200ms;
  unplug.unplug = true;
  ASSERT_TRUE(vc->Reset(unplug));
  EXPECT_FALSE(vc->WaitUntil([&] { return vc->PortName().empty(); }, 50ms));
  const auto id = DecodeReply(again.ReadBlock());
  ASSERT_TRUE(id);
  EXPECT_EQ(id->firmware, 0x0203);
  ASSERT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().resetsEnded == 2; }, kLong));
  EXPECT_EQ(vc->PortName(), "COM41");
  vc->Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(newLink)));
}

TEST(ToolsVc, ResetOnDemandLosesWhatComesAndReturnsAsAnotherUnit) {
  // Sent on the controller's thread as it goes silent: a slow test thread
  // could send only after the short silence is over.
  std::atomic<Host*> sender{nullptr};
  Options o = Quiet();
  o.log = true;
  o.logSink = [&](const std::string& line) {
    Host* host = sender.load();
    if (host != nullptr && line.find("reset: silent for") != std::string::npos) {
      sender = nullptr;
      EXPECT_TRUE(host->TrySend(IdentifyRequest(1)));
    }
  };
  auto vc = StartVc(o);
  Host host(vc->SlavePath());
  sender = &host;
  tavrin::vc::ResetPlan plan;
  plan.silentFor = 400ms;
  plan.identity = tavrin::vc::Identity{7, false, 2, 0x0009, 0x0004, 1, 1};
  const auto t0 = Clock::now();
  ASSERT_TRUE(vc->Reset(plan));
  EXPECT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().droppedBytes == 12; }, kLong));
  ASSERT_TRUE(vc->WaitUntil([&] { return vc->GetCounters().resetsEnded == 1; }, kLong));
  EXPECT_GE(Clock::now() - t0, 350ms);
  EXPECT_TRUE(host.ReadBlock(50ms).empty());
  // Back on the same terminal, as the next unit.
  host.Send(IdentifyRequest(2));
  const auto id = DecodeReply(host.ReadBlock());
  ASSERT_TRUE(id);
  EXPECT_EQ(id->deviceType, 7);
  EXPECT_EQ(id->firmware, 9);
  EXPECT_EQ(vc->GetCounters().identifyRequests, 1u);
}

TEST(ToolsVc, CommandLineRunsUntilSignalledAndCleansUp) {
  const std::string program = std::string(TAVRIN_BUILD_DIR) + "/bin/tavrin-virtual-controller";
  TempDir dir;
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGPIPE}) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl(program.c_str(), program.c_str(), "--link-dir", dir.str().c_str(), "--port", "COM7",
            "--device", "5", "--log", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    EXPECT_EQ(line, "COM7");
    {
      Host host(dir.str() + "/COM7");
      ASSERT_TRUE(host.Ok());
      host.Send(IdentifyRequest(1));
      const auto reply = DecodeReply(host.ReadBlock());
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->deviceType, 5);
    }
    // The log shows the frames with their types.
    std::string log;
    while (log.find("DA01 IdentifyReply") == std::string::npos && poll(&p, 1, 10000) > 0) {
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      log.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_NE(log.find("DA00 IdentifyRequest"), std::string::npos) << log;
    EXPECT_NE(log.find("da 00 00 01 11 22 33 44"), std::string::npos) << log;
    kill(pid, sig);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.str() + "/COM7")));
    close(out[0]);
  }

  const std::string bad = program + " --ignore 0-x 2>&1";
  FILE* f = popen(bad.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string text;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f) != nullptr) text += buf;
  const int status = pclose(f);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

#endif  // _WIN32
