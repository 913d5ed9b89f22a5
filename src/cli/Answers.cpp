// The session's answers to the boxes the units show: results, refusals and
// the version questions. What each question gets is the unit machine's rule.
#include <chrono>
#include <string>

#include "cli/Ask.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "cli/Text.h"
#include "cli/Worker.h"
#include "platform/Console.h"
#include "protocol/Messager.h"
#include "transfer/Loaders.h"

namespace cli {

int Session::AnswerBox(const ConsoleWindow::Box& box) {
  const State state = machine_.state();
  if (state == State::Probing || state == State::Leaving) {
    // An unknown model answers with this box: it is still there.
    if (box.text == kUnknownDeviceText) probeBox_ = DeviceInfo.DeviceCode.load();
    return box.flags == kMbYesNoInfo ? kIdNo : kIdOk;
  }
  if (unit_.port.empty()) unit_.port = window_.PortListCurrentText();
  unit_.texts.push_back(box.caption.empty() ? box.text : box.caption + ": " + box.text);
  if (box.flags == kMbYesNoInfo) return AnswerQuestion(box);
  const bool dataMap = IsDataMap();
  const bool success = box.text == kFirmwareResultOkText || box.text == kDataMapResultOkText;
  const bool failure = box.text == kFirmwareResultFailText || box.text == kDataMapResultFailText;
  const bool ours = box.text == (dataMap ? kDataMapResultOkText : kFirmwareResultOkText) ||
                    box.text == (dataMap ? kDataMapResultFailText : kFirmwareResultFailText);
  if (success || failure) {
    // Only the answer to our own closing frame counts: a result frame that
    // arrived before it was sent (while the question waited, say), or for
    // the other kind of image, says nothing about the file given.
    if (state == State::Writing && !inClick_ && ours && box.stamp) {
      outcome_ = success ? kExitSuccess : kExitControllerFailure;
    }
  } else if (box.flags == kMbOkCancel) {
    outcome_ = kExitUsage;  // the file could not be read
  } else {
    outcome_ = kExitRefused;  // every other box refuses the file or the controller
  }
  return kIdOk;
}

int Session::AnswerQuestion(const ConsoleWindow::Box& box) {
  // The end may have been asked for by a reader that has gone meanwhile.
  if (OutputGone() && !machine_.Ending()) machine_.Interrupted(UnitMachine::Stop::OutputClosed);
  return Reply(machine_.Question(box.text == kFirmwareSameQuestion), box);
}

int Session::Reply(const UnitMachine::Actions& actions, const ConsoleWindow::Box& box) {
  using Kind = UnitMachine::Action::Kind;
  const UnitMachine::Action& action = actions.front();
  if (action.kind == Kind::AnswerYes) {
    if (options_.yes) window_.PrintLine("> yes (--yes)");
    return kIdYes;
  }
  if (action.kind == Kind::AnswerNo) {
    if (action.why == UnitMachine::Why::AlreadyCurrent) {
      window_.PrintLine(
          "> no: the controller already has the file's version (--rewrite writes it again)");
    } else if (action.why == UnitMachine::Why::Ending) {
      window_.PrintNote(ErrorLine("the program is ending: the answer is No and nothing is written."));
    }
    return kIdNo;
  }
  // Ask the operator: the supervisor for a slot's worker, else the terminal.
  const std::string question = box.caption.empty() ? box.text : box.caption + ": " + box.text;
  UnitMachine::Reply reply = UnitMachine::Reply::No;
  if (worker_) {
    const auto answer = worker_->Ask(question);
    reply = answer == WorkerStream::Answer::Yes       ? UnitMachine::Reply::Yes
            : answer == WorkerStream::Answer::Stopped ? UnitMachine::Reply::Stopped
                                                      : UnitMachine::Reply::No;
  } else {
    const YesNo answer = AskYesNo("");
    if (const std::string note = YesNoNote(answer); !note.empty())
      window_.PrintNote(ErrorLine(note));
    reply = answer == YesNo::Yes       ? UnitMachine::Reply::Yes
            : answer == YesNo::Stopped ? UnitMachine::Reply::Stopped
                                       : UnitMachine::Reply::No;
  }
  if (reply == UnitMachine::Reply::Yes && OutputGone() && !machine_.Ending())
    machine_.Interrupted(UnitMachine::Stop::OutputClosed);
  const UnitMachine::Actions then = machine_.Replied(reply);
  if (then.front().kind == Kind::AnswerNo && then.front().why == UnitMachine::Why::Ending &&
      reply == UnitMachine::Reply::Yes) {
    window_.PrintNote(ErrorLine("the program is ending: the answer is No and nothing is written."));
  }
  return then.front().kind == Kind::AnswerYes ? kIdYes : kIdNo;
}

}  // namespace cli

namespace cli {

YesNo CanAsk() {
  if (!platform::IsTerminal(stdin)) return YesNo::NoTerminal;
  // Reading would stop the program (holding the port) until brought back.
  if (!platform::InForeground()) return YesNo::Background;
  return YesNo::Yes;
}

YesNo AskYesNo(const std::string& prompt) {
  if (const YesNo can = CanAsk(); can != YesNo::Yes) return can;
  platform::WriteText(stderr, prompt + "Answer y or N: ");
  std::string answer;
  const platform::LineRead read = platform::ReadTerminalLine(answer);
  if (read == platform::LineRead::Interrupted ||
      (read == platform::LineRead::End && answer.empty() &&
       Interrupts::Arrives(std::chrono::milliseconds(500)))) {
    platform::WriteText(stderr, "\n");
    return YesNo::Stopped;
  }
  return IsYes(answer) ? YesNo::Yes : YesNo::No;
}

bool IsYes(const std::string& answer) {
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

std::string YesNoNote(YesNo answer) {
  switch (answer) {
    case YesNo::No:
      return "answered No: nothing is written.";
    case YesNo::NoTerminal:
      return "no terminal on standard input to answer the question, so the answer is No and "
             "nothing is written; give --yes to answer Yes.";
    case YesNo::Background:
      return "running in the background, where the terminal cannot answer the question, so "
             "the answer is No and nothing is written; give --yes to answer Yes.";
    default:
      return {};
  }
}

}  // namespace cli
