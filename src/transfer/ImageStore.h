// The prepared image and the chunk sender that writes it frame by frame.
#pragma once

#include <cstdint>

enum class ImageKind : std::uint8_t { Firmware = 0, DataMap = 1 };

inline constexpr std::uint32_t kFrameSize = 64;
inline constexpr std::uint32_t kMaxFrames = 160000;
inline constexpr std::uint32_t kStoreBytes = kFrameSize * kMaxFrames;  // 10,240,000

// Guarded by TransmitLock(): a loader commits a new image under it, the chunk
// sender reads it under it, so a chunk is never half old, half new.
struct ImageStoreT {
  std::uint8_t* Frames = nullptr;  // kStoreBytes, allocated once
  std::uint32_t FrameCount = 0;
  ImageKind Kind = ImageKind::Firmware;
  std::uint32_t Cursor = 0;
  std::uint8_t FirmwareHeader[256] = {};
  std::uint8_t DataMapHeader[16] = {};
};
ImageStoreT& ImageStore();

void SendNextChunk(bool restart, std::uint16_t intervalMs);
void SendImageClose(ImageKind kind);

void ResetImageStoreForTest();
