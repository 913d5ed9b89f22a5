// The session's answers to the boxes the units show: results, refusals and
// the version questions.
#include <chrono>
#include <string>

#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "cli/Text.h"
#include "cli/Worker.h"
#include "platform/Console.h"
#include "protocol/Messager.h"
#include "transfer/Loaders.h"

namespace cli {

int Session::AnswerBox(const ConsoleWindow::Box& box) {
  if (phase_ == Phase::Probing) {
    // An unknown model answers with this box: it is still there.
    if (box.text == kUnknownDeviceText) probeAnswered_ = true;
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
    if (phase_ == Phase::Writing && !inClick_ && ours && box.stamp) {
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
  // On a production line a unit already at the file's version is left alone; a
  // single write asks, as the window does.
  if (box.text == kFirmwareSameQuestion && options_.loop && !options_.rewrite) {
    window_.PrintLine(
        "> no: the controller already has the file's version (--rewrite writes it again)");
    outcome_ = kAlreadyCurrent;
    return kIdNo;
  }
  if (options_.yes) {
    window_.PrintLine("> yes (--yes)");
    return kIdYes;
  }
  if (worker_) {
    const auto answer =
        worker_->Ask(box.caption.empty() ? box.text : box.caption + ": " + box.text);
    if (answer == WorkerStream::Answer::Yes) return kIdYes;
    outcome_ = answer == WorkerStream::Answer::Stopped ? kExitInterrupted : kExitRefused;
    return kIdNo;
  }
  if (!platform::IsTerminal(stdin)) {
    window_.PrintNote(
        ErrorLine("no terminal on standard input to answer the question, so the answer is No "
                  "and nothing is written; give --yes to answer Yes."));
    outcome_ = kExitRefused;
    return kIdNo;
  }
  if (!platform::InForeground()) {
    // Reading would stop the program (holding the port) until brought back.
    window_.PrintNote(
        ErrorLine("running in the background, where the terminal cannot answer the question, so "
                  "the answer is No and nothing is written; give --yes to answer Yes."));
    outcome_ = kExitRefused;
    return kIdNo;
  }
  platform::WriteText(stderr, "Answer y or N: ");
  std::string answer;
  const platform::LineRead read = platform::ReadTerminalLine(answer);
  if (read == platform::LineRead::Interrupted ||
      (read == platform::LineRead::End && answer.empty() &&
       Interrupts::Arrives(std::chrono::milliseconds(500)))) {
    platform::WriteText(stderr, "\n");
    outcome_ = kExitInterrupted;
    return kIdNo;
  }
  if (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes") return kIdYes;
  window_.PrintNote(ErrorLine("answered No: nothing is written."));
  outcome_ = kExitRefused;
  return kIdNo;
}

}  // namespace cli
