#include "cli/GangView.h"

#include "cli/Text.h"
#include "platform/Console.h"

namespace cli {

GangView::GangView(const std::vector<SlotState>& slots, std::FILE* out)
    // Redrawn in place only where the cursor can be moved back up.
    : slots_(slots),
      out_(out),
      terminal_(platform::IsTerminal(stderr) && platform::EnableLineClearing(stderr)) {}

std::string GangView::Line(const SlotState& slot) const {
  std::string state = slot.state;
  if (slot.state == "writing" && slot.percent >= 0) {
    state += Format(" %3d%%", slot.percent);
    state += slot.rate > 0 ? Format(" %3.0f frames/s", slot.rate) : std::string(" - frames/s");
  }
  std::string unit = slot.model;
  if (!slot.versions.empty()) unit += "  " + slot.versions;
  if (slot.exitStatus) {
    state = Format("ended, exit %d", *slot.exitStatus);
    // Why, where the unit was: the slot's last note.
    if (!slot.note.empty()) unit = slot.note;
  }
  std::string line = Format("%-7s %-25s %-32s %s", slot.port.c_str(), state.c_str(), unit.c_str(),
                            slot.tally.Short().c_str());
  // A line longer than the terminal is wide would wrap, and the view could
  // no longer be drawn over itself: cut at the last column but one (UTF-8
  // characters counted, not bytes).
  const int width = platform::TerminalWidth(stderr);
  if (width > 1) {
    int columns = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
      if (++columns == width) {
        line.resize(i);
        break;
      }
    }
  }
  return line;
}

bool GangView::Changed() {
  if (!terminal_) return true;
  if (drawn_ > 0 && std::chrono::steady_clock::now() - lastDrawn_ < std::chrono::milliseconds(100))
    return false;
  Redraw();
  return true;
}

void GangView::Redraw() {
  if (!terminal_ || closed_ || !prompt_.empty()) return;
  std::string text;
  // Back to the view's first line, then each line anew.
  if (drawn_ > 0) text += Format("\033[%zuA", drawn_);
  for (const SlotState& slot : slots_) {
    text += '\r';
    text += Line(slot);
    text += "\033[K\n";
  }
  drawn_ = slots_.size();
  lastDrawn_ = std::chrono::steady_clock::now();
  platform::WriteText(stderr, text);
}

void GangView::Erase() {
  if (!terminal_ || drawn_ == 0) return;
  platform::WriteText(stderr, Format("\033[%zuA\r\033[J", drawn_));
  drawn_ = 0;
}

void GangView::Close() {
  Redraw();
  closed_ = true;
  drawn_ = 0;
}

void GangView::Print(const std::string& line, bool note) {
  if (!prompt_.empty()) {
    // Over the prompt, which comes back under the line.
    platform::WriteText(stderr, terminal_ ? "\r\033[K" : "\n");
    platform::WriteText(note ? stderr : out_, line + "\n");
    platform::WriteText(stderr, prompt_);
    return;
  }
  Erase();
  platform::WriteText(note ? stderr : out_, line + "\n");
  Redraw();
}

void GangView::Event(const std::string& line) {
  if (!terminal_) Print(line, true);
}

void GangView::Ask(const std::string& question, const std::string& prompt) {
  Erase();
  platform::WriteText(stderr, question + "\n" + prompt);
  prompt_ = prompt;
}

void GangView::EndAsk(bool answered) {
  if (prompt_.empty()) return;
  if (!answered) platform::WriteText(stderr, "\n");
  prompt_.clear();
  Redraw();
}

}  // namespace cli
