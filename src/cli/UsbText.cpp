#include "cli/UsbText.h"

#include "cli/Text.h"

namespace cli {

std::string UsbLines(const platform::UsbDetails& u, const std::string& indent) {
  std::string text;
  if (!u.friendlyName.empty()) text += indent + u.friendlyName + "\n";
  if (!u.usb) return text;
  text += indent + "USB " + u.vendorId + ":" + u.productId;
  if (!u.product.empty()) text += " \"" + u.product + "\"";
  if (!u.manufacturer.empty()) text += " by " + u.manufacturer;
  text += ", serial " + (u.serial.empty() ? std::string("none") : u.serial);
  if (!u.driver.empty()) text += ", driver " + u.driver;
  if (u.latencyTimerMs >= 0) text += Format(", latency timer %d ms", u.latencyTimerMs);
  text += "\n";
  if (u.modem) text += indent + "a mobile-broadband modem (" + u.modemSign + "), not a controller\n";
  if (!u.byPath.empty()) text += indent + u.byPath + "\n";
  return text;
}

}  // namespace cli
