// Builds firmware and data-map files from their layouts for the transfer
// tests: header frames scrambled with the key schedule and checked with the
// frame CRC, every other byte from a seeded generator.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "protocol/Messager.h"
#include "support/FrameBuilders.h"

namespace transfer_test {

using test_frames::GetBe32;
using test_frames::PutLe16;
using test_frames::PutLe32;

// Writes a header frame carrying `payload` (32 bytes) into `frame` (64 bytes
// whose other bytes are already filled): checksum, then scrambling. Bytes
// 60-63 keep what they had: the loader does not look at them.
inline void SealHeaderFrame(std::uint8_t* frame, const std::uint8_t* payload) {
  std::uint8_t plain[64];
  std::memcpy(plain, frame, 64);
  std::memcpy(plain + 24, payload, 32);
  std::uint8_t sealed[64];
  test_frames::SealSecretBlock(plain, sealed);
  std::memcpy(frame + 24, sealed + 24, 36);
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

struct FirmwareLayout {
  std::uint16_t deviceType = 5;
  std::uint16_t version = 0x0200;
  std::uint32_t imageCrc = 0x11223344;
  std::size_t frames = 8;
  std::uint32_t seed = 1;
};

// The 256-byte firmware header that MakeFirmware puts into its header frames.
inline std::vector<std::uint8_t> FirmwareHeaderOf(const FirmwareLayout& f) {
  std::vector<std::uint8_t> header = RandomBytes(256, f.seed * 7919u + 3u);
  PutLe16(header.data(), f.deviceType);
  PutLe16(header.data() + 2, f.version);
  PutLe32(header.data() + 12, f.imageCrc);
  return header;
}

inline std::vector<std::uint8_t> MakeFirmware(const FirmwareLayout& f) {
  std::vector<std::uint8_t> file = RandomBytes(f.frames * 64, f.seed);
  const std::vector<std::uint8_t> header = FirmwareHeaderOf(f);
  for (std::size_t i = 0; i < 8 && i < f.frames; ++i) {
    SealHeaderFrame(file.data() + 64 * i, header.data() + 32 * i);
  }
  return file;
}

struct DataMapLayout {
  std::uint16_t deviceType = 1;
  std::uint16_t dataVersion = 7;
  std::uint32_t imageCrc = 0xA1B2C3D4;
  std::size_t frames = 4;
  std::uint32_t seed = 2;
};

// The 32 payload bytes of a data map's header frame; the first 16 are kept.
inline std::vector<std::uint8_t> DataMapPayloadOf(const DataMapLayout& m) {
  std::vector<std::uint8_t> payload = RandomBytes(32, m.seed * 104729u + 5u);
  PutLe32(payload.data() + 4, m.imageCrc);
  PutLe16(payload.data() + 8, m.dataVersion);
  PutLe16(payload.data() + 10, m.deviceType);
  return payload;
}

inline std::vector<std::uint8_t> MakeDataMap(const DataMapLayout& m) {
  std::vector<std::uint8_t> file = RandomBytes(m.frames * 64, m.seed);
  const std::vector<std::uint8_t> payload = DataMapPayloadOf(m);
  SealHeaderFrame(file.data(), payload.data());
  return file;
}

// Flips one bit inside the scrambled payload of header frame `i`.
inline void DamageHeaderFrame(std::vector<std::uint8_t>& file, std::size_t i) {
  file[64 * i + 30] ^= 0x01;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The pseudo-random bytes a thread's generator yields from state 1.
inline std::vector<std::uint8_t> GeneratorBytesFromStart(std::size_t count) {
  std::uint32_t state = 1;
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) {
    state = state * 22695477u + 1u;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

// Records every frame handed to the writer with the Timer2 interval it was
// sent with. With `quiet`, Timer2 is stopped after every fresh frame so that no
// retransmission (and no retry limit) can come in between the test's steps.
class TransmitRecorder {
 public:
  struct Sent {
    std::vector<std::uint8_t> bytes;
    std::uint16_t intervalMs;
    bool fresh;
  };

  explicit TransmitRecorder(bool quiet) : quiet_(quiet) { Install(); }
  ~TransmitRecorder() { SetTransmitObserverForTest(nullptr); }
  TransmitRecorder(const TransmitRecorder&) = delete;
  TransmitRecorder& operator=(const TransmitRecorder&) = delete;

  // Again after ResetMessagerForTest, which removes every observer.
  void Install() {
    SetTransmitObserverForTest([this, quiet = quiet_](const std::uint8_t* data, std::uint16_t length) {
      const bool fresh = RetrySlot.RetryCount == 0;
      {
        std::lock_guard lock(mutex_);
        sent_.push_back({std::vector<std::uint8_t>(data, data + length), Timer2Interval(), fresh});
      }
      if (quiet && fresh) Timer2Stop();
    });
  }

  std::vector<Sent> Fresh() const {
    std::lock_guard lock(mutex_);
    std::vector<Sent> fresh;
    for (const auto& s : sent_) {
      if (s.fresh) fresh.push_back(s);
    }
    return fresh;
  }
  std::vector<Sent> All() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    sent_.clear();
  }

 private:
  bool quiet_;
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
};

}  // namespace transfer_test
