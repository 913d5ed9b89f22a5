#include "cli/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/Text.h"
#include "platform/Console.h"

namespace cli {

ProgressLine::ProgressLine() : terminal_(platform::IsTerminal(stderr)) {
  if (terminal_) clears_ = platform::EnableLineClearing(stderr);
}

void ProgressLine::Reset() {
  lastDrawn_ = {};
  lastSent_ = 0;
  lastTenth_ = -1;
}

void ProgressLine::Show(std::uint32_t frames, std::uint32_t sent, double seconds, bool final) {
  if (frames == 0) return;
  if (sent == lastSent_ && !final) return;  // the gauge's reset after the result, for one
  lastSent_ = sent;
  const int percent = static_cast<int>(100.0 * sent / frames);
  // Frame 0 went out as the clock started; too short a time gives no rate.
  const bool measured = sent > 1 && seconds > 0 && (seconds >= 0.2 || sent == frames);
  const double rate = measured ? (sent - 1) / seconds : 0;
  const std::string rateText = measured ? Format("%.0f frames/s", rate) : std::string("- frames/s");
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (!final && sent != frames && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    const int left = measured ? static_cast<int>(std::lround((frames - sent) / rate)) : -1;
    const std::string leftText =
        left < 0 ? std::string("-:-- left") : Format("%d:%02d left", left / 60, left % 60);
    std::string line = Format("%3d%%  %u/%u frames  %s  %s", percent, sent, frames,
                              rateText.c_str(), leftText.c_str());
    const std::size_t length = line.size();
    if (clears_) {
      line += "\033[K";
    } else if (length < drawnLength_) {
      line.append(drawnLength_ - length, ' ');  // what is left of a longer line goes
    }
    drawnLength_ = length;
    platform::WriteText(stderr, "\r" + line);
    drawn_ = true;
  } else {
    // The cursor is read when the loop gets to the gauge, so a fast write can
    // pass a tenth between two reads: each tenth still gets its line, with
    // the first frame count that reached it.
    while (lastTenth_ < percent / 10) {
      ++lastTenth_;
      const auto reached = static_cast<std::uint32_t>(
          std::ceil(static_cast<double>(lastTenth_) * frames / 10.0));
      const std::uint32_t at = std::min(std::max(reached, 1u), sent);
      platform::WriteText(stderr, Format("%d%%  %u/%u frames  %s\n", lastTenth_ * 10, at, frames,
                                         rateText.c_str()));
    }
  }
}

void ProgressLine::End() {
  if (!drawn_) return;
  drawn_ = false;
  drawnLength_ = 0;
  platform::WriteText(stderr, "\n");
}

}  // namespace cli
