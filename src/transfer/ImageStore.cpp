#include "transfer/ImageStore.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "protocol/Messager.h"
#include "protocol/Shifrator.h"
#include "protocol/Stm32_crc32_soft.h"
#include "serial/Read_tr.h"
#include "ui/WindowOps.h"

namespace {

constexpr std::uint16_t kFirstChunkIntervalMs = 40;
constexpr std::uint16_t kCloseIntervalMs = 100;

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The share of frames sent before frame `cursor`, truncated toward zero (99.9
// shows as 99); past the closing frame it stays at 100.
int ProgressPercent(std::uint32_t cursor, std::uint32_t frameCount) {
  const double percent = static_cast<double>(cursor) / frameCount * 100.0;
  return static_cast<int>(std::min(percent, 100.0));
}

}  // namespace

ImageStoreT& ImageStore() {
  // Allocated once and zeroed; never freed, so a reader thread still running
  // at exit never sees it go away.
  static ImageStoreT* store = [] {
    auto* s = new ImageStoreT();
    s->Frames = new std::uint8_t[kStoreBytes]();
    return s;
  }();
  return *store;
}

std::uint32_t StoredImageCrc(ImageKind kind) {
  std::lock_guard lock(TransmitLock());
  const ImageStoreT& store = ImageStore();
  return kind == ImageKind::Firmware ? LittleEndian32(store.FirmwareHeader + 12)
                                     : LittleEndian32(store.DataMapHeader + 4);
}

void SendNextChunk(bool restart, std::uint16_t intervalMs) {
  std::lock_guard lock(TransmitLock());
  ImageStoreT& store = ImageStore();
  // Nothing prepared since start: no frame to send, no closing frame to make
  // from a header that never came, and no share to compute.
  if (store.FrameCount == 0) return;
  // A reader of a link that is ending neither sends nor moves the gauge.
  if (OnStoppedReaderThread()) return;

  if (restart) store.Cursor = 0;
  if (store.Cursor < store.FrameCount) {
    TransmitFrame(true, store.Frames + static_cast<std::size_t>(store.Cursor) * kFrameSize,
                  kFrameSize, intervalMs);
  }
  Window().SetGauge(ProgressPercent(store.Cursor, store.FrameCount));
  if (store.Cursor == store.FrameCount) SendImageClose(store.Kind);
  // Past the closing frame the cursor only counts; it must never wrap back
  // into the frames.
  if (store.Cursor != std::numeric_limits<std::uint32_t>::max()) ++store.Cursor;
}

void SendImageClose(ImageKind kind) {
  std::lock_guard lock(TransmitLock());
  std::uint8_t frame[kFrameSize] = {};
  frame[0] = 0xDA;
  frame[1] = kind == ImageKind::Firmware ? 0x06 : 0x08;
  for (int i = 2; i <= 12; ++i) frame[i] = RandomByte();

  const WorkingKey key = MakeWorkingKey(frame);
  const std::uint32_t crc = StoredImageCrc(kind);
  for (int k = 0; k < 4; ++k) {
    frame[13 + k] = static_cast<std::uint8_t>(crc >> (24 - 8 * k)) ^ key[k];
  }
  for (int i = 17; i <= 58; ++i) frame[i] = RandomByte();
  frame[59] = 0x00;

  const std::uint32_t frameCrc = Stm32Crc32(frame, 60);
  for (int k = 0; k < 4; ++k) frame[60 + k] = static_cast<std::uint8_t>(frameCrc >> (24 - 8 * k));

  TransmitFrame(true, frame, kFrameSize, kCloseIntervalMs);
}

bool CommitImageAndStart(ImageKind kind, const std::uint8_t* header, const std::uint8_t* data,
                         std::size_t length) {
  if (length == 0 || length > kStoreBytes || length % kFrameSize != 0) return false;
  std::lock_guard lock(TransmitLock());
  ImageStoreT& store = ImageStore();
  std::memcpy(store.Frames, data, length);
  store.FrameCount = static_cast<std::uint32_t>(length / kFrameSize);
  store.Kind = kind;
  if (kind == ImageKind::Firmware) {
    std::memcpy(store.FirmwareHeader, header, kFirmwareHeaderSize);
  } else {
    std::memcpy(store.DataMapHeader, header, kDataMapHeaderSize);
  }
  SendNextChunk(true, kFirstChunkIntervalMs);
  return true;
}

void ResetImageStoreForTest() {
  std::lock_guard lock(TransmitLock());
  ImageStoreT& store = ImageStore();
  std::memset(store.Frames, 0, kStoreBytes);
  store.FrameCount = 0;
  store.Kind = ImageKind::Firmware;
  store.Cursor = 0;
  std::memset(store.FirmwareHeader, 0, sizeof store.FirmwareHeader);
  std::memset(store.DataMapHeader, 0, sizeof store.DataMapHeader);
}
