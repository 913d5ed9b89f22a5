// The one open serial port and its reader and writer threads.
#pragma once

#include <functional>
#include <string>

#include "platform/Serial.h"

// The open port, or none. Written only by OpenPort and ClosePort.
platform::SerialHandle PortHandle();

// Opens and configures the port, starts the reader and creates the writer
// asleep. On failure the status bar tells which step failed; false.
bool OpenPort(const std::string& name);
// The reader's stop request alone, ahead of ClosePort: from here on nothing
// that it dispatches starts Timer2 or sends.
void StopReader();
// Stops both threads and closes the port. It waits for nothing but a frame
// already handed to the writer, and for that a short while at most.
void ClosePort();

// Used by TransmitFrame: drop what the driver has not yet sent, then wake the
// writer with the frame now in TxBuffer. Both do nothing with no port open.
void PurgePortOutput();
void WakeWriter();

// Test seam: sees the device path of every open that OpenPort attempts; an
// empty function removes it.
void SetOpenPathObserverForTest(std::function<void(const std::string& path)> observer);

inline constexpr const char* kOpenFailedText = "Не удалось открыть порт";
inline constexpr const char* kReadDcbFailedText = "Не удалось считать DCB";
inline constexpr const char* kSetDcbFailedText = "Не удалось установить DCB";
inline constexpr const char* kSetTimeoutsFailedText = "Не удалось установить тайм-ауты";
