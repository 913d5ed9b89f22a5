// The key schedule shared with the controllers: a 36-byte working key derived
// from a fixed table and nine selector bytes (frame bytes 4-12), XORed over
// frame bytes 24-59. XOR is its own inverse: the same call scrambles and
// unscrambles. Re-entrant; nothing is allocated.
#pragma once

#include <array>
#include <cstdint>

inline constexpr std::size_t kKeyLength = 36;
using WorkingKey = std::array<std::uint8_t, kKeyLength>;

extern const std::array<std::uint8_t, kKeyLength> KeyTable;

std::uint8_t RotateByteLeft(std::uint8_t value, std::uint8_t count);
void RotateBlockLeft(std::uint8_t* block, std::uint16_t length, std::uint32_t passes);
// `frame` must have bytes 4-12 readable.
WorkingKey MakeWorkingKey(const std::uint8_t* frame);
// Writes out[24..59] = key XOR frame[24..59]; `frame` needs 60 readable bytes,
// `out` 60 writable ones, and the two must not overlap.
void KeySchedule(const std::uint8_t* frame, std::uint8_t* out);
