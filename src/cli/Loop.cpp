// The end of a controller: its line, its JSON and, under --loop, the tally
// and the wait for the controller to go and the next to come.
#include <mutex>
#include <nlohmann/json.hpp>

#include "cli/Session.h"
#include "cli/Text.h"
#include "cli/Trace.h"
#include "cli/Worker.h"
#include "connect/Connecter.h"
#include "platform/Console.h"
#include "platform/PortLocation.h"
#include "protocol/Messager.h"
#include "serial/Ports.h"
#include "transfer/ImageStore.h"

namespace cli {

namespace {
// --loop's wait for a unit to go: a probe's answer may take this long on a
// loaded machine, and this many probes in a row must go unanswered.
constexpr int kProbeAnswerMs = 1500;
constexpr int kProbePauseMs = 300;
constexpr int kProbeMisses = 3;
}  // namespace

void Session::EndUnit(int status, const std::string& result) {
  if (unitEnded_) return;
  unitEnded_ = true;
  Trace::UnitEnds(result, status == kExitSuccess);
  // A controller refused before its report (an unknown model) still has its code.
  if (unit_.deviceCode == 0) unit_.deviceCode = DeviceInfo.DeviceCode.load();
  if (unit_.when.empty()) unit_.when = LocalIsoTime();
  if (unit_.time.empty()) unit_.time = UtcIsoTime();
  if (unit_.device.empty()) {
    unit_.device = platform::PortDevice(unit_.port);
    unit_.usbLocation = platform::PortUsbLocation(unit_.port);
  }
  writeArmed_ = false;
  timeout_.Stop();
  linkEnd_.Stop();
  progress_.End();
  if (unit_.seconds == 0 && unit_.frames > 0) unit_.seconds = Elapsed();
  if (unit_.framesSent == 0 && unit_.frames > 0) {
    unit_.framesSent = FramesSent();
    unit_.retransmissions = Retransmissions() - retransmissionsBefore_;
  }
  if (result == "already current") {
    // Left alone: nothing of the file was taken in, and the version stays.
    unit_.versionAfter = IsDataMap() ? unit_.dataMap : unit_.firmware;
  } else if (status == kExitSuccess && !unit_.versionAfter &&
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
  const bool recorded = UnitEnded();
  if (!options_.loop) {
    Finish(recorded ? status : kExitUsage);
    return;
  }
  ++count_;
  RememberUnit();
  if (status == kExitSuccess && result == "already current") {
    ++current_;
  } else if (status == kExitSuccess) {
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
  if (!recorded) {
    // A line without its record would go unnoticed on a production line.
    Tally(false);
    Finish(kExitUsage);
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
  window_.PrintLine(
      Format("Tally: %d written, %d already current, %d failed, %d refused, %d "
             "interrupted.",
             written_, current_, failed_, refused_, interrupted_));
  if (interrupted) return kExitInterrupted;
  if (failed_ > 0) return kExitControllerFailure;
  return refused_ > 0 ? kExitRefused : kExitSuccess;
}

bool Session::UnitEnded() {
  if (unit_.port.empty() || (!options_.json && log_ == nullptr && !worker_)) return true;
  RecordContext context;
  context.options = &options_;
  context.file = options_.command == CliOptions::Command::Write ? &file_ : nullptr;
  context.machine = machine_;
  context.dataMap = IsDataMap();
  nlohmann::json record = UnitRecord(unit_, context);
  // A slot's worker: the record names its slot, and goes to the supervisor.
  if (worker_) record["slot"] = worker_->Slot();
  const std::string line = RecordLine(record) + "\n";
  if (worker_) {
    worker_->UnitEnded(RecordLine(record));
  } else if (options_.json) {
    platform::WriteText(stdout, line);
  }
  if (log_ == nullptr) return true;
  std::string error;
  if (log_->Append(line, &error)) return true;
  window_.PrintNote(ErrorLine(options_.log + ": this unit's record could not be written (" + error +
                              "); ending."));
  return false;
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
  probe_.Start(kProbePauseMs);
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
  probeAnswered_ = false;
  Button1Click();
  probe_.Start(kProbeAnswerMs);
}

void Session::EndProbe() {
  if (phase_ != Phase::Probing || !probing_) return;
  probing_ = false;
  const bool answered = Identified() || probeAnswered_;
  const bool same = answered && StillTheSameUnit();
  Button3Click();
  if (same) {
    goneMisses_ = 0;
    lastMayReturn_ = false;  // seen since its write: it has not gone to restart
    probe_.Start(kProbePauseMs);
  } else if (answered || ++goneMisses_ >= kProbeMisses) {
    // Gone, or another controller answers in its place: the next unit.
    Gone();
  } else {
    probe_.Start(kProbePauseMs);
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
