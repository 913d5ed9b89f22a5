#include "protocol/Messager.h"

#include <cstring>
#include <utility>

#include "connect/Connecter.h"
#include "platform/Clock.h"
#include "platform/PeriodicTimer.h"
#include "protocol/Shifrator.h"
#include "protocol/Stm32_crc32_soft.h"
#include "serial/Port.h"
#include "serial/Read_tr.h"
#include "serial/WireTap.h"
#include "transfer/ImageStore.h"
#include "ui/WindowOps.h"

LinkStateT LinkState;
RetrySlotT RetrySlot;
TxBufferT TxBuffer;
DeviceInfoT DeviceInfo;
std::atomic<std::uint8_t> UpdateReadyFlag{0};
std::atomic<std::uint8_t> UpdateFailedFlag{0};

namespace {

constexpr std::uint16_t kIdentifyIntervalMs = 200;
constexpr std::uint16_t kTimer2PresetMs = 100;
constexpr std::uint32_t kRetryLimit = 5;  // more retransmissions than this drop the link
constexpr std::uint32_t kMinBlock = 16;
constexpr std::uint32_t kMaxFrame = 64;

// Both guarded by TransmitLock().
std::function<std::uint32_t()> g_seedSource;
std::function<void(const std::uint8_t*, std::uint16_t)> g_transmitObserver;
std::uint64_t g_retransmissions = 0;  // under TransmitLock()

// What Timer2Interval reports: the preset until the first start.
std::atomic<std::uint16_t> g_timer2Interval{kTimer2PresetMs};

thread_local std::uint32_t t_randomState = 1;

std::uint32_t RandomDraw() {
  t_randomState = t_randomState * 22695477u + 1u;
  return (t_randomState >> 16) & 0x7FFFu;
}

// Created on first use and never destroyed: reader and writer threads may
// still touch it while the process exits.
PeriodicTimer& Timer2() {
  static PeriodicTimer* timer = new PeriodicTimer(
      TransmitLock(), [] { Timer2Timer(); },
      [](PeriodicTimer::Job job) { Window().Post(std::move(job)); });
  return *timer;
}

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t Long(const std::uint8_t* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

void PutLong(std::uint8_t* bytes, std::uint32_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 24);
  bytes[1] = static_cast<std::uint8_t>(value >> 16);
  bytes[2] = static_cast<std::uint8_t>(value >> 8);
  bytes[3] = static_cast<std::uint8_t>(value);
}

void ShowResult(bool success, const char* successText, const char* failureText) {
  Window().MessageBox(success ? successText : failureText, success ? kResultOkCaption : kResultErrorCaption,
                      kMbOk);
  Window().SetGauge(0);
}

}  // namespace

std::recursive_mutex& TransmitLock() {
  static auto* lock = new std::recursive_mutex();
  return *lock;
}

// ---- Timer2 -------------------------------------------------------------------

void Timer2Start(std::uint16_t intervalMs) {
  std::lock_guard lock(TransmitLock());
  if (OnStoppedReaderThread()) return;
  g_timer2Interval.store(intervalMs);
  Timer2().Start(intervalMs);
}

void Timer2Stop() { Timer2().Stop(); }

bool Timer2Running() { return Timer2().Running(); }

std::uint16_t Timer2Interval() { return g_timer2Interval.load(); }

void Timer2Timer() { TransmitFrame(false, nullptr, 0, 0); }

// ---- Generator ----------------------------------------------------------------

void RandomSeed(std::uint32_t seed) {
  t_randomState = seed;
  RandomDraw();
}

std::uint8_t RandomByte() { return static_cast<std::uint8_t>(RandomDraw()); }

// ---- Transmit and retry ---------------------------------------------------------

void BuildIdentifyRequest(std::uint8_t sequence, const std::uint8_t random[4], std::uint8_t frame[12]) {
  frame[0] = 0xDA;
  frame[1] = 0x00;
  frame[2] = 0x00;  // the sequence field is 16 bits, the counter 8
  frame[3] = sequence;
  std::memcpy(frame + 4, random, 4);
  PutLong(frame + 8, Stm32Crc32(frame, 8));
}

void SendIdentifyRequest() {
  std::uint32_t seed;
  {
    std::lock_guard lock(TransmitLock());
    seed = g_seedSource ? g_seedSource() : platform::LocalTimeSeconds();
  }
  const std::uint8_t sequence = LinkState.Sequence.fetch_add(1);  // wraps from 255 to 0
  RandomSeed(seed);
  std::uint8_t random[4];
  for (std::uint8_t& byte : random) byte = RandomByte();
  std::uint8_t frame[12];
  BuildIdentifyRequest(sequence, random, frame);
  TransmitFrame(true, frame, sizeof frame, kIdentifyIntervalMs);
}

bool TransmitFrame(bool fresh, const std::uint8_t* frame, std::uint32_t length,
                   std::uint16_t intervalMs) {
  // A frame that cannot fit the retry slot would overrun it: refuse it whole.
  if (fresh && (frame == nullptr || length == 0 || length > sizeof RetrySlot.Bytes)) return false;

  std::lock_guard lock(TransmitLock());
  // A reader of a link that is ending sends nothing more.
  if (OnStoppedReaderThread()) return true;
  std::memset(TxBuffer.Data, 0, sizeof TxBuffer.Data);
  if (fresh) {
    Timer2Start(intervalMs);
    RetrySlot.RetryCount = 0;
    std::memcpy(RetrySlot.Bytes, frame, length);
    RetrySlot.Length = length;
  } else {
    ++RetrySlot.RetryCount;
    ++g_retransmissions;
  }
  // Both paths hand over the kept copy, so a retransmission is the fresh frame byte for byte.
  TxBuffer.Length = static_cast<std::uint16_t>(RetrySlot.Length);
  std::memcpy(TxBuffer.Data, RetrySlot.Bytes, RetrySlot.Length);

  PurgePortOutput();
  if (g_transmitObserver) g_transmitObserver(TxBuffer.Data, TxBuffer.Length);
  if (const wire::Tap tap = wire::CurrentTap()) {
    wire::TapEvent event;
    event.bytes = TxBuffer.Data;
    event.length = TxBuffer.Length;
    event.fresh = fresh;
    event.retry = RetrySlot.RetryCount;
    event.intervalMs = fresh ? intervalMs : Timer2Interval();
    tap(event);
  }
  WakeWriter();

  if (RetrySlot.RetryCount <= kRetryLimit) return true;
  wire::Mark(wire::TapKind::RetryLimit);
  Disconnect();
  Window().SetStatusText(kRetryLimitText);
  return true;
}

// ---- Receive check and dispatch -----------------------------------------------

bool CheckBlock(const std::uint8_t* block, std::uint16_t length) {
  if (block == nullptr || length < kMinBlock) return false;
  const std::uint32_t m = length < kMaxFrame ? length : kMaxFrame;
  // For m not a multiple of 4 the CRC takes in the first bytes of its own field,
  // as the controllers' hardware unit does; those bytes lie inside the block.
  return Stm32Crc32(block, m - 4) == Long(block + m - 4);
}

void DispatchFrame(const std::uint8_t* frame) {
  if (frame == nullptr) return;
  switch (Word(frame)) {
    case 0xDA01:
      HandleIdentifyReply(frame);
      break;
    case 0xDA04: {
      const std::uint16_t interval = Word(frame + 4);
      Timer2Start(interval);
      SendNextChunk(false, interval);
      break;
    }
    case 0xDA05:
      Timer2Start(Word(frame + 13));
      break;
    case 0xDA07: {
      const bool success = frame[4] == 1;
      Disconnect();
      (success ? UpdateReadyFlag : UpdateFailedFlag).store(1);
      ShowResult(success, kFirmwareResultOkText, kFirmwareResultFailText);
      break;
    }
    case 0xDA09: {
      const bool success = frame[4] == 1;
      Disconnect();
      ShowResult(success, kDataMapResultOkText, kDataMapResultFailText);
      break;
    }
    default:
      break;  // our own frame types echoed back, or a foreign frame
  }
}

bool HandleIdentifyReply(const std::uint8_t* frame) {
  std::uint8_t work[64] = {};
  KeySchedule(frame, work);
  if (Stm32Crc32(work + IdentityRecord::DeviceType, 32) != Long(work + IdentityRecord::RecordCrc)) {
    return false;
  }
  const bool alert = ReportDevice(work);
  LinkState.AlertFlag.store(alert ? 1 : 0);
  Window().SetColour(alert ? WindowColour::Red : WindowColour::LightGreen);
  return true;
}

// ---- Test seams -----------------------------------------------------------------

void SetSeedSourceForTest(std::function<std::uint32_t()> source) {
  std::lock_guard lock(TransmitLock());
  g_seedSource = std::move(source);
}

std::uint64_t Retransmissions() {
  std::lock_guard lock(TransmitLock());
  return g_retransmissions;
}

void SetTransmitObserverForTest(std::function<void(const std::uint8_t*, std::uint16_t)> observer) {
  std::lock_guard lock(TransmitLock());
  g_transmitObserver = std::move(observer);
}

void ResetMessagerForTest() {
  {
    std::lock_guard lock(TransmitLock());
    Timer2Stop();
    g_timer2Interval.store(kTimer2PresetMs);
    g_seedSource = nullptr;
    g_transmitObserver = nullptr;
    LinkState.ReplySeen.store(0);
    LinkState.AlertFlag.store(0);
    LinkState.Sequence.store(0);
    RetrySlot = RetrySlotT{};
    TxBuffer = TxBufferT{};
    DeviceInfo.DeviceCode.store(0);
    DeviceInfo.FirmwareVersion.store(0);
    DeviceInfo.DataMapVersion.store(0);
    DeviceInfo.ProgramMemoryOk.store(false);
    UpdateReadyFlag.store(0);
    UpdateFailedFlag.store(0);
    t_randomState = 1;
  }
  // The stopped timer may still be handing an expiry to the test's window.
  Timer2().WaitForPoster();
}
