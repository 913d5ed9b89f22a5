// The port scan, CONNECT, DISCONNECT and Disconnect.
#pragma once

#include <atomic>
#include <cstdint>

// The status texts of a scan step, of a connection made and of one ended.
inline constexpr const char* kScanningText = " Идет сканирование портов ";
inline constexpr const char* kConnectedText = "The device is connected!";
inline constexpr const char* kDisconnectedText = "device disconnected.";

enum class ConnectStateT : std::uint8_t { Scanning = 0, Connected = 1 };

extern ConnectStateT ConnectState;    // window thread only
extern std::uint8_t ScanPortIndex;    // window thread only
extern std::uint8_t ScanGauge;        // window thread only

void Button1Click();
void Button3Click();
void Timer1Timer();
void ConnectStep(bool start);
bool ScanStep();
// Ends a connection and resets the window; from the window or the reader thread.
void Disconnect();

void ResetConnecterForTest();
