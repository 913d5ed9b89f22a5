// Received blocks into the receive check and, when they pass, into the
// dispatcher, as the reader thread hands them over; the window records what
// is asked of it and answers every box at once. No port is open, so whatever
// the dispatcher sends goes nowhere.
//
// Input: byte 0 picks how the rest is used, byte 1 the prepared image.
//   mode bit 0 clear: the rest is one raw block, of any length.
//   mode bit 0 set:   the rest is sealed into a frame that must pass the
//                     check (length 16 + 4 * ((mode >> 1) % 13)); with mode
//                     bit 7 set its identity block is sealed and scrambled
//                     too, so the catalogue sees arbitrary identity records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "connect/Connecter.h"
#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/RecordingWindow.h"
#include "transfer/ImageStore.h"

namespace {

constexpr std::size_t kRxBufferSize = 4096;

void Fail(const char* what) {
  std::fprintf(stderr, "frames fuzz: %s\n", what);
  std::abort();
}

// What the check must answer, written from the frame layout alone.
bool ExpectedVerdict(const std::uint8_t* block, std::size_t length16) {
  return test_frames::HostAccepts(block, length16);
}

// Three kinds of prepared image: none since start, a short firmware image, a
// short data map; the cursor anywhere around the end.
void PrepareImage(std::uint8_t selector) {
  std::lock_guard lock(TransmitLock());
  ImageStoreT& store = ImageStore();
  switch (selector % 3) {
    case 0:
      store.FrameCount = 0;
      break;
    case 1:
      store.FrameCount = 3;
      store.Kind = ImageKind::Firmware;
      break;
    default:
      store.FrameCount = 4;
      store.Kind = ImageKind::DataMap;
      break;
  }
  store.Cursor = (selector / 3) % 8;
  if (selector & 0x80) store.Cursor = 0xFFFFFFFEu;  // the cursor's far end
}

struct Fixture {
  RecordingWindow window;
  std::unique_ptr<std::uint8_t[]> rx{new std::uint8_t[kRxBufferSize]()};

  Fixture() {
    ResetMessagerForTest();
    ResetConnecterForTest();
    std::lock_guard lock(TransmitLock());
    ImageStoreT& store = ImageStore();
    for (std::uint32_t i = 0; i < 4 * kFrameSize; ++i) {
      store.Frames[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    for (std::size_t i = 0; i < kFirmwareHeaderSize; ++i) store.FirmwareHeader[i] = std::uint8_t(i);
    for (std::size_t i = 0; i < kDataMapHeaderSize; ++i) store.DataMapHeader[i] = std::uint8_t(~i);
  }
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture;  // kept to the end: threads may still use it
  return *fixture;
}

// As the reader: stop Timer2, note the reply, dispatch from the start of the
// buffer, which always has 64 bytes (the rest is what earlier reads left).
void Deliver(Fixture& f, const std::uint8_t* block, std::size_t length) {
  const std::size_t copied = length < kRxBufferSize ? length : kRxBufferSize;
  std::memcpy(f.rx.get(), block, copied);
  Timer2Stop();
  LinkState.ReplySeen = 1;
  DispatchFrame(f.rx.get());
}

void CheckInvariants() {
  std::lock_guard lock(TransmitLock());
  if (RetrySlot.Length > sizeof RetrySlot.Bytes) Fail("RetrySlot.Length beyond its bytes");
  if (TxBuffer.Length > 64) Fail("TxBuffer.Length beyond the largest frame");
  const ImageStoreT& store = ImageStore();
  if (store.FrameCount > kMaxFrames) Fail("FrameCount beyond the store");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Fixture& f = TheFixture();
  const std::uint8_t mode = data[0];
  PrepareImage(data[1]);
  data += 2;
  size -= 2;

  if ((mode & 1) == 0) {
    // Exactly `size` bytes on the heap, so a read past the block is reported.
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(block.get(), data, size);
    const auto length = static_cast<std::uint16_t>(size);  // the reader passes the low 16 bits
    const bool accepted = CheckBlock(block.get(), length);
    if (accepted != ExpectedVerdict(block.get(), length)) Fail("CheckBlock disagrees with the layout");
    if (accepted) Deliver(f, block.get(), size);
  } else {
    const std::size_t length = 16 + 4 * ((mode >> 1) % 13);
    std::uint8_t frame[64] = {};
    std::memcpy(frame, data, size < length ? size : length);
    if ((mode & 0x80) && length == 64) {
      // A plain identity record with its own CRC, scrambled as a controller would.
      std::uint8_t plain[64] = {};
      std::memcpy(plain, frame, 64);
      plain[0] = 0xDA;
      plain[1] = 0x01;
      test_frames::SealSecretBlock(plain, frame);
    }
    test_frames::SealFrame(frame, length);
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[length]);
    std::memcpy(block.get(), frame, length);
    if (!CheckBlock(block.get(), static_cast<std::uint16_t>(length))) Fail("a sealed frame was rejected");
    Deliver(f, block.get(), length);
  }

  Timer2Stop();  // no retransmission may run into the next input
  CheckInvariants();
  f.window.ClearEvents();
  return 0;
}
