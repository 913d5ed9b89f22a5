// The end of a controller: its line, its JSON and, under --loop, the tally
// and the wait for the controller to go and the next to come.
#include <mutex>

#include "cli/Session.h"
#include "cli/Text.h"
#include "cli/Trace.h"
#include "cli/Worker.h"
#include "connect/Connecter.h"
#include "platform/Console.h"
#include "protocol/Messager.h"
#include "serial/Ports.h"
#include "transfer/ImageStore.h"

namespace cli {

void Session::EndUnit(int status, const std::string& result) {
  if (unitEnded_) return;
  unitEnded_ = true;
  Trace::UnitEnds(result, status == kExitSuccess);
  // A controller refused before its report (an unknown model) still has its code.
  if (unit_.deviceCode == 0) unit_.deviceCode = DeviceInfo.DeviceCode.load();
  if (unit_.when.empty()) unit_.when = LocalIsoTime();
  timeout_.Stop();
  linkEnd_.Stop();
  progress_.End();
  if (unit_.seconds == 0 && unit_.frames > 0) unit_.seconds = Elapsed();
  if (unit_.framesSent == 0 && unit_.frames > 0) unit_.framesSent = FramesSent();
  if (status == kExitSuccess && !unit_.versionAfter &&
      options_.command == CliOptions::Command::Write) {
    std::lock_guard lock(TransmitLock());
    const auto& store = ImageStore();
    unit_.versionAfter =
        IsDataMap()
            ? static_cast<std::uint16_t>(store.DataMapHeader[8] | store.DataMapHeader[9] << 8)
            : static_cast<std::uint16_t>(store.FirmwareHeader[2] | store.FirmwareHeader[3] << 8);
  }
  unit_.status = status;
  unit_.result = result;
  PrintJson();
  if (!options_.loop) {
    Finish(status);
    return;
  }
  ++count_;
  if (status == kExitSuccess) {
    ++written_;
  } else if (status == kExitRefused) {
    ++refused_;
  } else if (status == kExitInterrupted) {
    ++interrupted_;
  } else {
    ++failed_;
  }
  PrintUnitLine();
  if (status == kExitInterrupted) {
    Finish(Tally(true));
    return;
  }
  StartProbing();
}

void Session::PrintUnitLine() {
  const bool dataMap = IsDataMap();
  std::string versions = Format("%s %u -> ", dataMap ? "data map" : "firmware",
                                dataMap ? unit_.dataMap : unit_.firmware);
  versions += unit_.versionAfter ? std::to_string(*unit_.versionAfter) : std::string("unchanged");
  window_.PrintLine(Format("#%d  %s  %s  %s  %s  %s  %.1f s", count_, unit_.when.c_str(),
                           unit_.port.c_str(), unit_.model.c_str(), versions.c_str(),
                           unit_.result.c_str(), unit_.seconds));
}

int Session::Tally(bool interrupted) {
  // The controller cut off by Ctrl+C neither failed nor was refused.
  const std::string cut = interrupted_ > 0 ? Format(", %d interrupted", interrupted_) : "";
  window_.PrintLine(Format("Tally: %d written, %d failed, %d refused%s.", written_, failed_,
                           refused_, cut.c_str()));
  if (interrupted) return kExitInterrupted;
  if (failed_ > 0) return kExitControllerFailure;
  return refused_ > 0 ? kExitRefused : kExitSuccess;
}

void Session::PrintJson() {
  if (worker_ && !unit_.port.empty()) worker_->UnitEnded(UnitJson(unit_, options_, IsDataMap()));
  if (!options_.json || unit_.port.empty() || worker_) return;
  platform::WriteText(stdout, UnitJson(unit_, options_, IsDataMap()) + "\n");
}

void Session::Finish(int status) {
  phase_ = Phase::Done;
  timeout_.Stop();
  probe_.Stop();
  progress_.End();
  exitStatus_ = status;
  // As a window's event loop that is told to quit: what is still queued stays so.
  work_.reset();
  io_.stop();
}

// ---- --loop: waiting for the controller to go --------------------------------------

void Session::StartProbing() {
  phase_ = Phase::Probing;
  goneMisses_ = 0;
  window_.PrintNote("Waiting for this controller to go (unplug it), then for the next one...");
  probe_.Start(300);
}

// Every so often: is the port still listed, and does it still answer?
void Session::OnProbeTimer() {
  if ((phase_ == Phase::Connecting || phase_ == Phase::Verifying) && !identifiedPosted_) {
    Button1Click();
    return;
  }
  if (phase_ != Phase::Probing) return;
  if (probing_) {
    EndProbe();  // nothing answered in time
    return;
  }
  window_.SetQuiet(true);
  window_.SetPortFilter(unit_.port);
  window_.PortListClear();
  ListSerialPorts();
  if (window_.PortListCount() == 0) {
    Gone();
    return;
  }
  probing_ = true;
  Button1Click();
  probe_.Start(1000);  // the time one probe may take
}

void Session::EndProbe() {
  if (phase_ != Phase::Probing || !probing_) return;
  probing_ = false;
  const bool answered = Identified();
  Button3Click();
  if (answered) {
    goneMisses_ = 0;
    probe_.Start(300);
  } else if (++goneMisses_ >= 2) {
    Gone();
  } else {
    probe_.Start(300);
  }
}

void Session::Gone() {
  probe_.Stop();
  if (probing_) {
    probing_ = false;
    Button3Click();
  }
  window_.SetQuiet(false);
  window_.PrintNote("The controller has gone; waiting for the next one.");
  Connect(false);
}

}  // namespace cli
