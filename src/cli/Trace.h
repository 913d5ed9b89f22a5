// --trace FILE: every frame in and out, the scan's steps, opens and closes,
// retransmissions and the end of each link, one line each. The link's threads
// only put a fixed-size record into a bounded queue; a writer thread of its
// own formats and writes them, so the trace costs the transfer next to nothing.
//
// --trace-failures-only: the file keeps only units that did not succeed. A
// unit's part runs from the end of the unit before it (so the wait for it is
// in) to its own end; its lines go to the file as they come, and when the unit
// ends in success the file is cut back to where its part began. What follows
// the last unit stays only when the run ends in failure.
#pragma once

#include <cstddef>
#include <string>

namespace cli {

class Trace {
 public:
  // Whether FILE may be a trace, looked at without opening it (a device, a
  // FIFO, a socket may not); false, with the reason, when not.
  static bool Check(const std::string& path, std::string* error);
  // Makes FILE (empties it, unless standard output goes there too) and
  // starts the writer; false, with the reason, when FILE cannot be made or
  // is refused, and then it is left as it was.
  static bool Start(const std::string& path, bool failuresOnly, std::string* error);
  // A unit (one controller) begins, and ends with `result` ("written",
  // "failed", ...); `success` keeps it out of a --trace-failures-only file.
  static void UnitBegins();
  static void UnitEnds(const std::string& result, bool success);
  // Writes what is queued and closes the file; `success` as for a unit, for
  // what came after the last one. False, with the reason, when the file did
  // not take the whole trace (a full disk). Nothing when no trace was started.
  static bool Stop(bool success, std::string* error);
  // How many frames and link events the queue holds before it drops them;
  // the unit markers are never dropped.
  static void LimitQueueForTests(std::size_t frames);
};

}  // namespace cli
