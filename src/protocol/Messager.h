// Frames: transmit and retry, the receive check and dispatch, the device
// catalogue and its reports. Module-level state, one instance of each.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// ---- Shared link state ------------------------------------------------------

// Written by the reader thread and the window thread without a lock in the
// original; atomics here, so the compiler and the CPU keep the order too.
struct LinkStateT {
  std::atomic<std::uint8_t> ReplySeen{0};
  std::atomic<std::uint8_t> AlertFlag{0};
  std::atomic<std::uint8_t> Sequence{0};
};
extern LinkStateT LinkState;

struct RetrySlotT {
  std::uint8_t Bytes[64] = {};
  std::uint32_t Length = 0;
  std::uint32_t RetryCount = 0;
};
extern RetrySlotT RetrySlot;  // guarded by TransmitLock()

struct TxBufferT {
  std::uint8_t Data[1024] = {};
  std::uint16_t Length = 0;
};
extern TxBufferT TxBuffer;  // guarded by TransmitLock()

// What the programmer keeps of the last identified controller.
struct DeviceInfoT {
  std::atomic<std::uint16_t> DeviceCode{0};
  std::atomic<std::uint16_t> FirmwareVersion{0};
  std::atomic<std::uint16_t> DataMapVersion{0};
  std::atomic<bool> ProgramMemoryOk{false};
};
extern DeviceInfoT DeviceInfo;

// Sound requests: raised by the dispatcher, played and cleared by Timer3Timer.
extern std::atomic<std::uint8_t> UpdateReadyFlag;
extern std::atomic<std::uint8_t> UpdateFailedFlag;

// ---- Transmit and retry -----------------------------------------------------

// Serialises TransmitFrame, Timer2's expiries and starts and stops, the chunk
// sender and a loader's copy into the image store. Recursive, because the
// chunk sender calls TransmitFrame while holding it. Whoever holds it must
// never wait for the window thread.
std::recursive_mutex& TransmitLock();

// Timer2, the retransmission timer. Safe from any thread; never waits for the
// window thread. Its expiries run Timer2Timer on the window thread.
void Timer2Start(std::uint16_t intervalMs);  // stop, set the interval, start
void Timer2Stop();
bool Timer2Running();
std::uint16_t Timer2Interval();
void Timer2Timer();
// Frames Timer2 has sent again since the program started.
std::uint64_t Retransmissions();

// The frame generator: a linear congruential generator, one state per thread,
// starting at 1 on every thread.
void RandomSeed(std::uint32_t seed);  // state = seed, then one draw thrown away
std::uint8_t RandomByte();            // low 8 bits of one draw

// The 12-byte IdentifyRequest for one sequence value and four random bytes.
void BuildIdentifyRequest(std::uint8_t sequence, const std::uint8_t random[4], std::uint8_t frame[12]);
void SendIdentifyRequest();
bool TransmitFrame(bool fresh, const std::uint8_t* frame, std::uint32_t length,
                   std::uint16_t intervalMs);

inline constexpr const char* kRetryLimitText =
    "Произведено 5 попыток коммуникации, связь прервана!";

// ---- Receive check and dispatch ---------------------------------------------

bool CheckBlock(const std::uint8_t* block, std::uint16_t length);
// `frame` must have 64 readable bytes (the reader's buffer always does).
void DispatchFrame(const std::uint8_t* frame);
bool HandleIdentifyReply(const std::uint8_t* frame);

// Message-box texts of the result frames and of an unknown controller.
inline constexpr const char* kFirmwareResultOkText = "Firmware update completed successfully!";
inline constexpr const char* kFirmwareResultFailText = "Firmware update failure";
inline constexpr const char* kDataMapResultOkText = "Обновление карты данных успешно завершено!";
inline constexpr const char* kDataMapResultFailText = "Провал обновления  карты данных , сбросьте устройство (откл./вкл. питание) и попробуйте снова!";
inline constexpr const char* kResultOkCaption = "ОК";  // Cyrillic letters
inline constexpr const char* kResultErrorCaption = "ERROR";
inline constexpr const char* kUnknownDeviceText = "Тип подключенного прибора не поддерживается программатором, обновите ПО!";
inline constexpr const char* kUnknownDeviceCaption = "Ошибка";

// ---- Device catalogue and identity report -----------------------------------

// Offsets of the identity record inside an unscrambled IdentifyReply.
namespace IdentityRecord {
inline constexpr int DeviceType = 24;          // 16 bits; bit 15 is the alert flag
inline constexpr int BootloaderVersion = 26;   // 8 bits
inline constexpr int FirmwareVersion = 27;     // 16 bits
inline constexpr int DataVersion = 29;         // 16 bits
inline constexpr int ProgramMemoryCheck = 31;  // 1 = OK
inline constexpr int DataMemoryCheck = 32;     // 1 = OK
inline constexpr int RecordCrc = 56;           // CRC of bytes 24-55
}  // namespace IdentityRecord

enum class ReportLanguage { Russian, English };
struct CatalogueEntry {
  std::uint16_t code;
  const char* model;
  ReportLanguage language;
  const char* firstLine;
  bool dataMemory;
};
// Entries for codes 1 to 20, in order; nullptr for any other code.
const CatalogueEntry* FindCatalogueEntry(std::uint16_t deviceCode);

// Reports the controller of an unscrambled IdentifyReply; returns the alert flag.
bool ReportDevice(const std::uint8_t* frame);

// ---- Test seams ---------------------------------------------------------------

// Replaces the clock that seeds the IdentifyRequest generator; an empty
// function puts the local time back.
void SetSeedSourceForTest(std::function<std::uint32_t()> source);
// Called under TransmitLock() with the bytes of TxBuffer each time a frame is
// handed to the writer, fresh or retransmitted; an empty function removes it.
void SetTransmitObserverForTest(std::function<void(const std::uint8_t*, std::uint16_t)> observer);

// Puts every module-level value of this unit back to its program-start state
// (Timer2 stopped with its 100 ms preset, the calling thread's generator at 1,
// the test seams removed).
void ResetMessagerForTest();
