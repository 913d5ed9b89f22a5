// The CRC-32 of frames, identity records and file headers, computed as the
// STM32 CRC unit does in its reset configuration on little-endian 32-bit words.
#pragma once

#include <cstdint>

// For a length that is not a multiple of 4 the last word also takes in the 1 to
// 3 bytes that follow `length`: the caller must have them readable.
std::uint32_t Stm32Crc32(const std::uint8_t* bytes, std::uint32_t length);

// The same result from a 256-entry table; the bit-by-bit form is the reference.
std::uint32_t Stm32Crc32Fast(const std::uint8_t* bytes, std::uint32_t length);
