// The progress of a write on standard error: one line redrawn in place on a
// terminal, a plain line at every tenth otherwise (a log file, a pipe).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cli {

class ProgressLine {
 public:
  ProgressLine();

  bool Terminal() const { return terminal_; }
  // A new write begins.
  void Reset();
  // `sent` of `frames` went out in `seconds` since frame 0. `final` draws
  // even when nothing changed.
  void Show(std::uint32_t frames, std::uint32_t sent, double seconds, bool final);
  // Ends a line being redrawn, so that the next text starts on its own.
  void End();

 private:
  const bool terminal_;  // asked once: the line is drawn per frame
  bool clears_ = false;  // the terminal takes the clear-to-end escape
  std::chrono::steady_clock::time_point lastDrawn_;
  std::uint32_t lastSent_ = 0;
  int lastTenth_ = -1;
  bool drawn_ = false;
  std::size_t drawnLength_ = 0;
};

}  // namespace cli
