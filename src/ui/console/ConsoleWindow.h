// The window operations on a terminal: whatever the window would show (log
// lines, status texts, boxes with their caption) is printed as a line, and
// boxes are answered by whoever drives the program. The window thread is the
// thread that runs the io_context given to Attach, which also runs the timers;
// requests from other threads are posted there and run in the order they were
// asked for, as in the desktop window.
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ui/WindowCalls.h"
#include "ui/WindowOps.h"

class ConsoleWindow final : public IWindow {
 public:
  // Lives for the whole process, like the desktop window's operations: a
  // reader thread still finishing a frame at exit calls into something valid.
  static ConsoleWindow& Instance();

  // On the thread that will run `io`: that thread becomes the window thread;
  // makes the two window timers and installs this window with SetWindow.
  // `title` is the application's title, as the plain message boxes show it.
  void Attach(asio::io_context& io, std::string title);
  // Puts the null window back and lets every caller waiting for a box go.
  void Detach();

  struct Box {
    std::string text;
    std::string caption;
    int flags = kMbOk;
    bool plain = false;  // the plain message (text and OK under the title)
    // What the stamp (SetBoxStamp) said on the thread that raised the box,
    // when it raised it: a box raised by the reader thread waits for the
    // window thread, and meanwhile the state it came from may have moved on.
    bool stamp = false;
  };
  enum class Event { Control, Log, Status, Gauge, Colour, Box };

  // Everything below is for the window thread only.

  // Where the window's texts go: the log and the boxes to `out`, the status
  // texts and the link colour to `notes`.
  void SetOutput(std::FILE* out, std::FILE* notes) {
    out_ = out;
    notes_ = notes;
  }
  // Takes the caller's notes (PrintNote) instead of `notes`; unset: printed.
  void SetNoteSink(std::function<void(const std::string&)> sink) { noteSink_ = std::move(sink); }
  // Called before the window prints, so a progress line can be ended first.
  void SetBeforePrint(std::function<void()> hook) { beforePrint_ = std::move(hook); }
  // Prints nothing while set (state is still kept).
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // A status text already shown since the last call is not shown again, so a
  // scan that goes round and round prints each of its texts once.
  void ForgetStatusTexts() { statusShown_.clear(); }
  // Only this port name enters the port list; empty: every port.
  void SetPortFilter(std::string name) { portFilter_ = std::move(name); }
  // The path the next file dialog returns; nothing: the dialog is cancelled.
  void SetDialogAnswer(std::optional<std::string> path) { dialogAnswer_ = std::move(path); }
  // Decides every box's answer, after the box has been printed. Unset: OK,
  // and No to a Yes/No question.
  void SetBoxAnswerer(std::function<int(const Box&)> answerer) { answerer_ = std::move(answerer); }
  // Called on whichever thread raises a box, as it raises it. Set it only
  // while no port is open (no reader thread runs).
  void SetBoxStamp(std::function<bool()> stamp) { stamp_ = std::move(stamp); }
  // Told after each change the window shows.
  void SetObserver(std::function<void(Event)> observer) { observer_ = std::move(observer); }

  // What the window shows now.
  const std::vector<std::string>& LogLines() const { return log_; }
  const std::string& Status() const { return status_; }
  int Gauge() const { return gauge_; }
  WindowColour Colour() const { return colour_; }
  bool Enabled(Control control) const { return enabled_[Index(control)]; }
  bool Visible(Control control) const { return visible_[Index(control)]; }
  const std::vector<std::string>& Ports() const { return ports_; }
  // Prints a line of the caller's own beside the log and the boxes, or beside
  // the status texts.
  void PrintLine(const std::string& line);
  void PrintNote(const std::string& line);

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

 private:
  ConsoleWindow();

  static std::size_t Index(Control control) { return static_cast<std::size_t>(control); }
  // Runs op on the window thread: at once there, else queued behind the
  // operations asked for before it. Dropped when no window is attached.
  void Run(std::function<void()> op);
  // Runs op on the window thread and waits for its result; nothing when the
  // window is gone or goes away meanwhile.
  std::optional<int> Call(std::function<int()> op);
  int ShowBox(const Box& box);
  void Print(std::FILE* stream, const std::string& text);
  void Notify(Event event);

  // A window timer: every 100 ms while started, as the window's timers tick.
  struct Ticker {
    std::optional<asio::steady_timer> timer;
    unsigned generation = 0;  // a tick already queued when stopped is dropped
    bool running = false;
  };
  void StartTicker(Ticker& ticker, void (*tick)());
  void ScheduleTick(Ticker& ticker, void (*tick)());
  static void StopTicker(Ticker& ticker);

  // Guards io_ and windowThread_ against the other threads.
  mutable std::mutex mutex_;
  asio::io_context* io_ = nullptr;
  std::thread::id windowThread_;
  WindowCalls calls_;

  Ticker timer1_;
  Ticker timer3_;
  std::string title_;
  std::FILE* out_ = stdout;
  std::FILE* notes_ = stderr;
  std::function<void()> beforePrint_;
  std::function<void(const std::string&)> noteSink_;
  bool quiet_ = false;
  std::set<std::string> statusShown_;
  std::string portFilter_;
  std::optional<std::string> dialogAnswer_;
  std::function<int(const Box&)> answerer_;
  std::function<bool()> stamp_;
  std::function<void(Event)> observer_;

  std::vector<std::string> log_;
  std::string status_;
  int gauge_ = 0;
  WindowColour colour_ = WindowColour::ButtonFace;
  std::array<bool, 4> enabled_{true, false, true, false};  // Button1 to Button4
  std::array<bool, 4> visible_{true, true, true, true};
  std::vector<std::string> ports_;
  int current_ = -1;
};
