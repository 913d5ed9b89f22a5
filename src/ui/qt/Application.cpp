#include "ui/qt/Application.h"

#include <QFileInfo>
#include <QMessageBox>
#include <exception>
#include <mutex>

namespace {
std::mutex g_errorMutex;
std::function<void(const std::string&)> g_errorHook;
std::vector<std::string> g_errorsShown;
}  // namespace

ProgrammerApplication::ProgrammerApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // The title is the program file's name without its extension.
  setApplicationName(QFileInfo(applicationFilePath()).completeBaseName());
  // Lets a Wayland desktop match the window to the installed menu entry and its icon.
  setDesktopFileName(QStringLiteral("tavrin-programmer"));
}

bool ProgrammerApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error.what());
  } catch (...) {
    ShowException(std::string());
  }
  return false;
}

void ProgrammerApplication::ShowException(const std::string& message) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(g_errorMutex);
    g_errorsShown.push_back(message);
    hook = g_errorHook;
  }
  if (hook) {
    hook(message);
    return;
  }
  QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                  QString::fromStdString(message), QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void ProgrammerApplication::SetErrorBoxHookForTest(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(g_errorMutex);
  g_errorHook = std::move(hook);
}

std::vector<std::string> ProgrammerApplication::ErrorsShownForTest() {
  std::lock_guard lock(g_errorMutex);
  return g_errorsShown;
}

void ProgrammerApplication::ClearErrorsShownForTest() {
  std::lock_guard lock(g_errorMutex);
  g_errorsShown.clear();
}
