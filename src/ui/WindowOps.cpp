#include "ui/WindowOps.h"

#include <atomic>

namespace {

class NullWindow final : public IWindow {
 public:
  void EnableControl(Control, bool) override {}
  void ShowControl(Control, bool) override {}
  void ClearLog() override {}
  void AddLogLine(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void SetGauge(int) override {}
  void SetColour(WindowColour) override {}
  void StartTimer(WindowTimer) override {}
  void StopTimer(WindowTimer) override {}
  int MessageBox(const std::string&, const std::string&, int flags) override {
    return flags == kMbYesNoInfo ? kIdNo : kIdOk;
  }
  void ShowMessage(const std::string&) override {}
  void PortListClear() override {}
  void PortListAdd(const std::string&) override {}
  int PortListCount() override { return 0; }
  void PortListSetCurrent(int) override {}
  std::string PortListCurrentText() override { return {}; }
  bool OpenFileDialog(const std::string&, const std::string&, std::string&) override { return false; }
  void Post(std::function<void()>) override {}
  bool IsWindowThread() const override { return false; }
};

// Never destroyed: a reader thread still finishing a frame while the process
// exits may ask for it after the static destructors have run.
NullWindow& TheNullWindow() {
  static NullWindow* window = new NullWindow();
  return *window;
}

std::atomic<IWindow*> g_window{nullptr};  // nullptr: the null window

}  // namespace

IWindow& Window() {
  IWindow* window = g_window.load(std::memory_order_acquire);
  return window != nullptr ? *window : TheNullWindow();
}

void SetWindow(IWindow* window) { g_window.store(window, std::memory_order_release); }
