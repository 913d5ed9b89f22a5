#include "cli/UnitMachine.h"

#include "cli/Driver.h"

namespace cli {

using Kind = UnitMachine::Action::Kind;
using Action = UnitMachine::Action;

Column TallyColumn(const std::string& result) {
  if (result == "written") return Column::Written;
  if (result == "already current") return Column::Current;
  if (result == "refused") return Column::Refused;
  if (result == "interrupted") return Column::Interrupted;
  // A lost link and a verify time-out leave a unit to be written again.
  if (result == "failed" || result == "verify failed" || result == "verify timed out" ||
      result == "link lost") {
    return Column::Failed;
  }
  return Column::None;
}

int TallyStatus(const Tally& tally) {
  // Only a unit cut off ends the loop as interrupted.
  if (tally.interrupted > 0) return kExitInterrupted;
  if (tally.failed > 0) return kExitControllerFailure;
  return tally.refused > 0 ? kExitRefused : kExitSuccess;
}

namespace {

Action Do(Kind kind) { return Action{kind}; }
Action End(int status) {
  Action a{Kind::End};
  a.status = status;
  return a;
}

// A unit whose write began but did not end well may answer with anything its
// boot-loader makes of it: only its device code is held against it.
bool Matches(const Identity& expected, const Identity& answering) {
  if (expected.deviceCode != answering.deviceCode) return false;
  if (!expected.known) return true;
  return expected == answering;
}

}  // namespace

std::uint16_t UnitMachine::VersionOf(const Identity& id) const {
  return settings_.dataMap ? id.dataMap : id.firmware;
}

UnitMachine::Actions UnitMachine::Start() {
  state_ = State::Waiting;
  Action scan{Kind::Scan};
  scan.timed = !settings_.loop;
  return {scan};
}

UnitMachine::Actions UnitMachine::EndNow(int status) {
  state_ = State::Ended;
  return {End(status)};
}

UnitMachine::Actions UnitMachine::NextUnit() {
  if (stop_) return EndNow(TallyStatus(tally_));
  state_ = State::Waiting;
  return {Do(Kind::Scan)};
}

UnitMachine::Actions UnitMachine::Leave() {
  state_ = State::Leaving;
  return {Do(Kind::Probe)};
}

UnitMachine::Actions UnitMachine::EndUnit(const std::string& result, int status,
                                          std::optional<std::uint16_t> versionAfter, bool gone) {
  switch (TallyColumn(result)) {
    case Column::Written: ++tally_.written; break;
    case Column::Current: ++tally_.current; break;
    case Column::Failed: ++tally_.failed; break;
    case Column::Refused: ++tally_.refused; break;
    case Column::Interrupted: ++tally_.interrupted; break;
    case Column::None: break;
  }
  // The unit as it should answer from now on: what it answered, unless a
  // write may have changed it, which is known only when it succeeded.
  Identity id = unit_.id;
  if (writeStarted_ && !writeOk_) id.known = false;
  if (writeOk_) (settings_.dataMap ? id.dataMap : id.firmware) = fileVersion_;
  last_ = id;
  lastPort_ = unit_.port;
  lastUsb_ = unit_.usbLocation;
  Action record{Kind::Record};
  record.result = result;
  record.status = status;
  record.versionAfter = versionAfter;
  Actions out{record};
  Actions next;
  if (!settings_.loop) {
    next = EndNow(status);
  } else if (status == kExitInterrupted) {
    next = EndNow(TallyStatus(tally_));
  } else if (stop_) {
    next = EndNow(TallyStatus(tally_));
  } else if (gone) {
    // Not heard from for the whole wait: that is a gap of its own.
    mayReturn_ = writeOk_ && !seenSinceWrite_;
    next = NextUnit();
  } else {
    next = Leave();
  }
  out.insert(out.end(), next.begin(), next.end());
  return out;
}

bool UnitMachine::SameUnitBack(const Answer& answer) const {
  if (!mayReturn_ || !last_) return false;
  // A restart may rename the port, never move the controller to another USB socket.
  if (!lastUsb_.empty() && !answer.usbLocation.empty() && lastUsb_ != answer.usbLocation)
    return false;
  return Matches(*last_, answer.id);
}

bool UnitMachine::SameUnitVerifying(const Answer& answer) const {
  const bool samePlace = answer.port == unit_.port ||
                         (!unit_.usbLocation.empty() && answer.usbLocation == unit_.usbLocation);
  return samePlace && answer.id.deviceCode == unit_.id.deviceCode &&
         answer.id.bootloader == unit_.id.bootloader;
}

UnitMachine::Actions UnitMachine::Answered(const Answer& answer) {
  switch (state_) {
    case State::Waiting: {
      const bool back = settings_.loop && SameUnitBack(answer);
      // Only the first controller to answer after a gap may be the one returning.
      mayReturn_ = false;
      unit_ = answer;
      writeStarted_ = writeOk_ = seenSinceWrite_ = held_ = false;
      fileVersion_ = 0;
      pendingResult_.clear();
      if (back) {
        state_ = State::Leaving;
        return {Do(Kind::Disconnect), Do(Kind::SameUnitBack), Do(Kind::Probe)};
      }
      state_ = State::Identified;
      if (!settings_.write) {
        Actions out{Do(Kind::Disconnect)};
        Actions end = EndUnit("identified", kExitSuccess);
        out.insert(out.end(), end.begin(), end.end());
        return out;
      }
      return {Do(Kind::Write)};
    }
    case State::Verifying: {
      // Only the unit written: another controller answering meanwhile is not it.
      if (!SameUnitVerifying(answer)) return {Do(Kind::Disconnect), Do(Kind::Verify)};
      seenSinceWrite_ = true;
      // Back under another name after its restart: it is probed there now.
      unit_.port = answer.port;
      const std::uint16_t reported = VersionOf(answer.id);
      Actions out{Do(Kind::Disconnect)};
      Actions end = reported == fileVersion_
                        ? EndUnit("written", kExitSuccess, reported)
                        : EndUnit("verify failed", kExitControllerFailure, reported);
      out.insert(out.end(), end.begin(), end.end());
      return out;
    }
    case State::Probing: {
      // No gap since it was handled: the same unit, whatever it reports now.
      state_ = State::Leaving;
      Actions out{Do(Kind::Disconnect)};
      if (writeOk_) seenSinceWrite_ = true;
      if (held_) {
        held_ = false;
        const std::uint16_t reported = VersionOf(answer.id);
        Actions end = reported == fileVersion_
                          ? EndUnit("written", kExitSuccess, reported)
                          : EndUnit("verify failed", kExitControllerFailure, reported);
        out.insert(out.end(), end.begin(), end.end());
        return out;
      }
      out.push_back(Do(Kind::Probe));
      return out;
    }
    default:
      return {};
  }
}

UnitMachine::Actions UnitMachine::ProbeSent() {
  if (state_ == State::Leaving) state_ = State::Probing;
  return {};
}

UnitMachine::Actions UnitMachine::Gap() {
  if (state_ != State::Leaving && state_ != State::Probing) return {};
  Actions out;
  if (held_) {
    // Gone (or restarting) before anything contradicted its result.
    held_ = false;
    out = EndUnit("written", kExitSuccess, fileVersion_);
    if (state_ == State::Ended) return out;
    out.pop_back();  // its Probe: it has left
  }
  // Written and not heard from since: it may come back after its restart.
  mayReturn_ = writeOk_ && !seenSinceWrite_;
  Actions next = NextUnit();
  out.insert(out.end(), next.begin(), next.end());
  return out;
}

UnitMachine::Actions UnitMachine::ProbeUnanswered() {
  if (state_ != State::Probing) return {};
  return Gap();
}

UnitMachine::Actions UnitMachine::PortVanished() { return Gap(); }

UnitMachine::Actions UnitMachine::Refused(int status, const Answer* who) {
  if (state_ == State::Waiting) {
    if (who == nullptr) return {};
    unit_ = *who;
    writeStarted_ = writeOk_ = seenSinceWrite_ = held_ = false;
    mayReturn_ = false;
  } else if (state_ != State::Identified && state_ != State::Asking) {
    return {};
  }
  Actions out{Do(Kind::Disconnect)};
  Actions end = EndUnit("refused", status);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

UnitMachine::Actions UnitMachine::Question(bool sameVersion) {
  if (state_ != State::Identified) return {Do(Kind::AnswerNo)};
  state_ = State::Asking;
  Action no{Kind::AnswerNo};
  // On a production line a unit already at the file's version is left alone.
  if (sameVersion && settings_.loop && !settings_.rewrite) {
    pendingResult_ = "already current";
    pendingStatus_ = kExitSuccess;
    no.why = Why::AlreadyCurrent;
    return {no};
  }
  if (stop_) {
    pendingResult_ = "interrupted";
    pendingStatus_ = kExitInterrupted;
    no.why = Why::Ending;
    return {no};
  }
  if (settings_.yes) return {Do(Kind::AnswerYes)};
  return {Do(Kind::Ask)};
}

UnitMachine::Actions UnitMachine::Replied(Reply reply) {
  if (state_ != State::Asking) return {Do(Kind::AnswerNo)};
  Action no{Kind::AnswerNo};
  if (reply == Reply::Stopped || (reply == Reply::Yes && stop_)) {
    // The end was asked for while the question waited: nothing is started.
    pendingResult_ = "interrupted";
    pendingStatus_ = kExitInterrupted;
    no.why = Why::Ending;
    return {no};
  }
  if (reply == Reply::Yes) return {Do(Kind::AnswerYes)};
  pendingResult_ = "refused";
  pendingStatus_ = kExitRefused;
  return {no};
}

UnitMachine::Actions UnitMachine::Declined() {
  if (state_ != State::Identified && state_ != State::Asking) return {};
  // Nothing asked, nothing refused: the end came before the write began.
  const bool ending = pendingResult_.empty() && stop_;
  const std::string result =
      ending ? "interrupted" : pendingResult_.empty() ? "refused" : pendingResult_;
  const int status =
      ending ? kExitInterrupted : pendingResult_.empty() ? kExitRefused : pendingStatus_;
  pendingResult_.clear();
  Actions out{Do(Kind::Disconnect)};
  Actions end = EndUnit(result, status, std::nullopt);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

UnitMachine::Actions UnitMachine::WriteStarted(std::uint16_t fileVersion) {
  if (state_ != State::Identified && state_ != State::Asking) return {};
  state_ = State::Writing;
  writeStarted_ = true;
  fileVersion_ = fileVersion;
  return {};
}

UnitMachine::Actions UnitMachine::Result(bool ok) {
  if (state_ != State::Writing) return {};
  writeOk_ = ok;
  if (!ok) return EndUnit("failed", kExitControllerFailure);
  if (settings_.verify) {
    state_ = State::Verifying;
    Action verify{Kind::Verify};
    verify.timed = true;
    return {verify};
  }
  // Left at once on a production line: the first probe tells whether it
  // answers with what was written, and its record waits for that.
  if (settings_.loop && !stop_) {
    held_ = true;
    return Leave();
  }
  return EndUnit("written", kExitSuccess, fileVersion_);
}

UnitMachine::Actions UnitMachine::LinkLost() {
  if (state_ != State::Writing) return {};
  return EndUnit("link lost", kExitLinkLost);
}

UnitMachine::Actions UnitMachine::Timeout() {
  if (state_ == State::Waiting && !settings_.loop) return EndNow(kExitNoController);
  if (state_ != State::Verifying) return {};
  // The write itself was answered: the unit ends with its line and record.
  Actions out{Do(Kind::Disconnect)};
  Actions end = EndUnit("verify timed out", kExitNoController, std::nullopt, true);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

UnitMachine::Actions UnitMachine::RecordFailed() {
  // A line without its record would go unnoticed on a production line.
  return EndNow(kExitUsage);
}

UnitMachine::Actions UnitMachine::Interrupted(Stop stop) {
  if (state_ == State::Ended) return {};
  const bool cut = stop == Stop::CtrlC || stop == Stop::Term;
  if (!stop_ || cut) stop_ = stop;
  Actions out;
  switch (state_) {
    case State::Waiting:
      return EndNow(settings_.loop ? TallyStatus(tally_) : kExitInterrupted);
    case State::Leaving:
    case State::Probing:
      if (held_) {
        held_ = false;
        out = EndUnit("written", kExitSuccess, fileVersion_);
        out.insert(out.begin(), Do(Kind::Disconnect));
        return out;
      }
      out = EndNow(TallyStatus(tally_));
      out.insert(out.begin(), Do(Kind::Disconnect));
      return out;
    case State::Identified:
    case State::Asking:
      // Inside the loader: the question, or the loader's return without a
      // write, ends the unit untouched.
      return {};
    case State::Writing:
      if (!cut) return {};  // the write is finished and recorded, then the end
      out = {Do(Kind::CutWrite)};
      break;
    case State::Verifying:
      if (!cut) return {};
      out = {Do(Kind::Disconnect)};
      break;
    case State::Ended:
      return {};
  }
  Actions end = EndUnit("interrupted", kExitInterrupted);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

}  // namespace cli
