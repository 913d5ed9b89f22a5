// Placeholder until the unit is written.
#include "platform/Serial.h"

namespace platform {
class SerialPort {};
SerialHandle SerialOpen(const std::string&) { return nullptr; }
bool SerialGetState(SerialPort&, SerialSettings&) { return false; }
bool SerialSetState(SerialPort&, const SerialSettings&) { return false; }
bool SerialSetZeroTimeouts(SerialPort&) { return false; }
bool SerialSetupQueues(SerialPort&, std::uint32_t, std::uint32_t) { return false; }
bool SerialPurge(SerialPort&, std::uint32_t) { return false; }
bool SerialSetRxCharMask(SerialPort&) { return false; }
WaitResult SerialWaitEvent(SerialPort&) { return WaitResult::Closed; }
bool SerialClearErrors(SerialPort&, std::uint32_t&, std::uint32_t&) { return false; }
bool SerialRead(SerialPort&, std::uint8_t*, std::uint32_t, std::uint32_t&) { return false; }
bool SerialWrite(SerialPort&, const std::uint8_t*, std::uint32_t, std::uint32_t&) { return false; }
void SerialClose(SerialPort&) {}
bool SerialIsClosed(const SerialPort&) { return true; }
}  // namespace platform
