#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "protocol/Shifrator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(RotateByteLeft, RotatesByCountModuloEight) {
  EXPECT_EQ(RotateByteLeft(0x81, 1), 0x03);
  EXPECT_EQ(RotateByteLeft(0x12, 4), 0x21);
  EXPECT_EQ(RotateByteLeft(0x80, 7), 0x40);
  EXPECT_EQ(RotateByteLeft(0xA5, 0), 0xA5);
  EXPECT_EQ(RotateByteLeft(0xA5, 8), 0xA5);
  EXPECT_EQ(RotateByteLeft(0x81, 9), 0x03);
  EXPECT_EQ(RotateByteLeft(0x81, 255), RotateByteLeft(0x81, 7));
}

TEST(RotateBlockLeft, CarriesBitsAcrossBytesAndAroundTheEnd) {
  Bytes block(36, 0);
  block.front() = 0x80;
  block.back() = 0x01;
  RotateBlockLeft(block.data(), 36, 1);
  Bytes expected(36, 0);
  expected.back() = 0x03;
  EXPECT_EQ(block, expected);
}

TEST(RotateBlockLeft, EightPassesMoveEveryByteOnePlaceForward) {
  Bytes block(36);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0x10 + i * 7);
  Bytes expected(block.begin() + 1, block.end());
  expected.push_back(block.front());
  RotateBlockLeft(block.data(), 36, 8);
  EXPECT_EQ(block, expected);
}

TEST(RotateBlockLeft, NothingChangesWithoutPassesOrLength) {
  const Bytes original = {0x12, 0x34, 0x56, 0x78};
  Bytes block = original;
  RotateBlockLeft(block.data(), 4, 0);
  EXPECT_EQ(block, original);
  RotateBlockLeft(block.data(), 0, 5);
  EXPECT_EQ(block, original);
  RotateBlockLeft(block.data(), 4, 32);  // a full turn
  EXPECT_EQ(block, original);
}

std::array<std::uint8_t, 13> Selectors(std::uint8_t fill) {
  std::array<std::uint8_t, 13> frame{};
  for (int i = 4; i <= 12; ++i) frame[i] = fill;
  return frame;
}

TEST(MakeWorkingKey, SelectorExtremes) {
  // All 0x00: bytes 0, 8, 16, 24 rotated by 1, then the key by 7 bits.
  const WorkingKey zero = {0x09, 0xe3, 0x97, 0x48, 0x25, 0x86, 0xf0, 0xf7, 0x1c, 0x53, 0x79, 0x0e,
                           0x34, 0xda, 0x02, 0xd8, 0x9f, 0xc1, 0x67, 0x0b, 0xad, 0xcd, 0x30, 0x63,
                           0x96, 0xa7, 0xc0, 0xdb, 0x05, 0x39, 0xea, 0x94, 0xf6, 0x23, 0x4c, 0x5a};
  // All 0xFF: bytes 7, 15, 23, 31 rotated by 4, then the key by 22 bits.
  const WorkingKey ones = {0xcb, 0xa4, 0x12, 0xc3, 0x47, 0x9d, 0xce, 0x29, 0xbc, 0x87, 0x1a, 0x6d,
                           0x14, 0x36, 0x0f, 0xe0, 0xb3, 0x85, 0xd6, 0xe6, 0x81, 0xb8, 0xcb, 0x53,
                           0xe0, 0x6d, 0x82, 0x9c, 0xd7, 0x4a, 0x7b, 0x11, 0xa6, 0x16, 0x84, 0xf1};
  EXPECT_EQ(MakeWorkingKey(Selectors(0x00).data()), zero);
  EXPECT_EQ(MakeWorkingKey(Selectors(0xFF).data()), ones);
}

TEST(MakeWorkingKey, EachSelectorByteHasItsOwnRole) {
  const std::uint8_t frame[13] = {0, 0, 0, 0, 0x03, 0x0c, 0x45, 0x06, 0x9a, 0x0d, 0x27, 0xc8, 0x3c};
  const WorkingKey expected = {0x3c, 0x5c, 0x82, 0x58, 0x6f, 0x0b, 0xb9, 0xc5, 0x37, 0x90, 0xe5, 0xa5,
                               0xa0, 0x2e, 0xc1, 0xfa, 0x0e, 0x70, 0xba, 0xdc, 0xd3, 0x07, 0x19, 0x6a,
                               0x7c, 0x0d, 0xb0, 0x53, 0x9d, 0xd1, 0x4f, 0x62, 0x34, 0xc2, 0xd0, 0x9e};
  EXPECT_EQ(MakeWorkingKey(frame), expected);
  // Undoing the whole-key rotation ((0x3c & 15) + 7 = 19 bits) leaves the
  // table with exactly four bytes changed, one in each quarter of bytes 0-31.
  WorkingKey undone = MakeWorkingKey(frame);
  RotateBlockLeft(undone.data(), kKeyLength, kKeyLength * 8 - 19);
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < kKeyLength; ++i) {
    if (undone[i] != KeyTable[i]) changed.push_back(i);
  }
  EXPECT_EQ(changed, (std::vector<std::size_t>{3, 13, 18, 31}));
  EXPECT_EQ(undone[3], RotateByteLeft(KeyTable[3], (0x0c % 7) + 1));
  EXPECT_EQ(undone[13], RotateByteLeft(KeyTable[13], (0x06 % 7) + 1));
  EXPECT_EQ(undone[18], RotateByteLeft(KeyTable[18], (0x0d % 7) + 1));
  EXPECT_EQ(undone[31], RotateByteLeft(KeyTable[31], (0xc8 % 7) + 1));
}

Bytes RandomFrame(std::mt19937& rng) {
  Bytes frame(64);
  for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
  return frame;
}

TEST(KeySchedule, IsItsOwnInverseAndWritesOnlyBytes24To59) {
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    const Bytes frame = RandomFrame(rng);
    Bytes once(64, 0xEE);
    KeySchedule(frame.data(), once.data());
    for (int i = 0; i < 24; ++i) ASSERT_EQ(once[i], 0xEE);
    for (int i = 60; i < 64; ++i) ASSERT_EQ(once[i], 0xEE);

    // The selectors travel in clear, so the same key undoes the XOR.
    Bytes scrambled = frame;
    std::copy(once.begin() + 24, once.begin() + 60, scrambled.begin() + 24);
    Bytes twice(64, 0);
    KeySchedule(scrambled.data(), twice.data());
    ASSERT_TRUE(std::equal(twice.begin() + 24, twice.begin() + 60, frame.begin() + 24));

    const WorkingKey key = MakeWorkingKey(frame.data());
    for (std::size_t i = 0; i < kKeyLength; ++i) ASSERT_EQ(once[24 + i], key[i] ^ frame[24 + i]);
  }
}

TEST(KeySchedule, IgnoresBytesOutsideSelectorsAndBlock) {
  std::mt19937 rng(7);
  const Bytes base = RandomFrame(rng);
  Bytes other = base;
  for (int i : {0, 1, 2, 3, 13, 17, 23, 60, 61, 62, 63}) other[i] ^= 0x5A;
  Bytes a(64, 0), b(64, 0);
  KeySchedule(base.data(), a.data());
  KeySchedule(other.data(), b.data());
  EXPECT_EQ(a, b);

  // Every selector byte matters for some value of it.
  for (int i = 4; i <= 12; ++i) {
    bool differs = false;
    for (int delta = 1; delta < 16 && !differs; ++delta) {
      Bytes changed = base;
      changed[i] = static_cast<std::uint8_t>(changed[i] + delta);
      Bytes c(64, 0);
      KeySchedule(changed.data(), c.data());
      differs = c != a;
    }
    EXPECT_TRUE(differs) << "selector byte " << i;
  }
}

TEST(KeySchedule, LeavesTheInputUntouched) {
  std::mt19937 rng(3);
  const Bytes frame = RandomFrame(rng);
  Bytes copy = frame;
  Bytes out(64, 0);
  KeySchedule(copy.data(), out.data());
  EXPECT_EQ(copy, frame);
}

}  // namespace
