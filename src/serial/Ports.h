// Fills the hidden port list with the system's COM devices.
#pragma once

// Appends to the port list (it does not empty it) and makes entry 0 current.
void ListSerialPorts();
