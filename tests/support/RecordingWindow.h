// A window for tests: records every operation in order as a line of text,
// answers message boxes and file dialogs from a script, and runs posted jobs
// at once on the posting thread. Safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ui/WindowOps.h"

class RecordingWindow : public IWindow {
 public:
  RecordingWindow();            // installs itself with SetWindow
  ~RecordingWindow() override;  // puts the null window back

  // Event texts, e.g. "enable Button1 0", "show Button4 1", "clear-log",
  // "log <line>", "status <text>", "gauge 40", "colour LightGreen",
  // "start Timer1", "stop Timer1", "box <caption>|<flags>|<text>",
  // "message <text>", "ports-clear", "ports-add COM3", "ports-current 0",
  // "dialog <filter>|<ext>".
  std::vector<std::string> Events() const;
  void ClearEvents();
  // Lines of the log as the window would now show them.
  std::vector<std::string> Log() const;
  std::string Status() const;
  int Gauge() const;
  WindowColour Colour() const;
  bool Enabled(Control control) const;
  bool Visible(Control control) const;
  bool TimerRunning(WindowTimer timer) const;
  std::vector<std::string> Ports() const;
  int PortCurrent() const;

  // Answers for the next boxes and dialogs; when the script is empty a box
  // answers OK (No for Yes/No) and a dialog is cancelled.
  void QueueBoxAnswer(int answer);
  void QueueDialogAnswer(std::string path);  // empty string: cancel
  // When set, a message box blocks its caller until ReleaseBoxes().
  void HoldBoxes(bool hold);
  void ReleaseBoxes();

  // Waits until pred() holds (checked after every recorded event) or the
  // deadline passes; returns pred().
  bool WaitFor(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;
  bool WaitForEvent(const std::string& event,
                    std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;

  void SetIsWindowThread(bool value);

  void EnableControl(Control control, bool enabled) override;
  void ShowControl(Control control, bool visible) override;
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void SetStatusText(const std::string& text) override;
  void SetGauge(int percent) override;
  void SetColour(WindowColour colour) override;
  void StartTimer(WindowTimer timer) override;
  void StopTimer(WindowTimer timer) override;
  int MessageBox(const std::string& text, const std::string& caption, int flags) override;
  void ShowMessage(const std::string& text) override;
  void PortListClear() override;
  void PortListAdd(const std::string& name) override;
  int PortListCount() override;
  void PortListSetCurrent(int index) override;
  std::string PortListCurrentText() override;
  bool OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                      std::string& chosenPath) override;
  void Post(std::function<void()> job) override;
  bool IsWindowThread() const override;

  static const char* Name(Control control);
  static const char* Name(WindowColour colour);
  static const char* Name(WindowTimer timer);

 private:
  void Record(std::string event);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<std::string> log_;
  std::string status_;
  int gauge_ = 0;
  WindowColour colour_ = WindowColour::ButtonFace;
  bool enabled_[4] = {true, false, true, false};
  bool visible_[4] = {true, true, true, true};
  bool timers_[2] = {false, true};
  std::vector<std::string> ports_;
  int portCurrent_ = -1;
  std::deque<int> boxAnswers_;
  std::deque<std::string> dialogAnswers_;
  bool holdBoxes_ = false;
  std::uint64_t releaseCount_ = 0;
  bool isWindowThread_ = true;
};
