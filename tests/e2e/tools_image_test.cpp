// The image tool: files it makes pass its own inspection and the programmer's
// header check, and damage anywhere in a header frame is pinned to that frame.
#ifndef _WIN32  // needs POSIX process and temp-dir calls
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "protocol/Stm32_crc32_soft.h"
#include "support/FrameBuilders.h"

namespace fs = std::filesystem;
using namespace tavrin::image;

namespace {

using test_frames::GetLe32;

// The header as the programmer's loader reads it: unscramble each header
// frame with the key from its own selector bytes, check the CRC, join.
bool LoaderHeader(const std::vector<std::uint8_t>& file, std::size_t frames, std::uint8_t* out) {
  for (std::size_t i = 0; i < frames; ++i) {
    if (!test_frames::OpenSecretBlock(file.data() + 64 * i, out + 32 * i)) return false;
  }
  return true;
}

struct RunResult {
  int code = -1;
  std::string out;
};

// `launcher` goes before the tool, e.g. "timeout 5 ".
RunResult RunTool(const std::string& args, const std::string& launcher = "") {
  const std::string cmd =
      launcher + std::string(TAVRIN_BUILD_DIR) + "/bin/tavrin-image-tool " + args + " 2>&1";
  RunResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) r.out += buf;
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "tavrin-image-XXXXXX").string();
    path_ = mkdtemp(t.data()) != nullptr ? t : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace

TEST(ToolsImage, FirmwareFileCarriesItsHeaderAndOurImageCrc) {
  std::mt19937 rng(7);
  const auto payload = GeneratePayload(5, rng);
  std::vector<std::uint8_t> odd(payload.begin(), payload.end() - 10);  // padded back to 5 frames
  const auto file = BuildFirmware({0x0001, 0x0105}, odd, rng);
  ASSERT_EQ(file.size(), 13u * 64);

  std::uint8_t header[256];
  ASSERT_TRUE(LoaderHeader(file, 8, header));
  EXPECT_EQ(header[0] | (header[1] << 8), 0x0001);
  EXPECT_EQ(header[2] | (header[3] << 8), 0x0105);
  // The payload is padded with FF, and ImageCrc covers frames 8 onwards as one run.
  EXPECT_EQ(file[file.size() - 1], 0xFF);
  EXPECT_EQ(GetLe32(header + 12), Stm32Crc32(file.data() + 8 * 64, 5 * 64));

  const auto r = Inspect(file.data(), file.size(), {});
  EXPECT_TRUE(r.sound);
  EXPECT_EQ(r.kind, Kind::Firmware);
  EXPECT_EQ(r.frames, 13u);
  EXPECT_EQ(r.deviceType, 1);
  EXPECT_EQ(r.version, 0x0105);
  EXPECT_TRUE(r.crcMatches);

  // Eight header frames and nothing else is a whole firmware file too.
  const auto bare = BuildFirmware({3, 9}, {}, rng);
  ASSERT_EQ(bare.size(), 512u);
  const auto rb = Inspect(bare.data(), bare.size(), {});
  EXPECT_TRUE(rb.sound);
  EXPECT_EQ(rb.imageCrc, 0xFFFFFFFFu);
}

TEST(ToolsImage, DataMapFileHasOneHeaderFrameAndAtLeastFourFrames) {
  std::mt19937 rng(8);
  const auto map = BuildDataMap({1, 2}, {}, rng);
  ASSERT_EQ(map.size(), 256u);
  std::uint8_t header[32];
  ASSERT_TRUE(LoaderHeader(map, 1, header));
  EXPECT_EQ(GetLe32(header + 4), Stm32Crc32(map.data() + 64, 3 * 64));
  EXPECT_EQ(header[8] | (header[9] << 8), 2);
  EXPECT_EQ(header[10] | (header[11] << 8), 1);

  const auto r = Inspect(map.data(), map.size(), {});
  EXPECT_TRUE(r.sound);
  EXPECT_EQ(r.kind, Kind::DataMap);  // worked out from the contents
  EXPECT_EQ(r.dataVersion, 2);
  EXPECT_EQ(r.deviceType, 1);
}

TEST(ToolsImage, DamageInAnyHeaderByteIsFoundAtItsFrame) {
  std::mt19937 rng(9);
  const auto fw = BuildFirmware({1, 12}, GeneratePayload(4, rng), rng);
  const auto map = BuildDataMap({1, 2}, GeneratePayload(3, rng), rng);
  for (std::size_t frame = 0; frame < 8; ++frame) {
    for (std::size_t offset : {0u, 3u, 4u, 12u, 13u, 23u, 24u, 40u, 59u, 60u, 63u}) {
      auto bad = fw;
      bad[64 * frame + offset] ^= 0x01;
      const auto r = Inspect(bad.data(), bad.size(), {Kind::Firmware, false});
      EXPECT_FALSE(r.sound) << frame << "/" << offset;
      EXPECT_EQ(r.damagedFrame, static_cast<int>(frame)) << frame << "/" << offset;
    }
  }
  for (std::size_t offset = 0; offset < 64; ++offset) {
    auto bad = map;
    bad[offset] ^= 0x80;
    const auto r = Inspect(bad.data(), bad.size(), {Kind::DataMap, false});
    // Without its mark (bytes 0-1) the one header frame reads as made
    // elsewhere, so only the programmer's own checks apply, and they pass.
    EXPECT_EQ(r.damagedFrame, offset < 2 ? -1 : 0) << offset;
    if (offset == 30 || offset == 62) {
      EXPECT_EQ(r.programmerAccepts, offset == 62) << offset;  // it never reads byte 62
    }
  }
  // Loose checking is the programmer's own: bytes outside the scrambled block pass.
  auto trailer = fw;
  trailer[64 * 2 + 62] ^= 0x01;
  EXPECT_TRUE(Inspect(trailer.data(), trailer.size(), {Kind::Firmware, true}).sound);
  // Without a kind given, damage in a later firmware header frame still reads as firmware.
  auto late = fw;
  late[64 * 6 + 30] ^= 0x01;
  const auto guessed = Inspect(late.data(), late.size(), {});
  EXPECT_EQ(guessed.kind, Kind::Firmware);
  EXPECT_EQ(guessed.damagedFrame, 6);
}

TEST(ToolsImage, AnotherImageCrcIsANoteAndBadLengthsAreNotSound) {
  std::mt19937 rng(10);
  auto fw = BuildFirmware({1, 12}, GeneratePayload(4, rng), rng);
  fw[64 * 10 + 5] ^= 0x20;
  // The programmer never checks ImageCrc, and a file from elsewhere may
  // follow another rule: the file is sound, with a note.
  const auto r = Inspect(fw.data(), fw.size(), {});
  EXPECT_TRUE(r.sound);
  EXPECT_FALSE(r.crcMatches);
  EXPECT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.damagedFrame, -1);
  // A device type with its top bit set matches no controller.
  const auto alert = BuildFirmware({0x8001, 12}, {}, rng);
  EXPECT_FALSE(Inspect(alert.data(), alert.size(), {}).programmerAccepts);

  const auto good = BuildFirmware({1, 12}, GeneratePayload(4, rng), rng);
  for (std::size_t size : {0u, 1u, 63u, 192u, 448u, 520u}) {
    const auto s = Inspect(good.data(), size, {Kind::Firmware, false});
    EXPECT_FALSE(s.sound) << size;
  }
  // Arbitrary bytes of any length: a verdict, never a crash.
  std::vector<std::uint8_t> noise(2048);
  for (int round = 0; round < 200; ++round) {
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const std::size_t size = rng() % noise.size();
    EXPECT_FALSE(Inspect(noise.data(), size, {}).sound);
  }
}

TEST(ToolsImage, CommandLineMakesInspectsAndDamages) {
  TempDir dir;
  auto r = RunTool("make-sbin --device 5 --version 3 --frames 6 -o " + (dir / "a.sbin"));
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(ReadAll(dir / "a.sbin").size(), 14u * 64);
  r = RunTool("inspect " + (dir / "a.sbin"));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("device:      5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("version:     3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("matches the payload"), std::string::npos) << r.out;

  std::ofstream(dir / "p.bin", std::ios::binary) << std::string(100, 'x');
  r = RunTool("make-lbin --device 1 --data-version 4 --payload " + (dir / "p.bin") + " -o " +
              (dir / "m.lbin"));
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(ReadAll(dir / "m.lbin").size(), 256u);  // 100 bytes padded to 3 frames
  r = RunTool("inspect " + (dir / "m.lbin"));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("data map"), std::string::npos) << r.out;

  r = RunTool("damage " + (dir / "a.sbin") + " --frame 5 --offset 44 -o " + (dir / "b.sbin"));
  ASSERT_EQ(r.code, 0) << r.out;
  r = RunTool("inspect " + (dir / "b.sbin"));
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("damaged at frame 5"), std::string::npos) << r.out;

  // Bad options: non-zero, one line, and no output file.
  for (const std::string& bad :
       {"make-sbin --device 1 -o " + (dir / "c.sbin"),
        "make-sbin --device 1 --version 2 --frames 1 --payload " + (dir / "p.bin") + " -o " +
            (dir / "c.sbin"),
        "make-sbin --device 99999 --version 2 --frames 1 -o " + (dir / "c.sbin"),
        std::string("frobnicate")}) {
    r = RunTool(bad);
    EXPECT_NE(r.code, 0) << bad;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  EXPECT_FALSE(fs::exists(dir / "c.sbin"));
  EXPECT_EQ(RunTool("--help").code, 0);

  // A frame number past the file, or one whose byte offset overflows, changes nothing.
  for (const std::string frame : {"14", "288230376151711744", "18446744073709551615"}) {
    r = RunTool("damage " + (dir / "a.sbin") + " --frame " + frame + " --offset 0 -o " +
                (dir / "d.sbin"));
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  EXPECT_FALSE(fs::exists(dir / "d.sbin"));
}

TEST(ToolsImage, WhatIsNoFileIsRefusedAtOnce) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.sbin").c_str(), 0600), 0);
  const std::string fifo = dir / "fifo.sbin";
  const std::string out = " -o " + (dir / "x.sbin");
  for (const std::string& command :
       {"inspect " + (dir / ""), "inspect " + fifo, std::string("inspect /dev/zero"),
        "damage " + fifo + out, "make-sbin --device 1 --version 1 --payload " + fifo + out}) {
    const auto start = std::chrono::steady_clock::now();
    // A tool that waits on the FIFO is let go by the time limit.
    const RunResult r = RunTool(command, "timeout 5 ");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << command;
    EXPECT_EQ(r.code, 2) << command << "\n" << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  EXPECT_FALSE(fs::exists(dir / "x.sbin"));
}

#endif  // _WIN32
