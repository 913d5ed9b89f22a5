// Placeholder until the unit is written: every routine does nothing.
#include "protocol/Messager.h"

LinkStateT LinkState;
RetrySlotT RetrySlot;
TxBufferT TxBuffer;
DeviceInfoT DeviceInfo;
std::atomic<std::uint8_t> UpdateReadyFlag{0};
std::atomic<std::uint8_t> UpdateFailedFlag{0};

std::recursive_mutex& TransmitLock() {
  static auto* lock = new std::recursive_mutex();
  return *lock;
}
void Timer2Start(std::uint16_t) {}
void Timer2Stop() {}
bool Timer2Running() { return false; }
std::uint16_t Timer2Interval() { return 0; }
void Timer2Timer() {}
void RandomSeed(std::uint32_t) {}
std::uint8_t RandomByte() { return 0; }
void SendIdentifyRequest() {}
bool TransmitFrame(bool, const std::uint8_t*, std::uint32_t, std::uint16_t) { return true; }
bool CheckBlock(const std::uint8_t*, std::uint16_t) { return false; }
void DispatchFrame(const std::uint8_t*) {}
bool HandleIdentifyReply(const std::uint8_t*) { return false; }
const CatalogueEntry* FindCatalogueEntry(std::uint16_t) { return nullptr; }
bool ReportDevice(const std::uint8_t*) { return false; }
void ResetMessagerForTest() {}
