// Frames as the line lays them out: a trailing CRC over the bytes before it;
// in IdentifyReplies and image header frames a 32-byte block (bytes 24-55)
// with its own CRC (56-59), scrambled with the key of the frame's selector
// bytes; the ImageCrc of a closing frame. Only the checksum and the key
// schedule come from the programmer, nothing of its dispatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/ByteOrder.h"
#include "protocol/Shifrator.h"
#include "protocol/Stm32_crc32_soft.h"

namespace tavrin::framing {

inline constexpr std::size_t kFrameSize = 64;

// `length` is a multiple of 4, so the CRC reads nothing past the frame.
inline void SealFrame(std::uint8_t* frame, std::size_t length) {
  bytes::PutBe32(frame + length - 4, Stm32Crc32(frame, static_cast<std::uint32_t>(length - 4)));
}
inline bool FrameSealed(const std::uint8_t* frame, std::size_t length) {
  return Stm32Crc32(frame, static_cast<std::uint32_t>(length - 4)) ==
         bytes::GetBe32(frame + length - 4);
}

// `plain`: a 64-byte frame with bytes 0-55 filled. Puts the block's CRC into
// plain[56-59], writes the scrambled frame to `frame` and seals it.
inline void SealSecretBlock(std::uint8_t* plain, std::uint8_t* frame) {
  bytes::PutBe32(plain + 56, Stm32Crc32(plain + 24, 32));
  std::memcpy(frame, plain, kFrameSize);
  KeySchedule(plain, frame);
  SealFrame(frame, kFrameSize);
}

// Unscrambles the block of a 64-byte frame into `block32`: true when it
// matches its CRC (the frame's own trailer is not looked at).
inline bool OpenSecretBlock(const std::uint8_t* frame, std::uint8_t* block32) {
  std::uint8_t work[kFrameSize] = {};
  KeySchedule(frame, work);
  std::memcpy(block32, work + 24, 32);
  return Stm32Crc32(work + 24, 32) == bytes::GetBe32(work + 56);
}

// The ImageCrc a closing frame carries at bytes 13-16, big-endian and XORed
// with the first four bytes of the working key of its selector bytes (4-12).
inline std::uint32_t ClosingImageCrc(const std::uint8_t* frame) {
  const WorkingKey key = MakeWorkingKey(frame);
  std::uint8_t crc[4];
  for (int k = 0; k < 4; ++k) crc[k] = static_cast<std::uint8_t>(frame[13 + k] ^ key[k]);
  return bytes::GetBe32(crc);
}
// Writes it; the selector bytes must already be in place.
inline void PutClosingImageCrc(std::uint8_t* frame, std::uint32_t imageCrc) {
  const WorkingKey key = MakeWorkingKey(frame);
  bytes::PutBe32(frame + 13, imageCrc);
  for (int k = 0; k < 4; ++k) frame[13 + k] = static_cast<std::uint8_t>(frame[13 + k] ^ key[k]);
}

}  // namespace tavrin::framing
