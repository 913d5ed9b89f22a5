// Telling units apart under --loop. The controllers report no serial number,
// so a unit is known by what it answers (device code, boot-loader, firmware
// and data-map versions) and by where it answers (the port list):
// - the unit just handled has left when its port leaves the list, when it
//   stops answering for several probes in a row, or when a controller that
//   answers differently is on its port;
// - a unit that was written and has not answered since (it restarts after
//   its update) is the same unit when the next controller to answer, on any
//   port, answers as it should now: same code, same boot-loader, the version
//   just written, and on USB in the same socket. It is not written or counted
//   again.
#include "cli/Session.h"
#include "cli/Text.h"
#include "protocol/Messager.h"

namespace cli {

namespace {

// A unit whose write began but did not end well may answer with anything
// its boot-loader makes of it: only its device code is held against it.
bool Matches(const Identity& expected, const Identity& answering) {
  if (expected.deviceCode != answering.deviceCode) return false;
  if (!expected.known) return true;
  return expected == answering;
}

}  // namespace

// Whoever answered last: an unknown model leaves its device code alone.
Identity Session::Answering() const {
  Identity id;
  id.deviceCode = DeviceInfo.DeviceCode.load();
  if (FindCatalogueEntry(id.deviceCode) == nullptr) return id;
  id.known = true;
  const auto& report = window_.LogLines();
  if (report.size() > 2) id.bootloader = NumberAfterColon(report[2]);
  id.firmware = DeviceInfo.FirmwareVersion.load();
  id.dataMap = DeviceInfo.DataMapVersion.load();
  return id;
}

// The unit as it should answer from now on.
void Session::RememberUnit() {
  Identity id;
  id.deviceCode = unit_.deviceCode;
  id.bootloader = unit_.bootloader;
  id.firmware = unit_.firmware;
  id.dataMap = unit_.dataMap;
  const bool transferred = unit_.framesSent > 0;
  // What it answered, unless a write may have changed it: known then only
  // when the controller said the write succeeded.
  id.known = !unit_.model.empty() && (!transferred || writeOk_);
  if (writeOk_ && unit_.versionAfter)
    (IsDataMap() ? id.dataMap : id.firmware) = *unit_.versionAfter;
  if (writeOk_ && unit_.otherAfter) (IsDataMap() ? id.firmware : id.dataMap) = *unit_.otherAfter;
  last_ = id;
  lastUsbLocation_ = unit_.usbLocation;
  // Seen again after its write (by --verify): it will not come back.
  lastMayReturn_ = writeOk_ && !seenAfterWrite_;
}

// The first controller to answer after the last unit left.
bool Session::SameUnitBack() {
  const bool mayReturn = lastMayReturn_;
  lastMayReturn_ = false;
  // A restart may rename the port, never move the controller to another USB socket.
  if (!lastUsbLocation_.empty() && !unit_.usbLocation.empty() &&
      lastUsbLocation_ != unit_.usbLocation) {
    return false;
  }
  return mayReturn && last_ && Matches(*last_, Answering());
}

// A probe's answer: the unit handled last, or another one in its place.
bool Session::StillTheSameUnit() const { return last_ && Matches(*last_, Answering()); }

}  // namespace cli
