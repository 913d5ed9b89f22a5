#include "ui/qt/QtWindow.h"

#include <QCoreApplication>
#include <QThread>

#include "ui/qt/Programmer.h"

template class FormWindow<TForm1>;

QtWindow& QtWindow::Instance() {
  static QtWindow* window = new QtWindow();  // outlives every thread at exit
  return *window;
}

QtWindow::QtWindow()
    : FormWindow([this] {
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
