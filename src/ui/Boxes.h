// What both windows share about modal boxes: the record a window keeps of
// each box it showed, the answerers tests put in place of the real boxes, and
// the answer of a box that nobody answered.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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

// Tests: when set, asked instead of showing the modal box or file dialog,
// still on the window thread and still recorded. The box answerer gets the
// text, caption and flags (a plain message: the application's title and 0)
// and returns the Win32 answer; the dialog answerer gets the filter as
// handed to the dialog and the default extension and returns a path, or an
// empty string for cancel. An empty function shows the real thing again.
using BoxAnswerer =
    std::function<int(const std::string& text, const std::string& caption, int flags)>;
using DialogAnswerer =
    std::function<std::string(const std::string& filter, const std::string& defaultExt)>;
void SetBoxAnswerer(BoxAnswerer answerer);
void SetDialogAnswerer(DialogAnswerer answerer);

// The boxes, plain messages and file dialogs one window showed, in order.
// Shown may be read from any thread.
class BoxRecord {
 public:
  // On the window thread: records the box, asks the test answerer or else
  // show() (the real box, returning its answer), records the answer and
  // returns it.
  int Show(const std::string& kind, const std::string& text, const std::string& caption, int flags,
           const std::function<int()>& show);
  // The same for a file dialog; the answer is the chosen path, empty when
  // cancelled.
  std::string ShowDialog(const std::string& filter, const std::string& defaultExt,
                         const std::function<std::string()>& show);
  std::vector<ShownBox> Shown() const;

 private:
  std::size_t Record(ShownBox box);
  void Answered(std::size_t index, int answer);

  mutable std::mutex mutex_;
  std::vector<ShownBox> boxes_;
};
