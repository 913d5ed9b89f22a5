// Helpers for tests of the real Qt window (labels gui and e2e). The test's
// main thread is the window thread: it owns the QApplication made by the test
// main, so a test waits with PumpUntil, which keeps the window's timers and
// queued operations running while it waits.
#pragma once

#include <QColor>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/qt/Programmer.h"
#include "ui/WindowOps.h"

class QWidget;

namespace qttest {

// Processes Qt events until pred() holds or the deadline passes; returns
// pred(). pred is checked before the first wait and after every batch of
// events, so it may read window state directly.
bool PumpUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Runs whatever is queued for the window thread now (posted jobs, operations
// from other threads that already arrived), without waiting for more.
void ProcessPending();

// Renders widget into <TAVRIN_BUILD_DIR>/screenshots/<name> (".png" added when
// missing); returns the full path, or an empty string when it was not written.
std::string SaveScreenshot(QWidget* widget, const std::string& name);

// The real main window for one test. Creating it runs FormCreate and shows
// the window (offscreen); destroying it closes the window as the user would
// (FormClose) and deletes it, which puts the null window back.
//
// While it lives, message boxes, plain messages and file dialogs are answered
// without a user, on the window thread and recorded like real ones:
//  - a box handler set with OnBox decides, else
//  - the next queued answer (QueueBoxAnswer), else
//  - the unanswered value: OK, or No for a Yes/No box.
//  - dialogs take the next QueueDialogAnswer path; none queued: cancelled.
// UseRealBoxes() shows the real QMessageBox/QFileDialog instead.
class TestWindow {
 public:
  TestWindow();
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  TForm1& Form() { return *form_; }

  // ---- Answering boxes and dialogs
  void QueueBoxAnswer(int answer);
  void QueueDialogAnswer(std::string path);  // empty: cancel
  // Called on the window thread for each box; may itself PumpUntil (the box
  // is "on screen" until it returns, and the caller of a cross-thread box
  // stays blocked).
  void OnBox(std::function<int(const ShownBox& box)> handler);
  void UseRealBoxes();

  // ---- What the window shows now
  std::vector<ShownBox> Boxes() const;
  // Only the boxes of kind "box"/"message" (no dialogs), as "caption|flags|text".
  std::vector<std::string> BoxTexts() const;
  std::vector<std::string> Log() const;
  std::string Status() const;
  int Gauge() const;
  std::string GaugeText() const;
  WindowColour Colour() const;
  QColor Background() const;  // the palette colour actually painted
  bool Enabled(Control control) const;
  bool Visible(Control control) const;  // not hidden (shown when the window is)
  bool TimerRunning(WindowTimer timer) const;
  std::vector<std::string> Ports() const;
  std::string PortCurrentText() const;

  // ---- Acting as the user
  // Clicks the button if it is enabled and shown (as a user could); returns
  // whether the click happened.
  bool Click(Control control);
  // Closes the window (FormClose runs); the window object stays until the
  // TestWindow is destroyed.
  void Close();
  bool Closed() const { return closed_; }

  // Waits (pumping) until at least n boxes of kind "box"/"message" were shown.
  bool WaitForBoxes(std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(10));

 private:
  std::unique_ptr<TForm1> form_;
  std::deque<int> boxAnswers_;
  std::deque<std::string> dialogAnswers_;
  std::function<int(const ShownBox&)> boxHandler_;
  bool closed_ = false;
};

}  // namespace qttest
