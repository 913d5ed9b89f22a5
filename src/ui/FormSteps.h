// What both windows do the same way, below the window interface: the bodies of
// FormCreate and FormClose, the gauge's range and the log's lines. Each window
// keeps only what its toolkit needs; the closing sequence itself is
// FormWindow::Close.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

// FormCreate: empties the port list, then fills it with the system's ports.
void RunFormCreate();
// FormClose: closes the port (which ends both I/O threads), then stops Timer2.
void RunFormClose();

// The gauge shows 0 to 100; a value outside is taken as the nearer end.
inline int ClampGauge(int percent) { return std::clamp(percent, 0, 100); }

// The log holds whole lines added at its end, but the user may type in it
// too: a line goes after a line break whenever anything is there before it.
class LogRecord {
 public:
  bool BreakBefore(bool controlEmpty) const { return added_ > 0 || !controlEmpty; }
  void Added() { ++added_; }
  void Cleared() { added_ = 0; }
  // The control's text split into lines at `separator`; no lines for an empty
  // log that had none added (an added empty line is one empty line).
  std::vector<std::string> Lines(const std::string& text, std::string_view separator) const;

 private:
  int added_ = 0;
};
