#include "ui/qt/QtWindow.h"

#include <QCoreApplication>
#include <QThread>

#include "ui/qt/Programmer.h"

QtWindow& QtWindow::Instance() {
  static QtWindow* window = new QtWindow();  // outlives every thread at exit
  return *window;
}

QtWindow::QtWindow()
    : calls_([this] {
        // Queued calls on one receiver run in the order they were posted, and
        // are dropped by Qt if the receiver is destroyed first.
        std::lock_guard lock(mutex_);
        if (form_ != nullptr) {
          QMetaObject::invokeMethod(
              form_, [this] { calls_.RunNext(); }, Qt::QueuedConnection);
        }
      }) {}

void QtWindow::Attach(TForm1* form) {
  {
    std::lock_guard lock(mutex_);
    form_ = form;
  }
  calls_.SetOpen();
  SetWindow(this);
}

void QtWindow::Detach(TForm1* form) {
  {
    std::lock_guard lock(mutex_);
    if (form_ != form) return;
    form_ = nullptr;
  }
  calls_.SetGone();
  SetWindow(nullptr);
}

void QtWindow::SetClosing(TForm1* form, bool closing) {
  if (form_ != form) return;
  if (closing) {
    calls_.SetClosing();
  } else {
    calls_.SetOpen();
  }
}

bool QtWindow::IsWindowThread() const {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

void QtWindow::Run(std::function<void(TForm1&)> op) {
  if (IsWindowThread()) {
    // form_ changes only on this thread, so it can be read without the lock.
    if (form_ != nullptr) op(*form_);
    return;
  }
  calls_.Post([this, op = std::move(op)] {
    if (form_ != nullptr) op(*form_);
  });
}

template <class T>
std::optional<T> QtWindow::Call(std::function<T(TForm1&)> op) {
  if (IsWindowThread()) {
    // Boxes of a closing window answer at once; the form itself sees to that.
    if (form_ == nullptr) return std::nullopt;
    return op(*form_);
  }
  // Jobs run only while a form is attached: detaching drops them.
  return calls_.Call<T>([this, op = std::move(op)]() -> T { return op(*form_); });
}

void QtWindow::EnableControl(Control control, bool enabled) {
  Run([=](TForm1& f) { f.EnableControl(control, enabled); });
}
void QtWindow::ShowControl(Control control, bool visible) {
  Run([=](TForm1& f) { f.ShowControl(control, visible); });
}
void QtWindow::ClearLog() {
  Run([](TForm1& f) { f.ClearLog(); });
}
void QtWindow::AddLogLine(const std::string& line) {
  Run([line](TForm1& f) { f.AddLogLine(line); });
}
void QtWindow::SetStatusText(const std::string& text) {
  Run([text](TForm1& f) { f.SetStatusText(text); });
}
void QtWindow::SetGauge(int percent) {
  Run([=](TForm1& f) { f.SetGauge(percent); });
}
void QtWindow::SetColour(WindowColour colour) {
  Run([=](TForm1& f) { f.SetColour(colour); });
}
void QtWindow::StartTimer(WindowTimer timer) {
  Run([=](TForm1& f) { f.StartTimer(timer); });
}
void QtWindow::StopTimer(WindowTimer timer) {
  Run([=](TForm1& f) { f.StopTimer(timer); });
}

int QtWindow::MessageBox(const std::string& text, const std::string& caption, int flags) {
  const auto answer = Call<int>([=](TForm1& f) { return f.MessageBox(text, caption, flags); });
  return answer.value_or(TForm1::UnansweredBox(flags));
}

void QtWindow::ShowMessage(const std::string& text) {
  Call<bool>([=](TForm1& f) {
    f.ShowMessage(text);
    return true;
  });
}

// The port list and the file dialog belong to the window thread; a call from
// elsewhere still works, waiting for the window thread like a box does.
void QtWindow::PortListClear() {
  Call<bool>([](TForm1& f) {
    f.PortListClear();
    return true;
  });
}
void QtWindow::PortListAdd(const std::string& name) {
  Call<bool>([=](TForm1& f) {
    f.PortListAdd(name);
    return true;
  });
}
int QtWindow::PortListCount() {
  return Call<int>([](TForm1& f) { return f.PortListCount(); }).value_or(0);
}
void QtWindow::PortListSetCurrent(int index) {
  Call<bool>([=](TForm1& f) {
    f.PortListSetCurrent(index);
    return true;
  });
}
std::string QtWindow::PortListCurrentText() {
  return Call<std::string>([](TForm1& f) { return f.PortListCurrentText(); })
      .value_or(std::string());
}

bool QtWindow::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                              std::string& chosenPath) {
  const auto chosen =
      Call<std::optional<std::string>>([=](TForm1& f) -> std::optional<std::string> {
        std::string path;
        if (!f.OpenFileDialog(filter, defaultExt, path)) return std::nullopt;
        return path;
      });
  if (!chosen || !*chosen) return false;
  chosenPath = **chosen;
  return true;
}

void QtWindow::Post(std::function<void()> job) { calls_.Post(std::move(job)); }
