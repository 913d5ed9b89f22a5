// The unit machine driven through thousands of random production-line
// sequences: controllers of known and unknown models put on and taken off,
// restarting after their update (under another port name or not), failing,
// keeping their old version, vanishing mid-write; a neighbour answering on
// another port; the file replaced; Ctrl+C, SIGTERM, SIGHUP and a closed
// output at any point; questions answered yes, no or not at all. A small
// world plays what the session and the controllers would do, and after each
// sequence its own account (which physical unit answered, what it received)
// is held against the records and the exit status.
//
// A failure prints the shrunk sequence; RC_PARAMS="seed=N" (or the
// reproduce=... string RapidCheck prints) replays it.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Driver.h"
#include "cli/UnitMachine.h"

namespace {

using cli::UnitMachine;
using Kind = UnitMachine::Action::Kind;

// Ten thousand sequences unless RC_PARAMS says otherwise.
const bool kDefaultParams = [] {
  const char* given = std::getenv("RC_PARAMS");
  std::string params = given ? given : "";
  if (params.find("max_success") == std::string::npos) {
    params += (params.empty() ? "" : " ") + std::string("max_success=10000");
    setenv("RC_PARAMS", params.c_str(), 1);
  }
  return true;
}();

// One thing that happens on the bench.
struct Step {
  int kind = 0;  // see Describe
  int a = 0;
  int b = 0;
  int c = 0;
};

struct Run {
  bool loop = true;
  bool yes = false;
  bool rewrite = false;
  bool verify = false;
  bool identify = false;
  std::vector<Step> steps;
  // 0 yes, 1 no, 2 not at all (Ctrl+C), 3 yes as the output closes, 4 yes as SIGHUP comes
  std::vector<int> replies;
};

const char* KindName(int kind) {
  if (kind < 25) return "tick";
  if (kind < 45) return "arrive";
  if (kind < 60) return "remove";
  if (kind < 65) return "neighbour arrives";
  if (kind < 68) return "neighbour leaves";
  if (kind < 72) return "signal";
  if (kind < 75) return "file replaced";
  return "tick";
}

const std::vector<std::uint16_t> kCodes{1, 1, 2, 999};
constexpr std::uint16_t kUnknown = 999;
const char* kSignals[] = {"Ctrl+C", "SIGTERM", "SIGHUP", "closed output"};

void showValue(const Step& s, std::ostream& os) {
  os << KindName(s.kind);
  if (s.kind >= 25 && s.kind < 45) {
    os << "(code " << kCodes[s.a % 4] << ", firmware " << 3 + s.b % 4 << ", socket " << s.c % 2
       << ((s.a >> 2 & 1) ? ", restarts" : "") << ((s.a >> 3 & 1) ? " under a new name" : "")
       << ((s.a >> 4 & 1) ? ", keeps its old version" : "")
       << ((s.a >> 5 & 1) ? ", fails" : "") << ")";
  } else if (s.kind >= 45 && s.kind < 60) {
    os << (s.a % 2 ? "(port vanishes)" : "(off a fixed adapter)");
  } else if (s.kind >= 68 && s.kind < 72) {
    os << "(" << kSignals[s.a % 4]
       << (s.b % 2 ? ", noticed at once" : s.c % 2 ? ", noticed at the question" : ", noticed later")
       << ")";
  } else if (s.kind >= 72 && s.kind < 75) {
    if (s.c == 3) {
      os << "(unreadable)";
    } else {
      os << "(version " << 4 + s.b % 3 << ")";
    }
  }
}

void showValue(const Run& r, std::ostream& os) {
  os << (r.identify ? "identify" : "write") << (r.loop ? " --loop" : "") << (r.yes ? " --yes" : "")
     << (r.rewrite ? " --rewrite" : "") << (r.verify ? " --verify" : "") << "; replies:";
  const char* replies[] = {"y", "n", "-", "y+closed output", "y+SIGHUP"};
  for (int reply : r.replies) os << " " << replies[reply];
  os << "\n";
  for (const Step& s : r.steps) {
    os << "  ";
    showValue(s, os);
    os << "\n";
  }
}


}  // namespace

namespace rc {
template <>
struct Arbitrary<Step> {
  static Gen<Step> arbitrary() {
    return gen::map(gen::tuple(gen::inRange(0, 100), gen::inRange(0, 64), gen::inRange(0, 8),
                               gen::inRange(0, 4)),
                    [](const std::tuple<int, int, int, int>& t) {
                      return Step{std::get<0>(t), std::get<1>(t), std::get<2>(t), std::get<3>(t)};
                    });
  }
};
template <>
struct Arbitrary<Run> {
  static Gen<Run> arbitrary() {
    return gen::map(gen::tuple(gen::inRange(0, 32), gen::arbitrary<std::vector<Step>>(),
                               gen::container<std::vector<int>>(gen::inRange(0, 5))),
                    [](const std::tuple<int, std::vector<Step>, std::vector<int>>& t) {
                      Run run;
                      const int flags = std::get<0>(t);
                      run.loop = (flags & 1) == 0 || (flags & 16) != 0;
                      run.yes = (flags & 2) != 0;
                      run.rewrite = (flags & 4) != 0;
                      run.verify = (flags & 8) != 0;
                      run.identify = flags == 31;
                      if (run.identify) run.loop = false;
                      run.steps = std::get<1>(t);
                      run.replies = std::get<2>(t);
                      return run;
                    });
  }
};
}  // namespace rc

namespace {

// A controller on the bench, as it really is.
struct Physical {
  int serial = 0;
  std::uint16_t code = 0;
  int bootloader = 4;
  std::uint16_t firmware = 0;     // what it runs
  std::uint16_t reported = 0;     // what it answers
  int socket = 0;                 // fixture 0 or 1: COM20/COM21, USB 1-1/1-2
  std::string port;
  bool restarts = false;
  bool renames = false;
  bool stale = false;
  bool fails = false;
  bool fixedAdapter = true;  // taken off, its port stays listed
  int silentTicks = 0;       // restarting
  std::optional<int> image;  // what it received, when a write began
  bool writtenOk = false;    // and the controller said so
  bool heard = false;        // answered the machine since its write
  bool taken = false;        // answered the machine as a unit of its own
  bool ambiguous = false;    // a twin the documented limit cannot tell apart
};

struct Record {
  int serial = 0;
  std::string result;
  int status = 0;
  std::optional<int> image;  // the bytes the record names
  std::optional<std::uint16_t> versionAfter;
};

// The world and the session's part, around the machine under test.
class Bench {
 public:
  explicit Bench(const Run& run) : run_(run), machine_(Settings(run)) {}

  void Play() {
    Do(machine_.Start());
    for (const Step& step : run_.steps) {
      if (ended_) break;
      Apply(step);
    }
    // The operator ends the run (Ctrl+C) once the bench is quiet.
    for (int i = 0; i < 40 && !ended_; ++i) Tick();
    if (!ended_) Signal(0, true);
  }

  void Check() const {
    RC_ASSERT(ended_);
    std::map<int, int> records;
    for (const Record& r : records_) ++records[r.serial];
    for (const Physical& p : seen_) {
      if (p.ambiguous) continue;
      // Every unit that answered is counted exactly once.
      RC_ASSERT(records[p.serial] == (p.taken ? 1 : 0));
      // Never written twice: a second write would be a second unit.
      const auto writes = writes_.find(p.serial);
      RC_ASSERT(writes == writes_.end() || writes->second <= 1);
    }
    RC_ASSERT(!writeAfterEnd_);
    RC_ASSERT(!cutWithoutCtrlC_);
    RC_ASSERT(!wrongVerify_);
    for (const Record& r : records_) {
      // Result and status agree with the record's documentation.
      RC_ASSERT(StatusOf(r.result, r.status));
      // The hash is of the bytes the unit got; a unit sent nothing names the file.
      const Physical* p = Find(r.serial);
      RC_ASSERT(p != nullptr);
      if (p->image) {
        RC_ASSERT(r.image == p->image);
      }
      // Written, then heard from still at its old version with no gap:
      // the record says so, as a verify would.
      if (p->stale && p->writtenOk && p->heard && p->firmware != p->reported) {
        RC_ASSERT(r.result == std::string("verify failed"));
        RC_ASSERT(r.versionAfter == std::optional<std::uint16_t>(p->reported));
      }
    }
    // The exit status follows from the tally, counted here on our own.
    int written = 0, current = 0, failed = 0, refused = 0, interrupted = 0;
    for (const Record& r : records_) {
      if (r.result == "written") ++written;
      else if (r.result == "already current") ++current;
      else if (r.result == "refused") ++refused;
      else if (r.result == "interrupted") ++interrupted;
      else if (r.result != "identified") ++failed;
    }
    const cli::Tally& tally = machine_.tally();
    RC_ASSERT(tally.written == written);
    RC_ASSERT(tally.current == current);
    RC_ASSERT(tally.failed == failed);
    RC_ASSERT(tally.refused == refused);
    RC_ASSERT(tally.interrupted == interrupted);
    if (recordFailedEnd_) return;
    if (run_.loop) {
      const int expected = interrupted > 0 ? 130 : failed > 0 ? 1 : refused > 0 ? 5 : 0;
      RC_ASSERT(exit_ == expected);
    } else if (!records_.empty()) {
      RC_ASSERT(records_.size() == 1u);
      RC_ASSERT(exit_ == records_.front().status);
    } else {
      RC_ASSERT(exit_ == (timedOut_ ? 3 : 130));
    }
  }

 private:
  static UnitMachine::Settings Settings(const Run& run) {
    UnitMachine::Settings s;
    s.write = !run.identify;
    s.loop = run.loop;
    s.yes = run.yes;
    s.rewrite = run.rewrite;
    s.verify = run.verify;
    return s;
  }

  static bool StatusOf(const std::string& result, int status) {
    static const std::map<std::string, std::vector<int>> table{
        {"identified", {0}},     {"written", {0}},          {"already current", {0}},
        {"failed", {1}},         {"verify failed", {1}},    {"verify timed out", {3}},
        {"link lost", {4}},      {"refused", {5, 2}},       {"interrupted", {130}}};
    const auto it = table.find(result);
    if (it == table.end()) return false;
    for (int s : it->second)
      if (s == status) return true;
    return false;
  }

  const Physical* Find(int serial) const {
    for (const Physical& p : seen_)
      if (p.serial == serial) return &p;
    return nullptr;
  }
  Physical* Find(int serial) {
    for (Physical& p : seen_)
      if (p.serial == serial) return &p;
    return nullptr;
  }

  static std::string PortOf(int socket) { return socket == 0 ? "COM20" : "COM21"; }
  static std::string UsbOf(int socket) { return socket == 0 ? "1-1" : "1-2"; }

  cli::Answer AnswerOf(const Physical& p) const {
    cli::Answer a;
    a.port = p.port;
    a.usbLocation = UsbOf(p.socket);
    a.id.deviceCode = p.code;
    if (p.code != kUnknown) {
      a.id.known = true;
      a.id.bootloader = p.bootloader;
      a.id.firmware = p.reported;
      a.id.dataMap = 2;
    }
    return a;
  }

  // The controller answering on the fixture now, if any.
  Physical* Answering() {
    if (!present_) return nullptr;
    Physical* p = Find(*present_);
    return p->silentTicks > 0 ? nullptr : p;
  }

  void Apply(const Step& s) {
    if (s.kind < 25 || s.kind >= 75) {
      Tick();
    } else if (s.kind < 45) {
      Arrive(s);
    } else if (s.kind < 60) {
      Remove(s.a % 2 == 1);
    } else if (s.kind < 65) {
      neighbour_ = true;
    } else if (s.kind < 68) {
      neighbour_ = false;
    } else if (s.kind < 72) {
      noticeAtQuestion_ = s.c % 2 == 1;
      Signal(s.a % 4, s.b % 2 == 1);
    } else {
      // Replaced by another image, or by one that cannot be read (File Error).
      ++fileImage_;
      fileVersion_ = static_cast<std::uint16_t>(4 + s.b % 3);
      fileUnreadable_ = s.c == 3;
    }
  }

  void Arrive(const Step& s) {
    if (present_) Remove(false);  // a swap: one off, then the next on
    Physical p;
    p.serial = ++serials_;
    p.code = kCodes[s.a % 4];
    p.firmware = p.reported = static_cast<std::uint16_t>(3 + s.b % 4);
    p.socket = s.c % 2;
    p.port = PortOf(p.socket);
    p.restarts = (s.a >> 2 & 1) != 0;
    p.renames = (s.a >> 3 & 1) != 0;
    p.stale = (s.a >> 4 & 1) != 0;
    p.fails = (s.a >> 5 & 1) != 0;
    p.fixedAdapter = s.b >= 4;
    // One that runs its new image only after a power cycle and restarts on
    // its own cannot be told from a twin at its old version.
    if (p.stale) p.restarts = false;
    // Put on while the last one is verified: a twin of it answers for it.
    if (machine_.state() == UnitMachine::State::Verifying && current_ != 0 &&
        Find(current_)->code == p.code) {
      p.ambiguous = true;
    }
    // The documented limit: a twin already at the version just written,
    // first to answer after the written unit left unheard, in its socket.
    if (mayReturn_ && p.code == mayReturn_->code && p.reported == mayReturn_->reported &&
        p.socket == mayReturn_->socket) {
      p.ambiguous = true;
    }
    seen_.push_back(p);
    present_ = p.serial;
  }

  // Taken off. On a USB adapter its port leaves the list; on a fixed one
  // the next probe goes unanswered. Either way the machine notices a gap
  // before anything else answers there: probes follow closely.
  void Remove(bool portVanishes) {
    if (!present_) return;
    Physical* p = Find(*present_);
    // A unit written and unheard since, removed while the machine still
    // expects it back, may be confused with a twin (documented).
    const bool unheard = p->writtenOk && !p->heard;
    present_.reset();
    if (unheard) {
      mayReturn_ = *p;
      mayReturn_->reported = p->firmware;
    }
    const UnitMachine::State state = machine_.state();
    if (state == UnitMachine::State::Writing) {
      Do(machine_.LinkLost());
    } else if (state == UnitMachine::State::Leaving || state == UnitMachine::State::Probing) {
      if (portVanishes || !p->fixedAdapter) {
        Do(machine_.PortVanished());
      } else {
        if (state == UnitMachine::State::Leaving) Do(machine_.ProbeSent());
        Do(machine_.ProbeUnanswered());
      }
    }
  }

  void Signal(int which, bool now) {
    const UnitMachine::Stop stop = static_cast<UnitMachine::Stop>(which);
    endAsked_ = true;
    if (stop == UnitMachine::Stop::CtrlC || stop == UnitMachine::Stop::Term) ctrlC_ = true;
    if (stop == UnitMachine::Stop::OutputClosed) {
      outputClosed_ = true;
      if (!now) return;  // noticed by the watch, or before the next write
    }
    Do(machine_.Interrupted(stop));
  }

  void Tick() {
    for (Physical& p : seen_) {
      if (p.silentTicks > 0 && --p.silentTicks == 0 && p.renames) p.port = "COM87";
    }
    // The watch notices a closed output, unless it closed just as a unit answered.
    if (outputClosed_ && !machine_.Ending() && !noticeAtQuestion_) {
      Do(machine_.Interrupted(UnitMachine::Stop::OutputClosed));
      if (ended_) return;
    }
    switch (machine_.state()) {
      case UnitMachine::State::Waiting: {
        Physical* p = Answering();
        if (p == nullptr) {
          if (!run_.loop) {
            timedOut_ = true;
            Do(machine_.Timeout());
          }
          return;
        }
        Take(*p);
        if (p->code == kUnknown) {
          // An unknown model shows its box before any report.
          const cli::Answer who = AnswerOf(*p);
          Do(machine_.Refused(kExitRefused, &who));
        } else {
          Do(machine_.Answered(AnswerOf(*p)));
        }
        return;
      }
      case UnitMachine::State::Writing: {
        Physical* p = Find(current_);
        if (p->fails) {
          Do(machine_.Result(false));
          return;
        }
        p->firmware = writtenVersion_;
        p->writtenOk = true;
        if (!p->stale) p->reported = writtenVersion_;
        if (p->restarts) p->silentTicks = 3;
        Do(machine_.Result(true));
        return;
      }
      case UnitMachine::State::Verifying: {
        if (neighbour_) {
          // Another controller answers on the other fixture: never the unit.
          Physical other;
          other.code = 1;
          other.reported = 11;
          other.socket = 1 - Find(current_)->socket;
          other.port = PortOf(other.socket);
          verifyingNeighbour_ = true;
          Do(machine_.Answered(AnswerOf(other)));
          verifyingNeighbour_ = false;
          if (ended_ || machine_.state() != UnitMachine::State::Verifying) return;
        }
        Physical* p = Answering();
        if (p != nullptr && p->serial == current_) {
          expectedAfter_ = p->reported;
          Heard(*p);
          Do(machine_.Answered(AnswerOf(*p)));
        } else if (++verifyTicks_ > 4) {
          Do(machine_.Timeout());
        }
        return;
      }
      case UnitMachine::State::Leaving: {
        Physical* there = present_ ? Find(*present_) : nullptr;
        const std::string port = machine_.unit().port;
        const bool listed = there != nullptr && there->port == port;
        if (!listed && (there == nullptr || !there->fixedAdapter)) {
          Do(machine_.PortVanished());
          return;
        }
        Do(machine_.ProbeSent());
        Physical* p = Answering();
        if (p != nullptr && p->port == port) {
          if (p->serial == current_) Heard(*p);
          Do(machine_.Answered(AnswerOf(*p)));
        } else {
          Do(machine_.ProbeUnanswered());
        }
        return;
      }
      default:
        return;
    }
  }

  // A stale one never restarts, so heard at all is heard with no gap.
  void Heard(Physical& p) { p.heard = true; }

  // The controller answering becomes the unit in hand, unless the machine
  // takes it for the one just written, back after its restart.
  void Take(Physical& p) {
    current_ = p.serial;
    p.taken = true;
    mayReturn_.reset();
  }

  // The loader: the file checked, maybe a question, then frame 0.
  void Write() {
    Physical* p = Find(current_);
    // Checked before anything is sent: a reader gone is noticed here, or
    // (as the file is read) when the question comes.
    if (fileUnreadable_) {
      Do(machine_.Refused(kExitUsage));
      return;
    }
    const bool question = p->reported >= fileVersion_;
    if (outputClosed_ && !machine_.Ending() && !(question && noticeAtQuestion_)) {
      Do(machine_.Interrupted(UnitMachine::Stop::OutputClosed));
      Do(machine_.Declined());
      return;
    }
    if (outputClosed_ && !machine_.Ending()) machine_.Interrupted(UnitMachine::Stop::OutputClosed);
    UnitMachine::Actions answer;
    if (p->reported > fileVersion_) answer = machine_.Question(false);
    if (p->reported == fileVersion_) answer = machine_.Question(true);
    bool yes = answer.empty();
    if (!answer.empty()) {
      if (answer.front().kind == Kind::Ask) {
        int reply = next_ < run_.replies.size() ? run_.replies[next_++] : 1;
        if (reply == 2) ctrlC_ = endAsked_ = true;
        if (reply >= 3) {
          // The end comes while the question waits for its answer.
          endAsked_ = true;
          if (reply == 3) outputClosed_ = true;
          machine_.Interrupted(reply == 3 ? UnitMachine::Stop::OutputClosed
                                          : UnitMachine::Stop::Hangup);
          reply = 0;
        }
        answer = machine_.Replied(reply == 0   ? UnitMachine::Reply::Yes
                                  : reply == 1 ? UnitMachine::Reply::No
                                               : UnitMachine::Reply::Stopped);
      }
      yes = answer.front().kind == Kind::AnswerYes;
    }
    if (!yes) {
      Do(machine_.Declined());
      return;
    }
    if (endAsked_) writeAfterEnd_ = true;
    ++writes_[p->serial];
    p->image = fileImage_;
    writtenVersion_ = fileVersion_;
    Do(machine_.WriteStarted(fileVersion_));
  }

  void Do(const UnitMachine::Actions& actions) {
    for (const auto& action : actions) {
      switch (action.kind) {
        case Kind::Write:
          Write();
          break;
        case Kind::Record: {
          Physical* p = Find(current_);
          Record r;
          r.serial = current_;
          r.result = action.result;
          r.status = action.status;
          r.image = p->image ? p->image : std::optional<int>(fileImage_);
          r.versionAfter = action.versionAfter;
          // A version read back is the unit's own, never a neighbour's.
          if (verifyingNeighbour_) wrongVerify_ = true;
          if (run_.verify && action.versionAfter && action.result != "already current" &&
              expectedAfter_ && *action.versionAfter != *expectedAfter_) {
            wrongVerify_ = true;
          }
          expectedAfter_.reset();
          records_.push_back(r);
          break;
        }
        case Kind::CutWrite:
          if (!ctrlC_) cutWithoutCtrlC_ = true;
          break;
        case Kind::Verify:
          verifyTicks_ = 0;
          break;
        case Kind::End:
          ended_ = true;
          exit_ = action.status;
          return;
        default:
          break;
      }
    }
  }

  const Run& run_;
  UnitMachine machine_;
  std::vector<Physical> seen_;
  std::vector<Record> records_;
  std::map<int, int> writes_;
  std::optional<int> present_;
  std::optional<Physical> mayReturn_;
  std::optional<std::uint16_t> expectedAfter_;
  int serials_ = 0;
  int current_ = 0;
  int fileImage_ = 1;
  std::uint16_t fileVersion_ = 5;
  std::uint16_t writtenVersion_ = 0;
  std::size_t next_ = 0;
  int verifyTicks_ = 0;
  bool neighbour_ = false;
  bool verifyingNeighbour_ = false;
  bool endAsked_ = false;
  bool ctrlC_ = false;
  bool outputClosed_ = false;
  bool noticeAtQuestion_ = false;
  bool fileUnreadable_ = false;
  bool writeAfterEnd_ = false;
  bool cutWithoutCtrlC_ = false;
  bool wrongVerify_ = false;
  bool timedOut_ = false;
  bool recordFailedEnd_ = false;
  bool ended_ = false;
  int exit_ = -1;
};

}  // namespace

RC_GTEST_PROP(UnitMachineModel, EveryUnitIsCountedOnceAndNothingIsStartedAfterTheEnd,
              (const Run& run)) {
  Bench bench(run);
  bench.Play();
  bench.Check();
}
