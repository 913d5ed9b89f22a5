// The application object: names itself after the program file and shows any
// error that escapes an event handler in its error box, then goes on running.
#pragma once

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

class ProgrammerApplication : public QApplication {
  Q_OBJECT

 public:
  ProgrammerApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // The application's error box: the message under the application's title.
  static void ShowException(const std::string& message);

  // Tests: when set, called instead of showing the error box. Every message
  // shown (or handed to the hook) is kept in order.
  static void SetErrorBoxHookForTest(std::function<void(const std::string&)> hook);
  static std::vector<std::string> ErrorsShownForTest();
  static void ClearErrorsShownForTest();
};
