#include "protocol/Stm32_crc32_soft.h"

#include <array>

std::uint32_t Stm32Crc32(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint32_t offset = 0; offset < length; offset += 4) {
    const std::uint32_t word = std::uint32_t{bytes[offset]} |
                               (std::uint32_t{bytes[offset + 1]} << 8) |
                               (std::uint32_t{bytes[offset + 2]} << 16) |
                               (std::uint32_t{bytes[offset + 3]} << 24);
    crc ^= word;
    for (int bit = 0; bit < 32; ++bit) {
      crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    if (length - offset <= 4) break;  // no wrap-around for lengths near 2^32
  }
  return crc;
}

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) != 0 ? (c << 1) ^ 0x04C11DB7u : c << 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t Stm32Crc32Fast(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint32_t offset = 0; offset < length; offset += 4) {
    // Each little-endian word enters most significant byte first.
    for (int k = 3; k >= 0; --k) {
      crc = (crc << 8) ^ kTable[((crc >> 24) ^ bytes[offset + static_cast<std::uint32_t>(k)]) & 0xFFu];
    }
    if (length - offset <= 4) break;
  }
  return crc;
}
