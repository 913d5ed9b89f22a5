// A slot's worker: the program started again by the supervisor of several
// ports (Gang.cpp) for one port. It runs the ordinary session on that port and
// reports on standard output, one JSON object a line, what the supervisor
// shows and records:
//   {"event":"state","state":"scanning"|"writing"|"verifying", ...the unit so far}
//   {"event":"progress","frames":N,"sent":n,"rate":frames a second}  (a few a second)
//   {"event":"unit","unit":{...the unit's JSON object...}}           (once per unit)
//   {"event":"question","text":"..."}  then reads "y" or "n" on standard input
//   {"event":"note","text":"..."}      an error line of the session, without the program's name
// Its other texts go nowhere: the supervisor's view and log stand for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/Unit.h"

namespace cli {

class WorkerStream {
 public:
  explicit WorkerStream(int slot);
  ~WorkerStream();
  WorkerStream(const WorkerStream&) = delete;
  WorkerStream& operator=(const WorkerStream&) = delete;

  int Slot() const { return slot_; }
  // Where the window's own texts go: nowhere.
  std::FILE* Discard() const { return discard_; }

  void State(const char* state, const Unit& unit, bool dataMap);
  // At most four a second, and always the last frame.
  void Progress(std::uint32_t frames, std::uint32_t sent, double seconds);
  void UnitEnded(const std::string& unitJson);
  // Why the slot stops, or what went wrong with its unit: the session's own error lines.
  void Note(const std::string& text);
  // Asks the supervisor, who answers, or stops this worker instead.
  enum class Answer { Yes, No, Stopped };
  Answer Ask(const std::string& question);

 private:
  void Send(const std::string& line);

  int slot_;
  std::FILE* discard_ = nullptr;
  std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace cli
