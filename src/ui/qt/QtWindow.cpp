#include "ui/qt/QtWindow.h"

#include <QCoreApplication>
#include <QThread>

#include "ui/qt/Programmer.h"

QtWindow& QtWindow::Instance() {
  static QtWindow* window = new QtWindow();  // outlives every thread at exit
  return *window;
}

void QtWindow::Attach(TForm1* form) {
  {
    std::lock_guard lock(mutex_);
    form_ = form;
    closing_ = false;
  }
  SetWindow(this);
}

void QtWindow::Detach(TForm1* form) {
  std::lock_guard lock(mutex_);
  if (form_ != form) return;
  form_ = nullptr;
  closing_ = false;
  ReleaseWaitersLocked();
  SetWindow(nullptr);
}

void QtWindow::SetClosing(TForm1* form, bool closing) {
  std::lock_guard lock(mutex_);
  if (form_ != form) return;
  closing_ = closing;
  if (closing) ReleaseWaitersLocked();
}

void QtWindow::ReleaseWaitersLocked() {
  for (const auto& waiter : waiters_) {
    std::lock_guard lock(waiter->mutex);
    waiter->finished = true;
    waiter->done.notify_all();
  }
  waiters_.clear();
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
  std::lock_guard lock(mutex_);
  if (form_ == nullptr) return;
  // Queued calls on one receiver run in the order they were posted, and are
  // dropped by Qt if the receiver is destroyed first.
  TForm1* form = form_;
  QMetaObject::invokeMethod(form, [form, op = std::move(op)] { op(*form); }, Qt::QueuedConnection);
}

template <class T>
std::optional<T> QtWindow::Call(std::function<T(TForm1&)> op) {
  if (IsWindowThread()) {
    // Boxes of a closing window answer at once; the form itself sees to that.
    if (form_ == nullptr) return std::nullopt;
    return op(*form_);
  }
  auto waiter = std::make_shared<ResultWaiter<T>>();
  {
    std::lock_guard lock(mutex_);
    if (form_ == nullptr || closing_) return std::nullopt;
    waiters_.push_back(waiter);
    TForm1* form = form_;
    QMetaObject::invokeMethod(
        form,
        [this, form, op = std::move(op), waiter] {
          {
            std::lock_guard lock(waiter->mutex);
            if (waiter->finished) return;  // released while it was queued
          }
          auto finish = [&](std::optional<T> result) {
            std::lock_guard lock(mutex_);
            std::lock_guard waiterLock(waiter->mutex);
            if (waiter->finished) return;
            waiter->result = std::move(result);
            waiter->finished = true;
            waiter->done.notify_all();
            waiters_.remove(waiter);
          };
          try {
            finish(op(*form));
          } catch (...) {
            // The caller goes free as if unanswered; the error itself goes
            // on to the application's error box.
            finish(std::nullopt);
            throw;
          }
        },
        Qt::QueuedConnection);
  }
  std::unique_lock lock(waiter->mutex);
  waiter->done.wait(lock, [&] { return waiter->finished; });
  return std::move(waiter->result);
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
  return Call<std::string>([](TForm1& f) { return f.PortListCurrentText(); }).value_or(std::string());
}

bool QtWindow::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                              std::string& chosenPath) {
  const auto chosen = Call<std::optional<std::string>>([=](TForm1& f) -> std::optional<std::string> {
    std::string path;
    if (!f.OpenFileDialog(filter, defaultExt, path)) return std::nullopt;
    return path;
  });
  if (!chosen || !*chosen) return false;
  chosenPath = **chosen;
  return true;
}

void QtWindow::Post(std::function<void()> job) {
  std::lock_guard lock(mutex_);
  if (form_ == nullptr) return;
  QMetaObject::invokeMethod(form_, std::move(job), Qt::QueuedConnection);
}
