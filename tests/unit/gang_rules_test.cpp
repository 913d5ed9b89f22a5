// The supervisor's rules for several ports, driven by random orders of
// questions, answers, units, worker ends, stops and a closed output, and
// checked against a small model of what must hold. A failure prints the
// shrunk sequence and its seed; RC_PARAMS="seed=N" replays it.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <cstdlib>
#include <map>
#include <ostream>
#include <set>

#include "cli/Driver.h"
#include "cli/GangRules.h"

namespace {

using cli::GangAction;
using cli::GangRules;
using Kind = GangAction::Kind;

// Enough sequences to meet the rare orders, in a few seconds.
const bool kParams = [] {
  if (std::getenv("RC_PARAMS") == nullptr) setenv("RC_PARAMS", "max_success=10000", 0);
  return true;
}();

struct Op {
  enum Type { Question, Answer, Unit, End, Interrupt, OutputClosed, Deadline } type;
  std::size_t slot;
  bool flag;   // Question: a terminal can answer; Answer: yes
  int status;  // Unit, End
};

std::ostream& operator<<(std::ostream& os, const Op& op) {
  static const char* names[] = {"Question",  "Answer",       "Unit",    "End",
                                "Interrupt", "OutputClosed", "Deadline"};
  return os << names[op.type] << "(slot " << op.slot << ", " << op.flag << ", " << op.status << ")";
}

constexpr int kStatuses[] = {0, 1, 2, 3, 4, 5, 130, 137, 134};

rc::Gen<Op> GenOp(std::size_t slots) {
  return rc::gen::build<Op>(
      rc::gen::set(&Op::type, rc::gen::weightedElement<Op::Type>({{6, Op::Question},
                                                                  {6, Op::Answer},
                                                                  {4, Op::Unit},
                                                                  {3, Op::End},
                                                                  {1, Op::Interrupt},
                                                                  {1, Op::OutputClosed},
                                                                  {1, Op::Deadline}})),
      rc::gen::set(&Op::slot, rc::gen::inRange<std::size_t>(0, slots)),
      rc::gen::set(&Op::flag, rc::gen::arbitrary<bool>()),
      rc::gen::set(&Op::status, rc::gen::elementOf(
                                    std::vector<int>(std::begin(kStatuses), std::end(kStatuses)))));
}

// The model: written apart from the rules, from what the help and the README promise.
int Rank(int status) {
  static const std::vector<int> order = {0, 5, 3, 1, 4, 2, 130};
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] == status) return static_cast<int>(i);
  }
  return 7;
}

struct Harness {
  explicit Harness(std::size_t slots)
      : rules(slots), running(slots, true), status(slots), tally(slots) {
    for (std::size_t i = 0; i < slots; ++i) rules.Started(i);
  }

  void Take(const GangRules::Actions& actions) {
    for (const GangAction& a : actions) {
      RC_ASSERT(!finished);  // nothing after the end
      switch (a.kind) {
        case Kind::Ask:
          RC_ASSERT(!asked.has_value());  // one question at a time
          RC_ASSERT(!stopping && !closed);
          RC_ASSERT(running[a.slot]);
          RC_ASSERT(questions.count(a.question) == 1u);
          RC_ASSERT(questions[a.question] == a.slot);
          asked = a.question;
          break;
        case Kind::StopAsking:
          RC_ASSERT(asked.has_value());
          asked.reset();
          break;
        case Kind::Reply:
        case Kind::Withdraw: {
          RC_ASSERT(questions.count(a.question) == 1u);
          RC_ASSERT(questions[a.question] == a.slot);
          RC_ASSERT(resolved.insert(a.question).second);  // once
          if (asked == a.question) asked.reset();
          if (a.kind == Kind::Reply) {
            // A yes only from the one who typed it, to a worker still there.
            RC_ASSERT(!a.yes || (lastYes == a.question && running[a.slot] && !stopping));
          } else {
            RC_ASSERT(!a.text.empty());  // the reason is said
          }
          break;
        }
        case Kind::KillAll:
          RC_ASSERT(stopping);
          break;
        case Kind::TerminateAll:
        case Kind::KillLater:
          RC_ASSERT(stopping);
          break;
        case Kind::HangUpAll:
          RC_ASSERT(closed && !stopping);
          break;
        case Kind::Finish:
          for (std::size_t i = 0; i < running.size(); ++i) RC_ASSERT(!running[i]);
          finished = true;
          break;
        case Kind::Note:
          break;
      }
    }
  }

  void Apply(const Op& op) {
    switch (op.type) {
      case Op::Question: {
        // A worker asks only while it runs: its lines come before its end.
        if (!running[op.slot]) return;
        const int id = ++lastQuestion;
        questions[id] = op.slot;
        Take(rules.Question(op.slot, "Write?", op.flag, "no terminal"));
        break;
      }
      case Op::Answer:
        lastYes = op.flag && asked ? *asked : 0;
        Take(rules.Answered(op.flag));
        break;
      case Op::Unit:
        if (!running[op.slot]) return;
        rules.Unit(op.slot, op.status,
                   op.status == 0     ? (op.flag ? "already current" : "written")
                   : op.status == 5   ? "refused"
                   : op.status == 130 ? "interrupted"
                                      : "failed");
        if (op.status == 0) {
          ++(op.flag ? tally[op.slot].current : tally[op.slot].written);
        } else if (op.status == 5) {
          ++tally[op.slot].refused;
        } else if (op.status == 130) {
          ++tally[op.slot].interrupted;
        } else {
          ++tally[op.slot].failed;
        }
        break;
      case Op::End:
        if (!running[op.slot]) return;
        running[op.slot] = false;
        status[op.slot] = op.status;
        Take(rules.Ended(op.slot, op.status));
        break;
      case Op::Interrupt:
        if (!finished) stopping = true;
        Take(rules.Interrupt());
        break;
      case Op::OutputClosed:
        if (!finished && !stopping) closed = true;
        Take(rules.OutputClosed());
        break;
      case Op::Deadline:
        Take(rules.Deadline());
        break;
    }
  }

  GangRules rules;
  std::vector<bool> running;
  std::vector<std::optional<int>> status;
  std::vector<cli::GangTally> tally;
  std::map<int, std::size_t> questions;  // id -> slot
  std::set<int> resolved;
  std::optional<int> asked;
  int lastQuestion = 0;
  int lastYes = 0;
  bool stopping = false;
  bool closed = false;
  bool finished = false;
};

RC_GTEST_PROP(GangRules, AnyOrderOfQuestionsAnswersStopsAndEndsKeepsEveryRule, ()) {
  const auto slots = *rc::gen::inRange<std::size_t>(1, 5);
  const auto ops = *rc::gen::container<std::vector<Op>>(GenOp(slots));
  Harness h(slots);
  for (const Op& op : ops) h.Apply(op);
  // The run ends: a stop if none came, then every worker ends.
  if (!h.finished && !h.stopping && !h.closed) h.Apply({Op::Interrupt, 0, false, 0});
  for (std::size_t i = 0; i < slots; ++i) h.Apply({Op::End, i, false, 130});

  RC_ASSERT(h.finished);
  RC_ASSERT(h.rules.Finished());
  // Every question answered, or given up with its reason, exactly once.
  for (const auto& [id, slot] : h.questions) RC_ASSERT(h.resolved.count(id) == 1u);
  RC_ASSERT(h.resolved.size() == h.questions.size());
  int worst = 0;
  cli::GangTally total;
  for (std::size_t i = 0; i < slots; ++i) {
    RC_ASSERT(h.rules.ExitStatus(i) == h.status[i]);
    if (Rank(*h.status[i]) > Rank(worst)) worst = *h.status[i];
    const cli::GangTally& t = h.rules.Tally(i);
    RC_ASSERT(t.written == h.tally[i].written);
    RC_ASSERT(t.current == h.tally[i].current);
    RC_ASSERT(t.failed == h.tally[i].failed);
    RC_ASSERT(t.refused == h.tally[i].refused);
    RC_ASSERT(t.interrupted == h.tally[i].interrupted);
    total += h.tally[i];
  }
  RC_ASSERT(h.rules.Worst() == worst);
  RC_ASSERT(h.rules.Total().Text() == total.Text());
}

TEST(GangRules, AStopWhileAQuestionIsOnTheScreenTakesItDownAndTheLateAnswerIsIgnored) {
  GangRules rules(2);
  rules.Started(0);
  rules.Started(1);
  auto a = rules.Question(1, "Write?", true, "");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].kind, Kind::Ask);
  EXPECT_TRUE(rules.Question(0, "Write too?", true, "").empty());  // waits its turn
  a = rules.Interrupt();
  std::vector<Kind> kinds;
  for (const auto& x : a) kinds.push_back(x.kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Note, Kind::StopAsking, Kind::Withdraw, Kind::Withdraw,
                                      Kind::TerminateAll, Kind::KillLater}));
  EXPECT_TRUE(rules.Answered(true).empty());
  rules.Ended(0, 130);
  a = rules.Ended(1, 130);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].kind, Kind::Finish);
  EXPECT_EQ(rules.Worst(), 130);
}

TEST(GangRules, AWorkerTheStopsSignalEndsIsInterruptedNotFailed) {
  GangRules rules(2);
  rules.Started(0);
  rules.Started(1);
  rules.Ended(0, 128 + 15);
  EXPECT_EQ(rules.ExitStatus(0), 128 + 15) << "no stop was given: the signal came from elsewhere";
  rules.Interrupt();
  rules.Ended(1, 128 + 15);
  EXPECT_EQ(rules.ExitStatus(1), kExitInterrupted);
}

TEST(GangRules, WorstStatusFollowsTheDocumentedOrder) {
  GangRules rules(3);
  for (std::size_t i = 0; i < 3; ++i) rules.Started(i);
  rules.Ended(0, kExitRefused);
  rules.Ended(1, kExitNoController);
  EXPECT_EQ(rules.Worst(), kExitInterrupted) << "a slot still running counts as interrupted";
  rules.Ended(2, kExitSuccess);
  EXPECT_EQ(rules.Worst(), kExitNoController);
}

}  // namespace
