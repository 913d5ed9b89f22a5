// What both windows share about modal boxes: the record a window keeps of
// each box it showed, and the answer of a box that nobody answered.
#pragma once

#include <string>

#include "ui/WindowOps.h"

// A modal box (or file dialog) as the window showed it.
struct ShownBox {
  std::string kind;     // "box", "message" or "dialog"
  std::string text;     // dialogs: the filter as handed to the file dialog
  std::string caption;  // dialogs: the default extension
  int flags = 0;
  int answer = 0;       // dialogs: 1 chosen, 0 cancelled
  bool closed = false;  // false while the box is still on screen
};

// The answer of a box closed without a choice (the window went away): No for
// Yes/No, OK otherwise, so a question left open never goes ahead.
inline int UnansweredBox(int flags) { return (flags & 0x0F) == 4 ? kIdNo : kIdOk; }
