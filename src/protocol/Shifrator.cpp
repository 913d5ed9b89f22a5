#include "protocol/Shifrator.h"

const std::array<std::uint8_t, kKeyLength> KeyTable = {
    0x5a, 0x13, 0xc7, 0x2e, 0x90, 0x4b, 0x0d, 0xe1, 0x77, 0x38, 0xa6, 0xf2,
    0x1c, 0x69, 0xb4, 0x05, 0xd8, 0x3f, 0x82, 0xce, 0x17, 0x5b, 0x9a, 0x60,
    0xe3, 0x2d, 0x4f, 0x81, 0xb6, 0x0a, 0x73, 0xd5, 0x29, 0xec, 0x46, 0x98};

std::uint8_t RotateByteLeft(std::uint8_t value, std::uint8_t count) {
  const unsigned c = count & 7u;
  if (c == 0) return value;
  return static_cast<std::uint8_t>((value << c) | (value >> (8 - c)));
}

void RotateBlockLeft(std::uint8_t* block, std::uint16_t length, std::uint32_t passes) {
  if (length == 0) return;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint8_t top = static_cast<std::uint8_t>(block[0] >> 7);
    for (std::uint16_t j = 0; j < length; ++j) {
      const std::uint8_t in = (j + 1 < length) ? static_cast<std::uint8_t>(block[j + 1] >> 7) : top;
      block[j] = static_cast<std::uint8_t>((block[j] << 1) | in);
    }
  }
}

WorkingKey MakeWorkingKey(const std::uint8_t* frame) {
  const unsigned a1 = frame[4] & 7u;
  const unsigned c1 = (frame[5] % 7u) + 1;
  const unsigned a2 = (frame[6] & 7u) + 8;
  const unsigned c2 = (frame[7] % 7u) + 1;
  const unsigned a3 = (frame[8] & 7u) + 16;
  const unsigned c3 = (frame[9] % 7u) + 1;
  const unsigned a4 = (frame[10] & 7u) + 24;
  const unsigned c4 = (frame[11] % 7u) + 1;
  const unsigned n = (frame[12] & 15u) + 7;

  WorkingKey key = KeyTable;
  key[a1] = RotateByteLeft(key[a1], static_cast<std::uint8_t>(c1));
  key[a2] = RotateByteLeft(key[a2], static_cast<std::uint8_t>(c2));
  key[a3] = RotateByteLeft(key[a3], static_cast<std::uint8_t>(c3));
  key[a4] = RotateByteLeft(key[a4], static_cast<std::uint8_t>(c4));
  RotateBlockLeft(key.data(), static_cast<std::uint16_t>(kKeyLength), n);
  return key;
}

void KeySchedule(const std::uint8_t* frame, std::uint8_t* out) {
  const WorkingKey key = MakeWorkingKey(frame);
  for (std::size_t i = 0; i < kKeyLength; ++i) out[24 + i] = key[i] ^ frame[24 + i];
}
