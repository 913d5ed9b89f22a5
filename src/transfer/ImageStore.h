// The prepared image and the chunk sender that writes it frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ImageKind : std::uint8_t { Firmware = 0, DataMap = 1 };

inline constexpr std::uint32_t kFrameSize = 64;
inline constexpr std::uint32_t kMaxFrames = 160000;
inline constexpr std::uint32_t kStoreBytes = kFrameSize * kMaxFrames;  // 10,240,000

inline constexpr std::size_t kFirmwareHeaderSize = 256;
inline constexpr std::size_t kDataMapHeaderSize = 16;

// Guarded by TransmitLock(): a loader commits a new image under it, the chunk
// sender reads it under it, so a chunk is never half old, half new.
struct ImageStoreT {
  std::uint8_t* Frames = nullptr;  // kStoreBytes, allocated once
  std::uint32_t FrameCount = 0;
  ImageKind Kind = ImageKind::Firmware;
  std::uint32_t Cursor = 0;
  std::uint8_t FirmwareHeader[kFirmwareHeaderSize] = {};
  std::uint8_t DataMapHeader[kDataMapHeaderSize] = {};
};
ImageStoreT& ImageStore();

// restart 1 begins at frame 0. Sends frame Cursor, or the closing frame when
// Cursor has reached FrameCount, then moves Cursor on. With no image prepared
// (FrameCount 0) it sends nothing and changes nothing.
void SendNextChunk(bool restart, std::uint16_t intervalMs);
// Builds ImageClose or DataMapClose with the calling thread's generator and
// sends it fresh with a 100 ms retransmission interval.
void SendImageClose(ImageKind kind);

// The ImageCrc that the closing frame of `kind` carries, from the stored header.
std::uint32_t StoredImageCrc(ImageKind kind);

// Replaces the image as one step, under TransmitLock(): kind, header, frames
// and count together, then starts the transfer at frame 0 with a 40 ms
// retransmission interval. `header` holds the header of `kind` (256 or 16
// bytes); `length` is a whole number of frames, at most kStoreBytes.
// Returns false, changing nothing, when the image does not fit.
bool CommitImageAndStart(ImageKind kind, const std::uint8_t* header, const std::uint8_t* data,
                         std::size_t length);

void ResetImageStoreForTest();
