// Placeholder until the unit is written.
#include "serial/Ports.h"

void ListSerialPorts() {}
