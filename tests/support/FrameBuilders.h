// Frames for tests, built and read from the line layout: the byte-order and
// frame helpers the tools use, and the frames a test sends or checks as the
// controller or the host would.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Frames.h"

namespace test_frames {

using namespace tavrin::bytes;
using tavrin::framing::ClosingImageCrc;
using tavrin::framing::FrameSealed;
using tavrin::framing::OpenSecretBlock;
using tavrin::framing::PutClosingImageCrc;
using tavrin::framing::SealFrame;
using tavrin::framing::SealSecretBlock;
using Bytes = std::vector<std::uint8_t>;

// `head` from byte 0, zeros, and the CRC in the last four of `length` bytes.
inline Bytes SealedFrame(const Bytes& head, std::size_t length) {
  Bytes frame(length, 0);
  std::copy(head.begin(), head.end(), frame.begin());
  SealFrame(frame.data(), length);
  return frame;
}

// The host's rule for a received block: 16 bytes at least, and the CRC of
// its first min(length, 64) bytes in the last four of them.
inline bool HostAccepts(const std::uint8_t* block, std::size_t length) {
  if (length < 16) return false;
  return FrameSealed(block, std::min<std::size_t>(length, 64));
}
inline bool HostAccepts(const Bytes& block) { return HostAccepts(block.data(), block.size()); }

// What an IdentifyReply's block (bytes 24-32) tells.
struct Identity {
  std::uint16_t deviceType = 1;
  std::uint8_t bootloader = 3;
  std::uint16_t firmware = 0x000C;
  std::uint16_t data = 0x0002;
  std::uint8_t programCheck = 1;
  std::uint8_t dataCheck = 0;
};

// An IdentifyReply before scrambling: DA 01 and the identity, zeros elsewhere.
inline Bytes PlainIdentifyReply(const Identity& id) {
  Bytes frame(64, 0);
  frame[0] = 0xDA;
  frame[1] = 0x01;
  PutBe16(frame.data() + 24, id.deviceType);
  frame[26] = id.bootloader;
  PutBe16(frame.data() + 27, id.firmware);
  PutBe16(frame.data() + 29, id.data);
  frame[31] = id.programCheck;
  frame[32] = id.dataCheck;
  return frame;
}

// As a controller sends it: block CRC, scrambling, frame CRC.
inline Bytes Scrambled(Bytes plain) {
  Bytes frame(64, 0);
  SealSecretBlock(plain.data(), frame.data());
  return frame;
}

// The identity of a 64-byte IdentifyReply that passes both checks.
inline std::optional<Identity> ReadIdentifyReply(const Bytes& frame) {
  if (frame.size() != 64 || frame[0] != 0xDA || frame[1] != 0x01 || !HostAccepts(frame)) {
    return std::nullopt;
  }
  std::uint8_t block[32];
  if (!OpenSecretBlock(frame.data(), block)) return std::nullopt;
  return Identity{GetBe16(block), block[2], GetBe16(block + 3), GetBe16(block + 5), block[7], block[8]};
}

}  // namespace test_frames
