// The supervisor's rules for several ports, with no I/O: which slots run, ask
// or have ended; the questions, asked one at a time; a stop (Ctrl+C, SIGTERM)
// and a closed output; each slot's tally and the worst exit status. Gang.cpp
// feeds it what happened and carries out the actions it gives back.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The rank of an exit status in the order of kGangExitHelp (Gang.h).
int ExitRank(int status);

struct GangTally {
  int written = 0;
  int current = 0;  // already at the file's version, left alone
  int failed = 0;
  int refused = 0;
  int interrupted = 0;

  // As the tally of one port's --loop says it, and shorter for the view.
  std::string Text() const;
  std::string Short() const;
  GangTally& operator+=(const GangTally& other);
};

// What the rules ask the supervisor to do.
struct GangAction {
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);  // a note of the whole run
  enum class Kind {
    Ask,           // show `text`, the question of `slot`, and read an answer
    StopAsking,    // the question on the screen is gone: take down its prompt
    Reply,         // write the answer (`yes`) to `slot`'s worker
    Withdraw,      // `slot`'s question is not answered by the user: `text` says why
    Note,          // `text` about `slot`
    TerminateAll,  // ask every running worker to stop (Ctrl+C)
    HangUpAll,     // every running worker ends after its unit (our output has gone)
    KillAll,       // end every running worker at once
    KillLater,     // KillAll unless all have ended by the stop's deadline
    Finish,        // every slot has ended: print the tally, exit with Worst()
  };
  Kind kind;
  std::size_t slot = kNoSlot;
  std::string text;
  bool yes = false;
  int question = 0;  // Ask, Reply, Withdraw: which question (from 1, in order of arrival)
};

class GangRules {
 public:
  using Actions = std::vector<GangAction>;

  explicit GangRules(std::size_t slots);

  // The worker of `slot` runs, or could not be started (`why`).
  Actions Started(std::size_t slot);
  Actions NotStarted(std::size_t slot, const std::string& why);
  // A worker's question. `ask`: a terminal in the foreground can answer it;
  // otherwise `reason` says why the answer is No.
  Actions Question(std::size_t slot, const std::string& text, bool ask, const std::string& reason);
  // The answer typed to the question asked; `yes` only for an explicit yes.
  // An answer with no question on the screen is ignored.
  Actions Answered(bool yes);
  // A unit's record from `slot`: its exit status and result, tallied.
  void Unit(std::size_t slot, int status, const std::string& result);
  // The worker of `slot` has ended with `status`.
  Actions Ended(std::size_t slot, int status);
  // Ctrl+C, SIGTERM or SIGHUP; a second one ends every worker at once.
  Actions Interrupt();
  // Our standard output's reader has gone.
  Actions OutputClosed();
  // The stop's deadline has passed.
  Actions Deadline();

  bool Running(std::size_t slot) const { return slots_[slot].running; }
  bool Stopping() const { return stopping_; }
  bool Finished() const { return finished_; }
  const GangTally& Tally(std::size_t slot) const { return slots_[slot].tally; }
  std::optional<int> ExitStatus(std::size_t slot) const { return slots_[slot].exitStatus; }
  // The slot whose question is on the screen.
  std::optional<std::size_t> Asking() const;
  // The worst exit status of the slots; one that never ended counts as interrupted.
  int Worst() const;
  GangTally Total() const;

 private:
  struct Slot {
    bool running = false;
    bool started = false;
    std::optional<int> exitStatus;
    GangTally tally;
  };
  struct Pending {
    std::size_t slot;
    std::string text;
    int id;
  };

  void AskNext(Actions& out);
  void WithdrawAll(const std::string& why, Actions& out);
  void FinishIfDone(Actions& out);

  std::vector<Slot> slots_;
  std::deque<Pending> queue_;
  std::optional<Pending> asking_;
  int questions_ = 0;
  bool stopping_ = false;
  bool outputClosed_ = false;
  bool finished_ = false;
};

}  // namespace cli
