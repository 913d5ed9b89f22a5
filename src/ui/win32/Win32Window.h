// The window operations of the Win32 window. Other threads' calls travel as
// jobs announced by a posted message and run on the window thread in the
// order asked for; the object lives for the whole process, so a thread that
// fetched it just before the window went away still calls into something
// valid: the call is then dropped, or a box answers at once as unanswered.
#pragma once

#include <windows.h>
// IWindow::MessageBox is a name of ours, not the system's A/W macro.
#undef MessageBox

#include <atomic>
#include <optional>

#include "ui/WindowCalls.h"
#include "ui/WindowOps.h"

class TForm1;

// Posted to Form1: run the next queued job.
inline constexpr UINT kRunJobMessage = WM_APP + 1;

class Win32Window final : public IWindow {
 public:
  static Win32Window& Instance();

  // The form attaches itself while it lives; Attach installs with SetWindow,
  // Detach puts the null window back and releases every waiting caller.
  void Attach(TForm1* form, HWND hwnd);
  void Detach(TForm1* form);
  // From the start of closing: boxes answer at once, waiting callers go free.
  void SetClosing(TForm1* form);
  // On the window thread, for each kRunJobMessage.
  void RunNext() { calls_.RunNext(); }

  void EnableControl(Control control, bool enabled) override;
  void ShowControl(Control control, bool visible) override;
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void SetStatusText(const std::string& text) override;
  void SetGauge(int percent) override;
  void SetColour(WindowColour colour) override;
  void StartTimer(WindowTimer timer) override;
  void StopTimer(WindowTimer timer) override;
  int MessageBox(const std::string& text, const std::string& caption, int flags) override;
  void ShowMessage(const std::string& text) override;
  void PortListClear() override;
  void PortListAdd(const std::string& name) override;
  int PortListCount() override;
  void PortListSetCurrent(int index) override;
  std::string PortListCurrentText() override;
  bool OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                      std::string& chosenPath) override;
  void Post(std::function<void()> job) override;
  bool IsWindowThread() const override;

 private:
  Win32Window();

  // Runs op at once on the window thread, otherwise queued after what was
  // asked for before it.
  void Run(std::function<void(TForm1&)> op);
  // Runs op on the window thread and waits for its result.
  template <class T>
  std::optional<T> Call(std::function<T(TForm1&)> op);

  WindowCalls calls_;
  std::atomic<HWND> hwnd_{nullptr};
  std::atomic<DWORD> threadId_{0};
  TForm1* form_ = nullptr;  // read and written on the window thread only
};
