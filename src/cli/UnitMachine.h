// Every rule of a unit and of the production line around it, in one place
// and without I/O: the session tells it what happened (a controller answered,
// a box, a result, a probe went unanswered, a signal) and does what it is told
// (scan, write, ask, record, probe, end).
//
// A unit is one controller from its first answer until it has left. The
// controllers report no serial number, so under --loop a unit leaves only
// through a gap: its port leaves the list, or a probe goes unanswered. A
// controller that answers on the unit's port with no gap since is the same
// unit, whatever it reports. After a gap, the unit written and not heard from
// since (it restarts after its update) is the same unit when the next
// controller to answer answers as it should now, in the same USB socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The identity a controller answers with (the controllers report no serial number).
struct Identity {
  std::uint16_t deviceCode = 0;
  bool known = false;  // a listed model: the versions below were reported
  int bootloader = -1;
  std::uint16_t firmware = 0;
  std::uint16_t dataMap = 0;
  bool operator==(const Identity&) const = default;
};

// A controller that answered: who, and where.
struct Answer {
  Identity id;
  std::string port;
  std::string usbLocation;  // Linux, on USB; empty otherwise
};

// The tally's columns, one per result.
enum class Column { Written, Current, Failed, Refused, Interrupted, None };
// Where a unit's result goes in the tally: by the result alone.
Column TallyColumn(const std::string& result);

struct Tally {
  int written = 0;
  int current = 0;
  int failed = 0;
  int refused = 0;
  int interrupted = 0;
  int Count() const { return written + current + failed + refused + interrupted; }
};

// --loop's exit status from its tally.
int TallyStatus(const Tally& tally);

class UnitMachine {
 public:
  enum class State { Waiting, Identified, Asking, Writing, Verifying, Leaving, Probing, Ended };
  // What ends the program: Ctrl+C and SIGTERM cut a write; SIGHUP and a
  // closed output let the unit in hand finish, since nobody asked to stop it.
  enum class Stop { CtrlC, Term, Hangup, OutputClosed };
  enum class Reply { Yes, No, Stopped };
  // Why a question was answered No without asking.
  enum class Why { None, AlreadyCurrent, Ending };

  struct Settings {
    bool write = true;  // false: identify
    bool loop = false;
    bool yes = false;
    bool rewrite = false;
    bool verify = false;
    bool dataMap = false;
  };

  struct Action {
    enum Kind {
      Scan,        // look for a controller (timed: against --timeout)
      Disconnect,  // let go of the controller that answered
      Write,       // click the loader: the file is checked, maybe a question, then sent
      AnswerYes,   // the question's answer, given without asking
      AnswerNo,
      Ask,          // ask the operator
      CutWrite,     // stop sending at once (Ctrl+C, SIGTERM)
      Verify,       // connect again to the unit's port, against --timeout
      SameUnitBack, // say so: not written or counted again
      Probe,        // after a pause, probe the unit's port
      Record,       // the unit ends: its line, its object, its record
      End,          // the program ends with `status`
    };
    Kind kind;
    bool timed = false;
    Why why = Why::None;
    std::string result;  // Record
    int status = 0;      // Record, End
    std::optional<std::uint16_t> versionAfter;  // Record: read back from the unit
    bool operator==(const Action&) const = default;
  };
  using Actions = std::vector<Action>;

  explicit UnitMachine(Settings settings) : settings_(settings) {}

  Actions Start();
  // A controller answered with its report: while waiting, verifying or probing.
  Actions Answered(const Answer& answer);
  // A box refused the controller or the file (before any frame): `status`
  // is 2 for a file that could not be read, else 5. While waiting, `who` is
  // the controller refused (an unknown model, before any report).
  Actions Refused(int status, const Answer* who = nullptr);
  // A version question; `sameVersion`: the controller already has the file's.
  Actions Question(bool sameVersion);
  Actions Replied(Reply reply);
  // The loader returned without a refusal box and without sending: a
  // question was answered No, or the end came before the write began.
  Actions Declined();
  // The loader committed the image: frame 0 is out. `fileVersion`: the
  // version the file's header gives for its kind.
  Actions WriteStarted(std::uint16_t fileVersion);
  Actions Result(bool ok);
  Actions LinkLost();
  Actions ProbeSent();
  Actions ProbeUnanswered();
  Actions PortVanished();
  Actions Timeout();
  Actions Interrupted(Stop stop);
  // The unit's record could not be written: the program ends.
  Actions RecordFailed();

  State state() const { return state_; }
  bool Ending() const { return stop_.has_value(); }
  const Tally& tally() const { return tally_; }
  // The unit in hand: where it answered.
  const Answer& unit() const { return unit_; }
  // The version the unit was written to (valid once the write started).
  std::uint16_t fileVersion() const { return fileVersion_; }

 private:
  Actions EndUnit(const std::string& result, int status,
                  std::optional<std::uint16_t> versionAfter = std::nullopt, bool gone = false);
  Actions Leave();
  Actions Gap();
  Actions NextUnit();
  Actions EndNow(int status);
  bool SameUnitBack(const Answer& answer) const;
  bool SameUnitVerifying(const Answer& answer) const;
  std::uint16_t VersionOf(const Identity& id) const;

  Settings settings_;
  State state_ = State::Waiting;
  std::optional<Stop> stop_;
  Tally tally_;
  Answer unit_;
  bool writeStarted_ = false;
  bool writeOk_ = false;
  bool seenSinceWrite_ = false;
  std::uint16_t fileVersion_ = 0;
  int pendingStatus_ = 0;  // a refusal or an answered question, before its record
  std::string pendingResult_;
  // Written, not verified and left at once: its record waits for the first probe.
  bool held_ = false;
  // The unit handled last, as it should answer now; and whether it may come
  // back after a gap (written and not heard from since).
  std::optional<Identity> last_;
  std::string lastPort_;
  std::string lastUsb_;
  bool mayReturn_ = false;
};

}  // namespace cli
