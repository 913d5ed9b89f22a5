// The window operations of the Qt window. The object lives for the whole
// process, so a thread that fetched it just before the window went away still
// calls into something valid: the call is then dropped, or a box answers at
// once as if unanswered.
#pragma once

#include <mutex>
#include <optional>

#include "ui/WindowCalls.h"
#include "ui/WindowOps.h"

class TForm1;

class QtWindow final : public IWindow {
 public:
  static QtWindow& Instance();

  // The form attaches itself while it lives; Attach installs with SetWindow,
  // Detach puts the null window back and releases every waiting caller.
  void Attach(TForm1* form);
  void Detach(TForm1* form);
  // While the window closes, boxes answer at once and waiting callers go free.
  void SetClosing(TForm1* form, bool closing);

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
  QtWindow();

  // Runs op on the window thread: at once there, otherwise queued after the
  // operations asked for before it. Dropped when no window is attached.
  void Run(std::function<void(TForm1&)> op);
  // Runs op on the window thread and waits for its result; nothing when the
  // window is gone or closing, or goes away while the caller waits.
  template <class T>
  std::optional<T> Call(std::function<T(TForm1&)> op);

  WindowCalls calls_;
  mutable std::mutex mutex_;  // guards form_ for the wake from other threads
  TForm1* form_ = nullptr;    // written on the window thread under mutex_
};
