// What the supervisor of several ports shows: on a terminal one line per slot,
// redrawn in place, with the units' lines and the notes scrolling above it;
// otherwise one plain line per event.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/GangRules.h"

namespace cli {

struct SlotState {
  std::string port;
  // waiting (no report yet), scanning, writing, verifying; after a unit its
  // result: done, failed, refused; "ended" once the worker has gone.
  std::string state = "waiting";
  std::string model;
  std::string versions;  // "firmware 3" while writing, "firmware 3 -> 5" after
  int percent = -1;      // writing: the share sent
  double rate = 0;       // writing: frames a second
  GangTally tally;
  std::optional<int> exitStatus;  // the worker has ended with this
  std::string note;               // the last note about the slot: why it ended, say
};

class GangView {
 public:
  // `out`: where the units' lines and the tally go (standard output, or
  // standard error under --json); the view itself goes to standard error.
  GangView(const std::vector<SlotState>& slots, std::FILE* out);

  bool Terminal() const { return terminal_; }
  // A slot changed: on a terminal the view is drawn again, at most ten times
  // a second; false when it must be drawn later (Redraw).
  bool Changed();
  void Redraw();
  // A line of its own: above the view on a terminal (`out` for a unit's line
  // and the tally, standard error for a note), as it is otherwise.
  void Print(const std::string& line, bool note);
  // A plain line for an event, without a terminal only.
  void Event(const std::string& line);
  // Takes the view off the screen while a question is asked.
  void Erase();
  // Draws the view a last time and leaves it there.
  void Close();
  // A question (`question`, then `prompt` on the line of the answer) in place
  // of the view until EndAsk(); the lines printed meanwhile go above the
  // prompt, which is shown again under them.
  void Ask(const std::string& question, const std::string& prompt);
  // `answered`: the user ended the line; otherwise the prompt is left unanswered.
  void EndAsk(bool answered);

 private:
  std::string Line(const SlotState& slot) const;

  const std::vector<SlotState>& slots_;
  std::FILE* out_;
  const bool terminal_;
  std::size_t drawn_ = 0;  // lines of the view on the screen
  bool closed_ = false;
  std::string prompt_;  // asking: the line the answer is typed on
  std::chrono::steady_clock::time_point lastDrawn_;
};

}  // namespace cli
