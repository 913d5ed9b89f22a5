// The serial-port operations the serial units need, shaped after the Win32
// communications API so that the code above reads the same on every system.
// Linux: termios (platform/linux); Windows: the Win32 calls (platform/win32).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The fields of the Win32 DCB that the port code reads and writes. Fields the
// system has no notion of are kept as read, so a read-modify-write is exact.
struct SerialSettings {
  std::uint32_t baudRate = 0;
  std::uint8_t byteSize = 8;
  std::uint8_t parity = 0;    // NOPARITY
  std::uint8_t stopBits = 0;  // ONESTOPBIT
  bool binary = true;
  bool parityCheck = false;  // fParity
  bool outxCtsFlow = false;
  bool outxDsrFlow = false;
  std::uint8_t dtrControl = 0;  // DTR_CONTROL_DISABLE
  bool dsrSensitivity = false;
  bool txContinueOnXoff = false;
  bool outX = false;
  bool inX = false;
  bool errorChar = false;  // fErrorChar
  bool null = false;       // fNull
  std::uint8_t rtsControl = 0;  // RTS_CONTROL_DISABLE
  bool abortOnError = false;
  std::uint16_t xonLim = 0;
  std::uint16_t xoffLim = 0;
  char xonChar = 0x11;
  char xoffChar = 0x13;
  char errorCharValue = 0;
  char eofChar = 0;
  char evtChar = 0;
};

inline constexpr std::uint32_t kPurgeTxClear = 4;  // PURGE_TXCLEAR
inline constexpr std::uint32_t kPurgeRxClear = 8;  // PURGE_RXCLEAR

enum class WaitResult {
  RxChar,  // a character was received
  Other,   // the wait ended for another reason; try again
  Closed,  // the port was closed while waiting
  Gone,    // the device went away (unplugged); no event will come again
};

// One open port. Shared: the reader and the writer keep it alive while they
// run, so closing it from another thread never leaves them a dangling handle.
class SerialPort;
using SerialHandle = std::shared_ptr<SerialPort>;

// Opens a device path such as "COM7" or "\\.\COM10" for exclusive use (no
// other program, nor this one, can open it again until it is closed).
SerialHandle SerialOpen(const std::string& path);

// Why the calling thread's last SerialOpen failed, kept for a user to read.
struct SerialOpenFailure {
  enum class Kind {
    None,            // it opened
    InUse,           // another program had it open or locked: not opened at all
    TakenMeanwhile,  // another program opened or locked it between the look and the open
    System,          // the system refused: `error`
  };
  Kind kind = Kind::None;
  int error = 0;  // errno on Linux, GetLastError() on Windows
};
SerialOpenFailure LastSerialOpenFailure();
// A port whose bytes travel another way than through a device of this
// machine (a serial server on the network): every call below on a port made
// by SerialOpenBackend goes to it.
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;
  virtual bool GetState(SerialSettings& settings) = 0;
  virtual bool SetState(const SerialSettings& settings) = 0;
  virtual bool Purge(std::uint32_t flags) = 0;
  virtual WaitResult WaitEvent() = 0;
  virtual bool ClearErrors(std::uint32_t& errors, std::uint32_t& inQueue) = 0;
  virtual bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) = 0;
  virtual bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) = 0;
  virtual void Close() = 0;
  virtual bool IsClosed() const = 0;
};
SerialHandle SerialOpenBackend(std::unique_ptr<SerialBackend> backend);
// The backend of a port made by SerialOpenBackend; null for a device's port.
SerialBackend* SerialBackendOf(SerialPort& port);

bool SerialGetState(SerialPort& port, SerialSettings& settings);
bool SerialSetState(SerialPort& port, const SerialSettings& settings);
// All five time-outs zero: no time-out on reads or writes.
bool SerialSetZeroTimeouts(SerialPort& port);
bool SerialSetupQueues(SerialPort& port, std::uint32_t inQueue, std::uint32_t outQueue);
bool SerialPurge(SerialPort& port, std::uint32_t flags);
// Restricts the events the wait reports to "a character was received".
bool SerialSetRxCharMask(SerialPort& port);
// Sleeps until a character is received, the port is closed or the device
// goes away; no time-out.
WaitResult SerialWaitEvent(SerialPort& port);
// Reads and clears the line errors; tells how many bytes are queued.
bool SerialClearErrors(SerialPort& port, std::uint32_t& errors, std::uint32_t& inQueue);
bool SerialRead(SerialPort& port, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read);
bool SerialWrite(SerialPort& port, const std::uint8_t* data, std::uint32_t count,
                 std::uint32_t& written);
// Closes the port at once; a pending SerialWaitEvent returns Closed promptly,
// and every later operation fails. Calling it again does nothing.
void SerialClose(SerialPort& port);
bool SerialIsClosed(const SerialPort& port);

// Tests make one step fail on every port until it is set back to None.
// WaitEvent (Windows): the wait for a port event fails at once with an error
// that does not mean the device has gone.
enum class SerialFault { None, Open, GetState, SetState, SetTimeouts, WaitEvent };
void SetSerialFaultForTest(SerialFault fault);

}  // namespace platform
