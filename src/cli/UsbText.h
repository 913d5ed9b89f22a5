// A USB adapter as `ports` and `doctor` describe it, one way for both.
#pragma once

#include <string>

#include "platform/UsbInfo.h"

namespace cli {

// The lines under a port's name, each indented by `indent` and ended by a
// newline: the Device Manager's name, the ids with names, serial, driver and
// latency timer, and the by-path link. Empty for a port that is no adapter.
std::string UsbLines(const platform::UsbDetails& usb, const std::string& indent);

}  // namespace cli
