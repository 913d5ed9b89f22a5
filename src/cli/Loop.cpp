// The end of a controller: its line, its JSON and, under --loop, the tally
// and the probes that tell when the controller has gone.
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
// loaded machine. Probes follow each other closely, so that a controller
// swapped on a fixed adapter leaves at least one unanswered.
constexpr int kProbeAnswerMs = 1500;
constexpr int kProbePauseMs = 100;
}  // namespace

bool Session::EndUnit(const UnitMachine::Action& record) {
  const std::string& result = record.result;
  const int status = record.status;
  // Its line is said even when it ends while a probe is out.
  window_.SetQuiet(false);
  Trace::UnitEnds(result, status == kExitSuccess);
  // A controller refused before its report (an unknown model) still has its code.
  if (unit_.deviceCode == 0) unit_.deviceCode = DeviceInfo.DeviceCode.load();
  if (unit_.port.empty()) unit_.port = machine_.unit().port;
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
  // The version after is the one read back, or the file's once the
  // controller said it was written; a unit left alone has none.
  unit_.versionAfter = record.versionAfter;
  if (!unit_.versionAfter) unit_.otherAfter.reset();
  if (result == "verify failed") {
    window_.PrintNote(ErrorLine(Format(
        "verify failed: the controller reports %s %u, the file is version %u.",
        IsDataMap() ? "data map" : "firmware", *record.versionAfter, machine_.fileVersion())));
  } else if (result == "written" && options_.verify && record.versionAfter) {
    window_.PrintLine(Format("Verified: the controller reports firmware %u.", *record.versionAfter));
  }
  unit_.status = status;
  unit_.result = result;
  ++count_;
  const bool recorded = UnitEnded();
  if (options_.loop) PrintUnitLine();
  return recorded;
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

void Session::PrintTally() {
  // The controller cut off by Ctrl+C neither failed nor was refused.
  const Tally& tally = machine_.tally();
  window_.PrintLine(
      Format("Tally: %d written, %d already current, %d failed, %d refused, %d "
             "interrupted.",
             tally.written, tally.current, tally.failed, tally.refused, tally.interrupted));
}

bool Session::UnitEnded() {
  if (unit_.port.empty() || (!options_.json && log_ == nullptr && !worker_)) return true;
  RecordContext context;
  context.options = &options_;
  // The bytes this unit received; a unit not written names the file as it is now.
  FileFacts file = received_.size >= 0 && !received_.sha256.empty() ? received_ : file_;
  if (options_.command == CliOptions::Command::Write && received_.sha256.empty())
    file = ReadFileFacts(options_.file);
  context.file = options_.command == CliOptions::Command::Write ? &file : nullptr;
  context.machine = machineName_;
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
  if (probeNoted_ != attempt_) {
    probeNoted_ = attempt_;
    window_.PrintNote("Waiting for this controller to go (unplug it), then for the next one...");
  }
  probe_.Start(kProbePauseMs);
}

// Every so often: is the port still listed, and does it still answer?
void Session::OnProbeTimer() {
  const State state = machine_.state();
  if (Connecting() && reported_ != attempt_) {
    Button1Click();
    return;
  }
  if (state == State::Probing) {
    EndProbe();  // nothing answered in time
    return;
  }
  if (state != State::Leaving) return;
  window_.SetQuiet(true);
  window_.SetPortFilter(machine_.unit().port);
  window_.PortListClear();
  ListSerialPorts();
  if (window_.PortListCount() == 0) {
    window_.SetQuiet(false);
    window_.PrintNote("The controller has gone; waiting for the next one.");
    Execute(machine_.PortVanished());
    return;
  }
  probeBox_.reset();
  Execute(machine_.ProbeSent());
  Button1Click();
  probe_.Start(kProbeAnswerMs);
}

void Session::EndProbe() {
  if (machine_.state() != State::Probing) return;
  probe_.Stop();
  if (Identified() || probeBox_) {
    Answer answer = Answering();
    if (!Identified()) {
      answer.id = Identity{};
      answer.id.deviceCode = *probeBox_;
    }
    probeBox_.reset();
    Execute(machine_.Answered(answer));
    return;
  }
  Button3Click();
  window_.SetQuiet(false);
  window_.PrintNote("The controller has gone; waiting for the next one.");
  Execute(machine_.ProbeUnanswered());
}

}  // namespace cli
