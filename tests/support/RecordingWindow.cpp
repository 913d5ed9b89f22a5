#include "support/RecordingWindow.h"

#include <algorithm>

RecordingWindow::RecordingWindow() { SetWindow(this); }
RecordingWindow::~RecordingWindow() { SetWindow(nullptr); }

const char* RecordingWindow::Name(Control control) {
  switch (control) {
    case Control::Button1: return "Button1";
    case Control::Button2: return "Button2";
    case Control::Button3: return "Button3";
    case Control::Button4: return "Button4";
  }
  return "?";
}

const char* RecordingWindow::Name(WindowColour colour) {
  switch (colour) {
    case WindowColour::ButtonFace: return "ButtonFace";
    case WindowColour::LightGreen: return "LightGreen";
    case WindowColour::Red: return "Red";
  }
  return "?";
}

const char* RecordingWindow::Name(WindowTimer timer) {
  return timer == WindowTimer::Timer1 ? "Timer1" : "Timer3";
}

void RecordingWindow::Record(std::string event) {
  events_.push_back(std::move(event));
  changed_.notify_all();
}

std::vector<std::string> RecordingWindow::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}
void RecordingWindow::ClearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}
std::vector<std::string> RecordingWindow::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}
std::string RecordingWindow::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}
int RecordingWindow::Gauge() const {
  std::lock_guard lock(mutex_);
  return gauge_;
}
WindowColour RecordingWindow::Colour() const {
  std::lock_guard lock(mutex_);
  return colour_;
}
bool RecordingWindow::Enabled(Control control) const {
  std::lock_guard lock(mutex_);
  return enabled_[static_cast<int>(control)];
}
bool RecordingWindow::Visible(Control control) const {
  std::lock_guard lock(mutex_);
  return visible_[static_cast<int>(control)];
}
bool RecordingWindow::TimerRunning(WindowTimer timer) const {
  std::lock_guard lock(mutex_);
  return timers_[static_cast<int>(timer)];
}
std::vector<std::string> RecordingWindow::Ports() const {
  std::lock_guard lock(mutex_);
  return ports_;
}
int RecordingWindow::PortCurrent() const {
  std::lock_guard lock(mutex_);
  return portCurrent_;
}

void RecordingWindow::QueueBoxAnswer(int answer) {
  std::lock_guard lock(mutex_);
  boxAnswers_.push_back(answer);
}
void RecordingWindow::QueueDialogAnswer(std::string path) {
  std::lock_guard lock(mutex_);
  dialogAnswers_.push_back(std::move(path));
}
void RecordingWindow::HoldBoxes(bool hold) {
  std::lock_guard lock(mutex_);
  holdBoxes_ = hold;
  if (!hold) ++releaseCount_;
  changed_.notify_all();
}
void RecordingWindow::ReleaseBoxes() {
  std::lock_guard lock(mutex_);
  ++releaseCount_;
  changed_.notify_all();
}

bool RecordingWindow::WaitFor(const std::function<bool()>& pred,
                              std::chrono::milliseconds deadline) const {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (pred()) return true;
    std::unique_lock lock(mutex_);
    // Re-checked at least every 10 ms: pred may look at state outside the window.
    changed_.wait_for(lock, std::chrono::milliseconds(10));
    lock.unlock();
    if (std::chrono::steady_clock::now() >= until) return pred();
  }
}

bool RecordingWindow::WaitForEvent(const std::string& event,
                                   std::chrono::milliseconds deadline) const {
  return WaitFor(
      [&] {
        std::lock_guard lock(mutex_);
        return std::find(events_.begin(), events_.end(), event) != events_.end();
      },
      deadline);
}

void RecordingWindow::SetIsWindowThread(bool value) {
  std::lock_guard lock(mutex_);
  isWindowThread_ = value;
}

void RecordingWindow::EnableControl(Control control, bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_[static_cast<int>(control)] = enabled;
  Record(std::string("enable ") + Name(control) + (enabled ? " 1" : " 0"));
}
void RecordingWindow::ShowControl(Control control, bool visible) {
  std::lock_guard lock(mutex_);
  visible_[static_cast<int>(control)] = visible;
  Record(std::string("show ") + Name(control) + (visible ? " 1" : " 0"));
}
void RecordingWindow::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
  Record("clear-log");
}
void RecordingWindow::AddLogLine(const std::string& line) {
  std::lock_guard lock(mutex_);
  log_.push_back(line);
  Record("log " + line);
}
void RecordingWindow::SetStatusText(const std::string& text) {
  std::lock_guard lock(mutex_);
  status_ = text;
  Record("status " + text);
}
void RecordingWindow::SetGauge(int percent) {
  std::lock_guard lock(mutex_);
  gauge_ = std::clamp(percent, 0, 100);
  Record("gauge " + std::to_string(percent));
}
void RecordingWindow::SetColour(WindowColour colour) {
  std::lock_guard lock(mutex_);
  colour_ = colour;
  Record(std::string("colour ") + Name(colour));
}
void RecordingWindow::StartTimer(WindowTimer timer) {
  std::lock_guard lock(mutex_);
  timers_[static_cast<int>(timer)] = true;
  Record(std::string("start ") + Name(timer));
}
void RecordingWindow::StopTimer(WindowTimer timer) {
  std::lock_guard lock(mutex_);
  timers_[static_cast<int>(timer)] = false;
  Record(std::string("stop ") + Name(timer));
}

int RecordingWindow::MessageBox(const std::string& text, const std::string& caption, int flags) {
  std::unique_lock lock(mutex_);
  Record("box " + caption + "|" + std::to_string(flags) + "|" + text);
  if (holdBoxes_) {
    const std::uint64_t seen = releaseCount_;
    changed_.wait(lock, [&] { return releaseCount_ != seen; });
  }
  if (!boxAnswers_.empty()) {
    const int answer = boxAnswers_.front();
    boxAnswers_.pop_front();
    return answer;
  }
  return flags == kMbYesNoInfo ? kIdNo : kIdOk;
}
void RecordingWindow::ShowMessage(const std::string& text) {
  std::lock_guard lock(mutex_);
  Record("message " + text);
}
void RecordingWindow::PortListClear() {
  std::lock_guard lock(mutex_);
  ports_.clear();
  portCurrent_ = -1;
  Record("ports-clear");
}
void RecordingWindow::PortListAdd(const std::string& name) {
  std::lock_guard lock(mutex_);
  ports_.push_back(name);
  Record("ports-add " + name);
}
int RecordingWindow::PortListCount() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(ports_.size());
}
void RecordingWindow::PortListSetCurrent(int index) {
  std::lock_guard lock(mutex_);
  portCurrent_ = (index >= 0 && index < static_cast<int>(ports_.size())) ? index : -1;
  Record("ports-current " + std::to_string(portCurrent_));
}
std::string RecordingWindow::PortListCurrentText() {
  std::lock_guard lock(mutex_);
  return portCurrent_ >= 0 ? ports_[static_cast<std::size_t>(portCurrent_)] : std::string();
}
bool RecordingWindow::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                                     std::string& chosenPath) {
  std::lock_guard lock(mutex_);
  Record("dialog " + filter + "|" + defaultExt);
  if (dialogAnswers_.empty()) return false;
  chosenPath = dialogAnswers_.front();
  dialogAnswers_.pop_front();
  return !chosenPath.empty();
}
void RecordingWindow::Post(std::function<void()> job) {
  if (job) job();
}
bool RecordingWindow::IsWindowThread() const {
  std::lock_guard lock(mutex_);
  return isWindowThread_;
}
