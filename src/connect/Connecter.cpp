// The port scan: CONNECT tries the listed ports one per step until one of them
// answers the identify frame; Disconnect ends a connection and resets the window.
#include "connect/Connecter.h"

#include <chrono>
#include <string>
#include <thread>

#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Ports.h"
#include "serial/WireTap.h"
#include "ui/WindowOps.h"

ConnectStateT ConnectState = ConnectStateT::Scanning;
std::uint8_t ScanPortIndex = 0;
std::uint8_t ScanGauge = 0;

namespace {

// How long a step waits for the answer to its identify frame. The window
// thread blocks meanwhile; the reader thread goes on working.
constexpr auto kReplyPause = std::chrono::milliseconds(50);

}  // namespace

void Button1Click() {
  DeviceInfo.DeviceCode = 0;
  DeviceInfo.FirmwareVersion = 0;
  DeviceInfo.DataMapVersion = 0;
  ConnectStep(true);
  // Also when that step has already connected: the ticks then do nothing
  // until Disconnect stops the timer.
  Window().StartTimer(WindowTimer::Timer1);
}

void Button3Click() { Disconnect(); }

void Timer1Timer() { ConnectStep(false); }

void ConnectStep(bool start) {
  if (start) ConnectState = ConnectStateT::Scanning;
  if (ConnectState == ConnectStateT::Scanning && ScanStep()) {
    ConnectState = ConnectStateT::Connected;
  }
}

bool ScanStep() {
  IWindow& window = Window();

  window.PortListClear();
  ListSerialPorts();

  ScanGauge = static_cast<std::uint8_t>(ScanGauge + 10);
  if (ScanGauge > 100) ScanGauge = 0;
  window.SetGauge(ScanGauge);

  window.SetStatusText(kScanningText);

  if (ScanPortIndex < window.PortListCount()) {
    window.PortListSetCurrent(ScanPortIndex);
  } else {
    window.PortListSetCurrent(0);
    ScanPortIndex = 0;
  }
  const std::string name = window.PortListCurrentText();
  wire::Mark(wire::TapKind::ScanStep, name.c_str());

  // A CONNECT while a port is still open (a connection whose answer did not
  // identify a controller leaves CONNECT enabled) must not leave that port
  // and its threads behind when the next one is opened.
  ClosePort();

  if (!OpenPort(name)) {
    ++ScanPortIndex;
    return false;
  }

  LinkState.ReplySeen = 0;
  LinkState.AlertFlag = 0;
  SendIdentifyRequest();

  std::this_thread::sleep_for(kReplyPause);

  if (LinkState.ReplySeen == 1) {
    window.StopTimer(WindowTimer::Timer1);
    LinkState.ReplySeen = 0;
    window.SetGauge(0);
    window.SetStatusText(kConnectedText);
    return true;
  }

  // Read afresh: an answer that came after the test above keeps the index on
  // this port, so the next step tries it again.
  if (LinkState.ReplySeen == 0) {
    ++ScanPortIndex;
    LinkState.ReplySeen = 0;
    window.SetColour(WindowColour::ButtonFace);
  }
  ClosePort();
  // Timer2 keeps running: the next step's identify frame restarts it.
  return false;
}

void Disconnect() {
  IWindow& window = Window();
  window.ClearLog();
  {
    // A ChunkRequest that the reader dispatches between here and ClosePort
    // must not start Timer2 again, nor send one more chunk after the click.
    std::lock_guard lock(TransmitLock());
    Timer2Stop();
    StopReader();
  }
  window.StopTimer(WindowTimer::Timer1);
  window.SetColour(WindowColour::ButtonFace);
  ClosePort();
  wire::Mark(wire::TapKind::LinkEnd);
  window.SetStatusText(kDisconnectedText);
  window.EnableControl(Control::Button1, true);
  window.EnableControl(Control::Button2, false);
  window.EnableControl(Control::Button4, false);
  window.SetGauge(0);
}

void ResetConnecterForTest() {
  ConnectState = ConnectStateT::Scanning;
  ScanPortIndex = 0;
  ScanGauge = 0;
}
