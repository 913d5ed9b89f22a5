// Placeholder until the scan is written; Disconnect is already whole.
#include "connect/Connecter.h"

#include "protocol/Messager.h"
#include "serial/Port.h"
#include "ui/WindowOps.h"

ConnectStateT ConnectState = ConnectStateT::Scanning;
std::uint8_t ScanPortIndex = 0;
std::uint8_t ScanGauge = 0;

void Button1Click() {}
void Button3Click() { Disconnect(); }
void Timer1Timer() {}
void ConnectStep(bool) {}
bool ScanStep() { return false; }

void Disconnect() {
  IWindow& window = Window();
  window.ClearLog();
  Timer2Stop();
  window.StopTimer(WindowTimer::Timer1);
  window.SetColour(WindowColour::ButtonFace);
  ClosePort();
  window.SetStatusText("device disconnected.");
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
