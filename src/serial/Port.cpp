// Placeholder until the unit is written.
#include "serial/Port.h"

platform::SerialHandle PortHandle() { return nullptr; }
bool OpenPort(const std::string&) { return false; }
void ClosePort() {}
void PurgePortOutput() {}
void WakeWriter() {}
