// Seams the tests of the Linux serial layer use to reach what a
// pseudo-terminal cannot show.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Tests: the modem-line requests (TIOCMGET, TIOCMBIS, TIOCMBIC with their
// argument) go to `lines` instead of the device, which a pseudo-terminal
// lacks; it returns what ioctl() would. An empty function restores the device.
using ModemLinesForTest = std::function<int(unsigned long request, int* lines)>;
void SetModemLinesForTest(ModemLinesForTest lines);

}  // namespace platform
