#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/Sha256.h"
#include "protocol/Stm32_crc32_soft.h"

namespace {

struct Worked {
  std::vector<std::uint8_t> bytes;
  std::uint32_t length;
  std::uint32_t expected;
};

TEST(Stm32Crc32, WorkedValues) {
  const std::vector<Worked> cases = {
      {{0, 0, 0, 0}, 0, 0xFFFFFFFFu},
      {{0, 0, 0, 0}, 4, 0xC704DD7Bu},
      {{0x78, 0x56, 0x34, 0x12}, 4, 0xDF8A8A2Bu},
      {{0x61, 0x62, 0x63, 0x64}, 4, 0xA62F1C36u},
      {{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}, 8, 0x18C4859Cu},
      {{0x61, 0x62, 0x63, 0x00}, 3, 0xE1208697u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Stm32Crc32(c.bytes.data(), c.length), c.expected) << "length " << c.length;
    EXPECT_EQ(Stm32Crc32Fast(c.bytes.data(), c.length), c.expected) << "length " << c.length;
  }
}

TEST(Stm32Crc32, LengthZeroReadsNothing) {
  EXPECT_EQ(Stm32Crc32(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Stm32Crc32Fast(nullptr, 0), 0xFFFFFFFFu);
}

TEST(Stm32Crc32, PartialWordTakesInTheFollowingBytes) {
  std::vector<std::uint8_t> memory = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (std::uint32_t k = 0; k < 2; ++k) {
    const std::uint32_t whole = Stm32Crc32(memory.data(), 4 * k + 4);
    for (std::uint32_t extra = 1; extra <= 3; ++extra) {
      EXPECT_EQ(Stm32Crc32(memory.data(), 4 * k + extra), whole);
    }
  }
  // The bytes past the length do enter the result.
  const std::uint32_t before = Stm32Crc32(memory.data(), 3);
  memory[3] ^= 0xFF;
  EXPECT_NE(Stm32Crc32(memory.data(), 3), before);
}

TEST(Stm32Crc32, NoAlignmentRequirementAndTableFormAgrees) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> buffer(300);
  for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
  for (std::uint32_t length : {1u, 2u, 3u, 4u, 5u, 60u, 61u, 255u, 256u}) {
    const std::uint32_t aligned = Stm32Crc32(buffer.data(), length);
    std::vector<std::uint8_t> shifted(buffer.size() + 3);
    std::copy(buffer.begin(), buffer.end(), shifted.begin() + 3);
    EXPECT_EQ(Stm32Crc32(shifted.data() + 3, length), aligned);
    EXPECT_EQ(Stm32Crc32Fast(shifted.data() + 3, length), aligned);
  }
}

// The standard vectors, and lengths around the one- and two-block padding edge.
TEST(Sha256, StandardVectors) {
  const auto hex = [](const std::string& text) {
    return platform::Sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

}  // namespace
