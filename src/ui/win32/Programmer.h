// The main window on the Win32 API, its handlers and timers, and the start-up
// of the program.
#pragma once

#include <windows.h>
// IWindow::MessageBox is a name of ours, not the system's A/W macro.
#undef MessageBox

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ui/Boxes.h"
#include "ui/FormSteps.h"
#include "ui/WindowOps.h"

class TForm1 {
 public:
  // Creates the window and its controls (hidden), installs the window
  // operations, starts Timer3, then runs FormCreate.
  TForm1();
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  HWND Handle() const { return hwnd_; }
  // Until WM_DESTROY: false once the window has been closed.
  bool Alive() const { return hwnd_ != nullptr; }

  // Controls, by the ids of their WM_COMMAND messages as well.
  HWND Button1 = nullptr;
  HWND StatusBar1 = nullptr;
  HWND CGauge1 = nullptr;
  HWND Button3 = nullptr;
  HWND Memo1 = nullptr;
  HWND Button2 = nullptr;
  HWND Button4 = nullptr;
  HWND ComboBox1 = nullptr;
  static constexpr int kButton1Id = 101, kButton2Id = 102, kButton3Id = 103, kButton4Id = 104;
  static constexpr UINT_PTR kTimer1Id = 1, kTimer3Id = 3;
  static constexpr UINT kTimerInterval = 100;

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
  // Ends the boxes and dialogs this window shows, so their loops return.
  void EndModalWindows();

  // What the window shows now.
  HWND Button(Control control) const;
  std::vector<std::string> LogLines() const;
  std::string StatusText() const;
  int Gauge() const;
  WindowColour Colour() const { return colour_; }
  bool TimerRunning(WindowTimer timer) const;
  // Boxes, plain messages and file dialogs in the order they were shown.
  std::vector<ShownBox> BoxesShown() const { return boxes_.Shown(); }

  // Tests: the answerers of ui/Boxes.h; the dialog answerer gets the filter
  // as given.
  using BoxAnswerer = ::BoxAnswerer;
  using DialogAnswerer = ::DialogAnswerer;
  static void SetBoxAnswererForTest(BoxAnswerer answerer) { SetBoxAnswerer(std::move(answerer)); }
  static void SetDialogAnswererForTest(DialogAnswerer answerer) {
    SetDialogAnswerer(std::move(answerer));
  }

  // The program file's name without its extension.
  static std::string ApplicationTitle();
  // The application's error box: the message under the application's title.
  // Tests: a hook, when set, is called instead.
  static void ShowException(const std::string& message);
  static void SetErrorBoxHookForTest(std::function<void(const std::string&)> hook);

 private:
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void OnClose();
  int ShowBox(const std::string& kind, const std::string& text, const std::string& caption,
              int flags);
  void LeaveModal();
  // Gives the focus back to the control that had it (or the first one that
  // can take it), and moves it on from a control about to be disabled or
  // hidden.
  void RestoreFocus();
  void MoveFocusFrom(HWND control);

  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  HBRUSH colourBrush_ = nullptr;
  WindowColour colour_ = WindowColour::ButtonFace;
  LogRecord log_;
  HWND focus_ = nullptr;  // the control to focus when the window is activated
  bool timers_[2] = {false, false};
  bool closing_ = false;
  int modalDepth_ = 0;
  bool destroyPending_ = false;
  BoxRecord boxes_;
};

extern TForm1* Form1;

// Start-up: creates Form1 and the hidden Form2, runs the message loop until
// Form1 is closed and returns 0. An error escaping is shown in the
// application's error box; the result is still 0.
int RunProgrammer();

// Runs one message of the window thread's queue, as the message loop does,
// with errors of handlers shown in the error box. Waits for one when told to.
// Returns false when the queue holds WM_QUIT.
bool PumpOneMessage(bool wait);
