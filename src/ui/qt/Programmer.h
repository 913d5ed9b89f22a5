// The main window, its handlers and timers, and the start-up of the program.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "ui/Boxes.h"
#include "ui/FormSteps.h"
#include "ui/WindowOps.h"

class QComboBox;
class QFileDialog;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class QtSoundPlayer;
class TCGauge;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // Builds the controls, installs the window operations and the sound player,
  // then runs FormCreate.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  QPushButton* Button1 = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QTimer* Timer1 = nullptr;
  TCGauge* CGauge1 = nullptr;
  QPushButton* Button3 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button4 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QTimer* Timer3 = nullptr;

  void Button1Click();
  void FormCreate();
  void Button3Click();
  void Timer1Timer();
  void FormClose();
  void Button2Click();
  void Button4Click();
  void Timer3Timer();

  // The window operations, on the window thread only (the installed IWindow
  // carries other threads' requests here).
  void EnableControl(Control control, bool enabled);
  void ShowControl(Control control, bool visible);
  void ClearLog();
  void AddLogLine(const std::string& line);
  void SetStatusText(const std::string& text);
  void SetGauge(int percent);
  void SetColour(WindowColour colour);
  void StartTimer(WindowTimer timer);
  void StopTimer(WindowTimer timer);
  int MessageBox(const std::string& text, const std::string& caption, int flags);
  void ShowMessage(const std::string& text);
  void PortListClear();
  void PortListAdd(const std::string& name);
  int PortListCount() const;
  void PortListSetCurrent(int index);
  std::string PortListCurrentText() const;
  bool OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                      std::string& chosenPath);
  // Rejects the box or file dialog this window shows, if any.
  void EndModalWindows();

  // What the window shows now.
  QPushButton* Button(Control control) const;
  std::vector<std::string> LogLines() const;
  std::string StatusText() const;
  WindowColour Colour() const { return colour_; }
  // Boxes, plain messages and file dialogs in the order they were shown.
  std::vector<ShownBox> BoxesShown() const { return boxes_.Shown(); }

  // Tests: the answerers of ui/Boxes.h; the dialog answerer gets the filter in
  // the toolkit's form.
  using BoxAnswerer = ::BoxAnswerer;
  using DialogAnswerer = ::DialogAnswerer;
  static void SetBoxAnswererForTest(BoxAnswerer answerer) { SetBoxAnswerer(std::move(answerer)); }
  static void SetDialogAnswererForTest(DialogAnswerer answerer) {
    SetDialogAnswerer(std::move(answerer));
  }

  // The toolkit's filter for one in "description (*.ext)|*.ext" form.
  static QString ConvertFilter(const std::string& filter);
  // The answer a box gives when nobody answers it (the window goes away).
  static int UnansweredBox(int flags);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  int ShowBox(const std::string& kind, const std::string& text, const std::string& caption, int flags);

  bool closing_ = false;  // from closeEvent until shown again
  QLabel* statusText_ = nullptr;
  QtSoundPlayer* sound_ = nullptr;
  WindowColour colour_ = WindowColour::ButtonFace;
  LogRecord log_;
  QPointer<QMessageBox> activeBox_;
  QPointer<QFileDialog> activeDialog_;
  BoxRecord boxes_;
};

extern TForm1* Form1;

// Start-up with the application object in place: creates Form1 and the hidden
// Form2, runs the event loop until Form1 is closed and returns 0. An error
// escaping is shown in the application's error box; the result is still 0.
int RunProgrammer();
