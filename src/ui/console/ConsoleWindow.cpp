#include "ui/console/ConsoleWindow.h"

#include <asio/post.hpp>
#include <chrono>

#include "connect/Connecter.h"
#include "platform/Console.h"
#include "ui/Sounds.h"

ConsoleWindow& ConsoleWindow::Instance() {
  static ConsoleWindow* window = new ConsoleWindow();  // outlives every thread at exit
  return *window;
}

ConsoleWindow::ConsoleWindow()
    : calls_([this] {
        // Handlers posted to an io_context run by one thread run in the order
        // they were posted.
        std::lock_guard lock(mutex_);
        if (io_ != nullptr) asio::post(*io_, [this] { calls_.RunNext(); });
      }) {}

void ConsoleWindow::Attach(asio::io_context& io, std::string title) {
  timer1_.timer.emplace(io);
  timer3_.timer.emplace(io);
  title_ = std::move(title);
  {
    std::lock_guard lock(mutex_);
    io_ = &io;
    windowThread_ = std::this_thread::get_id();
  }
  calls_.SetOpen();
  SetWindow(this);
}

void ConsoleWindow::Detach() {
  SetWindow(nullptr);
  {
    std::lock_guard lock(mutex_);
    if (io_ == nullptr) return;
    io_ = nullptr;
    windowThread_ = {};
  }
  StopTicker(timer1_);
  StopTicker(timer3_);
  timer1_.timer.reset();
  timer3_.timer.reset();
  calls_.SetGone();
}

bool ConsoleWindow::IsWindowThread() const {
  std::lock_guard lock(mutex_);
  return io_ != nullptr && std::this_thread::get_id() == windowThread_;
}

void ConsoleWindow::StartTicker(Ticker& ticker, void (*tick)()) {
  if (!ticker.timer) return;
  // Started again while running: the next tick is a whole interval away.
  StopTicker(ticker);
  ticker.running = true;
  ScheduleTick(ticker, tick);
}

void ConsoleWindow::ScheduleTick(Ticker& ticker, void (*tick)()) {
  ticker.timer->expires_after(std::chrono::milliseconds(100));
  ticker.timer->async_wait(
      [this, &ticker, tick, generation = ticker.generation](std::error_code ec) {
        if (ec || !ticker.running || generation != ticker.generation) return;
        ScheduleTick(ticker, tick);
        tick();
      });
}

void ConsoleWindow::StopTicker(Ticker& ticker) {
  ++ticker.generation;
  ticker.running = false;
  if (ticker.timer) ticker.timer->cancel();
}

void ConsoleWindow::Post(std::function<void()> job) { calls_.Post(std::move(job)); }

void ConsoleWindow::Run(std::function<void()> op) {
  if (IsWindowThread()) {
    op();
    return;
  }
  calls_.Post(std::move(op));
}

std::optional<int> ConsoleWindow::Call(std::function<int()> op) {
  if (IsWindowThread()) return op();
  return calls_.Call<int>(std::move(op));
}

void ConsoleWindow::Print(std::FILE* stream, const std::string& text) {
  if (quiet_) return;
  if (beforePrint_) beforePrint_();
  platform::WriteText(stream, text + "\n");
}

void ConsoleWindow::PrintLine(const std::string& line) { Print(out_, line); }

void ConsoleWindow::PrintNote(const std::string& line) {
  if (noteSink_ && !quiet_) noteSink_(line);
  Print(notes_, line);
}

void ConsoleWindow::Notify(Event event) {
  if (observer_) observer_(event);
}

void ConsoleWindow::EnableControl(Control control, bool enabled) {
  Run([=, this] {
    enabled_[Index(control)] = enabled;
    Notify(Event::Control);
  });
}

void ConsoleWindow::ShowControl(Control control, bool visible) {
  Run([=, this] {
    visible_[Index(control)] = visible;
    Notify(Event::Control);
  });
}

void ConsoleWindow::ClearLog() {
  // What was printed stays on the terminal; the log itself starts afresh.
  Run([this] { log_.clear(); });
}

void ConsoleWindow::AddLogLine(const std::string& line) {
  Run([line, this] {
    log_.push_back(line);
    Print(out_, line);
    Notify(Event::Log);
  });
}

void ConsoleWindow::SetStatusText(const std::string& text) {
  Run([text, this] {
    status_ = text;
    if (statusShown_.insert(text).second) Print(notes_, "status: " + text);
    Notify(Event::Status);
  });
}

void ConsoleWindow::SetGauge(int percent) {
  Run([=, this] {
    gauge_ = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    Notify(Event::Gauge);
  });
}

void ConsoleWindow::SetColour(WindowColour colour) {
  Run([=, this] {
    const bool changed = colour != colour_;
    colour_ = colour;
    // The button face is the idle colour; only the link indicator is news.
    if (changed && colour == WindowColour::LightGreen) Print(notes_, "colour: light green");
    if (changed && colour == WindowColour::Red)
      Print(notes_, "colour: red (the controller's alert flag is set)");
    Notify(Event::Colour);
  });
}

void ConsoleWindow::StartTimer(WindowTimer timer) {
  Run([=, this] {
    if (timer == WindowTimer::Timer1) {
      StartTicker(timer1_, Timer1Timer);
    } else {
      StartTicker(timer3_, Timer3Timer);
    }
  });
}

void ConsoleWindow::StopTimer(WindowTimer timer) {
  Run([=, this] { StopTicker(timer == WindowTimer::Timer1 ? timer1_ : timer3_); });
}

int ConsoleWindow::ShowBox(const Box& box) {
  Print(out_, box.caption.empty() ? box.text : box.caption + ": " + box.text);
  const int answer = answerer_ ? answerer_(box) : (box.flags == kMbYesNoInfo ? kIdNo : kIdOk);
  Notify(Event::Box);
  return answer;
}

int ConsoleWindow::MessageBox(const std::string& text, const std::string& caption, int flags) {
  const bool stamp = stamp_ ? stamp_() : false;
  const auto answer = Call([=, this] { return ShowBox({text, caption, flags, false, stamp}); });
  return answer.value_or(flags == kMbYesNoInfo ? kIdNo : kIdOk);
}

void ConsoleWindow::ShowMessage(const std::string& text) {
  Call([=, this] { return ShowBox({text, title_, kMbOk, true, false}); });
}

// The port list and the file dialog belong to the window thread; the units
// only use them there.
void ConsoleWindow::PortListClear() {
  ports_.clear();
  current_ = -1;
}

void ConsoleWindow::PortListAdd(const std::string& name) {
  if (portFilter_.empty() || name == portFilter_) ports_.push_back(name);
}

int ConsoleWindow::PortListCount() { return static_cast<int>(ports_.size()); }

void ConsoleWindow::PortListSetCurrent(int index) {
  current_ = index >= 0 && index < PortListCount() ? index : -1;
}

std::string ConsoleWindow::PortListCurrentText() {
  return current_ >= 0 ? ports_[static_cast<std::size_t>(current_)] : std::string();
}

bool ConsoleWindow::OpenFileDialog(const std::string&, const std::string&,
                                   std::string& chosenPath) {
  if (!dialogAnswer_) return false;
  chosenPath = *dialogAnswer_;
  dialogAnswer_.reset();
  return true;
}
