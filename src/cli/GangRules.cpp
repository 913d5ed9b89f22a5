#include "cli/GangRules.h"

#include "cli/Driver.h"
#include "cli/Text.h"
#include "cli/UnitMachine.h"

namespace cli {

namespace {

GangAction Make(GangAction::Kind kind, std::size_t slot, std::string text = {}) {
  GangAction a{kind};
  a.slot = slot;
  a.text = std::move(text);
  return a;
}

}  // namespace

int ExitRank(int status) {
  switch (status) {
    case kExitSuccess:
      return 0;
    case kExitRefused:
      return 1;
    case kExitNoController:
      return 2;
    case kExitControllerFailure:
      return 3;
    case kExitLinkLost:
      return 4;
    case kExitUsage:
      return 5;
    case kExitInterrupted:
      return 6;
    default:
      return 7;
  }
}

std::string GangTally::Text() const {
  return Format("%d written, %d already current, %d failed, %d refused, %d interrupted", written,
                current, failed, refused, interrupted);
}

std::string GangTally::Short() const {
  std::string text = Format("%d written", written);
  if (current > 0) text += Format(", %d current", current);
  text += Format(", %d failed, %d refused", failed, refused);
  if (interrupted > 0) text += Format(", %d interrupted", interrupted);
  return text;
}

GangTally& GangTally::operator+=(const GangTally& o) {
  written += o.written;
  current += o.current;
  failed += o.failed;
  refused += o.refused;
  interrupted += o.interrupted;
  return *this;
}

GangRules::GangRules(std::size_t slots) : slots_(slots) {}

GangRules::Actions GangRules::Started(std::size_t slot) {
  slots_[slot].started = true;
  slots_[slot].running = true;
  return {};
}

GangRules::Actions GangRules::NotStarted(std::size_t slot, const std::string& why) {
  Actions out;
  slots_[slot].started = true;
  slots_[slot].exitStatus = 127;
  out.push_back(Make(GangAction::Kind::Note, slot, "the worker cannot be started: " + why));
  FinishIfDone(out);
  return out;
}

GangRules::Actions GangRules::Question(std::size_t slot, const std::string& text, bool ask,
                                       const std::string& reason) {
  Actions out;
  Pending q{slot, text, ++questions_};
  const auto withdraw = [&](const std::string& why) {
    GangAction a = Make(GangAction::Kind::Withdraw, slot, why);
    a.question = q.id;
    out.push_back(a);
  };
  const auto no = [&](const std::string& why) {
    GangAction a = Make(GangAction::Kind::Reply, slot);
    a.question = q.id;
    out.push_back(a);
    out.push_back(Make(GangAction::Kind::Note, slot, text));
    out.push_back(Make(GangAction::Kind::Note, slot, why));
  };
  if (finished_ || !slots_[slot].running) {
    withdraw("its worker has ended.");
  } else if (stopping_) {
    // Its worker is being stopped, which ends the question there too.
    withdraw("stopping: the question is left unanswered.");
  } else if (outputClosed_) {
    no("the output's reader has gone, so the answer is No and nothing is written.");
  } else if (!ask) {
    no(reason);
  } else {
    queue_.push_back(std::move(q));
    AskNext(out);
  }
  return out;
}

void GangRules::AskNext(Actions& out) {
  if (asking_ || queue_.empty() || stopping_ || outputClosed_ || finished_) return;
  asking_ = std::move(queue_.front());
  queue_.pop_front();
  GangAction a = Make(GangAction::Kind::Ask, asking_->slot, asking_->text);
  a.question = asking_->id;
  out.push_back(a);
}

GangRules::Actions GangRules::Answered(bool yes) {
  Actions out;
  if (!asking_) return out;
  GangAction a = Make(GangAction::Kind::Reply, asking_->slot);
  a.yes = yes;
  a.question = asking_->id;
  out.push_back(a);
  if (!yes)
    out.push_back(Make(GangAction::Kind::Note, asking_->slot, "answered No: nothing is written."));
  asking_.reset();
  AskNext(out);
  return out;
}

void GangRules::Unit(std::size_t slot, int /*status*/, const std::string& result) {
  GangTally& t = slots_[slot].tally;
  // Counted as the slot's own session counts it: by the result.
  switch (TallyColumn(result)) {
    case Column::Written:
    case Column::None:
      ++t.written;
      break;
    case Column::Current:
      ++t.current;
      break;
    case Column::Refused:
      ++t.refused;
      break;
    case Column::Interrupted:
      ++t.interrupted;
      break;
    case Column::Failed:
      ++t.failed;
      break;
  }
}

GangRules::Actions GangRules::Ended(std::size_t slot, int status) {
  Actions out;
  Slot& s = slots_[slot];
  if (!s.running) return out;
  s.running = false;
  // The stop's SIGTERM reaching a worker already on its way out ends it by
  // the signal's default: it stopped, as it was asked to.
  if (stopping_ && status == 128 + 15) status = kExitInterrupted;
  s.exitStatus = status;
  if (ExitRank(status) > ExitRank(kExitInterrupted)) {
    out.push_back(Make(
        GangAction::Kind::Note, slot,
        Format("the worker ended with status %d%s; its port is let go.", status,
               stopping_ && status == 137 ? " (it did not stop in time and was killed)" : "")));
  } else if (status == kExitNoController) {
    out.push_back(
        Make(GangAction::Kind::Note, slot, "no controller answered within the time-out."));
  }
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->slot != slot) {
      ++it;
      continue;
    }
    GangAction a = Make(GangAction::Kind::Withdraw, slot, "its worker has ended.");
    a.question = it->id;
    out.push_back(a);
    it = queue_.erase(it);
  }
  if (asking_ && asking_->slot == slot) {
    out.push_back(Make(GangAction::Kind::StopAsking, slot));
    GangAction a = Make(GangAction::Kind::Withdraw, slot, "its worker has ended.");
    a.question = asking_->id;
    out.push_back(a);
    asking_.reset();
  }
  AskNext(out);
  FinishIfDone(out);
  return out;
}

void GangRules::WithdrawAll(const std::string& why, Actions& out) {
  if (asking_) {
    out.push_back(Make(GangAction::Kind::StopAsking, asking_->slot));
    queue_.push_front(std::move(*asking_));
    asking_.reset();
  }
  for (const Pending& q : queue_) {
    GangAction a = Make(GangAction::Kind::Withdraw, q.slot, why);
    a.question = q.id;
    out.push_back(a);
  }
  queue_.clear();
}

GangRules::Actions GangRules::Interrupt() {
  Actions out;
  if (finished_) return out;
  if (stopping_) {
    // Again: no more waiting.
    out.push_back(Make(GangAction::Kind::KillAll, GangAction::kNoSlot));
    return out;
  }
  stopping_ = true;
  out.push_back(Make(GangAction::Kind::Note, GangAction::kNoSlot, "stopping every slot..."));
  // Their workers are stopped, which ends each question there too.
  WithdrawAll("stopping: the question is left unanswered.", out);
  out.push_back(Make(GangAction::Kind::TerminateAll, GangAction::kNoSlot));
  out.push_back(Make(GangAction::Kind::KillLater, GangAction::kNoSlot));
  return out;
}

GangRules::Actions GangRules::OutputClosed() {
  Actions out;
  if (finished_ || stopping_ || outputClosed_) return out;
  outputClosed_ = true;
  out.push_back(
      Make(GangAction::Kind::Note, GangAction::kNoSlot,
           "the output's reader has gone (a closed pipe): each slot ends after its unit."));
  if (asking_) {
    out.push_back(Make(GangAction::Kind::StopAsking, asking_->slot));
    queue_.push_front(std::move(*asking_));
    asking_.reset();
  }
  for (const Pending& q : queue_) {
    GangAction a = Make(GangAction::Kind::Reply, q.slot);
    a.question = q.id;
    out.push_back(a);
    out.push_back(
        Make(GangAction::Kind::Note, q.slot,
             "the output's reader has gone, so the answer is No and nothing is written."));
  }
  queue_.clear();
  out.push_back(Make(GangAction::Kind::HangUpAll, GangAction::kNoSlot));
  return out;
}

GangRules::Actions GangRules::Deadline() {
  Actions out;
  if (stopping_ && !finished_) out.push_back(Make(GangAction::Kind::KillAll, GangAction::kNoSlot));
  return out;
}

void GangRules::FinishIfDone(Actions& out) {
  if (finished_) return;
  for (const Slot& s : slots_) {
    if (!s.exitStatus) return;
  }
  finished_ = true;
  out.push_back(Make(GangAction::Kind::Finish, GangAction::kNoSlot));
}

std::optional<std::size_t> GangRules::Asking() const {
  if (!asking_) return std::nullopt;
  return asking_->slot;
}

int GangRules::Worst() const {
  int worst = kExitSuccess;
  for (const Slot& s : slots_) {
    const int status = s.exitStatus.value_or(kExitInterrupted);
    if (ExitRank(status) > ExitRank(worst)) worst = status;
  }
  return worst;
}

GangTally GangRules::Total() const {
  GangTally total;
  for (const Slot& s : slots_) total += s.tally;
  return total;
}

}  // namespace cli
