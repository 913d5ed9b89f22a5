// Placeholder until the unit is written.
#include "connect/Connecter.h"

ConnectStateT ConnectState = ConnectStateT::Scanning;
std::uint8_t ScanPortIndex = 0;
std::uint8_t ScanGauge = 0;

void Button1Click() {}
void Button3Click() {}
void Timer1Timer() {}
void ConnectStep(bool) {}
bool ScanStep() { return false; }
void Disconnect() {}
void ResetConnecterForTest() {}
