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
        std::lock_guard lock(formMutex_);
        if (form_ != nullptr) {
          QMetaObject::invokeMethod(
              form_, [this] { calls_.RunNext(); }, Qt::QueuedConnection);
        }
      }) {}

void QtWindow::Reopen(TForm1* form) {
  if (form_ == form) calls_.SetOpen();
}

bool QtWindow::IsWindowThread() const {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}
