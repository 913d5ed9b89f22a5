#include "ui/win32/Win32Window.h"

#include "ui/Boxes.h"
#include "ui/win32/Programmer.h"

Win32Window& Win32Window::Instance() {
  static Win32Window* window = new Win32Window();  // outlives every thread at exit
  return *window;
}

Win32Window::Win32Window()
    : calls_([this] {
        // A posted message never waits for the window thread.
        if (HWND hwnd = hwnd_.load()) PostMessageW(hwnd, kRunJobMessage, 0, 0);
      }) {}

void Win32Window::Attach(TForm1* form, HWND hwnd) {
  form_ = form;
  hwnd_ = hwnd;
  threadId_ = GetCurrentThreadId();
  calls_.SetOpen();
  SetWindow(this);
}

void Win32Window::Detach(TForm1* form) {
  if (form_ != form) return;
  calls_.SetGone();
  form_ = nullptr;
  hwnd_ = nullptr;
  SetWindow(nullptr);
}

void Win32Window::SetClosing(TForm1* form) {
  if (form_ == form) calls_.SetClosing();
}

bool Win32Window::IsWindowThread() const { return GetCurrentThreadId() == threadId_.load(); }

void Win32Window::Run(std::function<void(TForm1&)> op) {
  if (IsWindowThread()) {
    if (form_ != nullptr) op(*form_);
    return;
  }
  calls_.Post([this, op = std::move(op)] {
    if (form_ != nullptr) op(*form_);
  });
}

template <class T>
std::optional<T> Win32Window::Call(std::function<T(TForm1&)> op) {
  if (IsWindowThread()) {
    // Boxes of a closing window answer at once; the form sees to that.
    if (form_ == nullptr) return std::nullopt;
    return op(*form_);
  }
  return calls_.Call<T>([this, op = std::move(op)]() -> T { return op(*form_); });
}

void Win32Window::EnableControl(Control control, bool enabled) {
  Run([=](TForm1& f) { f.EnableControl(control, enabled); });
}
void Win32Window::ShowControl(Control control, bool visible) {
  Run([=](TForm1& f) { f.ShowControl(control, visible); });
}
void Win32Window::ClearLog() {
  Run([](TForm1& f) { f.ClearLog(); });
}
void Win32Window::AddLogLine(const std::string& line) {
  Run([line](TForm1& f) { f.AddLogLine(line); });
}
void Win32Window::SetStatusText(const std::string& text) {
  Run([text](TForm1& f) { f.SetStatusText(text); });
}
void Win32Window::SetGauge(int percent) {
  Run([=](TForm1& f) { f.SetGauge(percent); });
}
void Win32Window::SetColour(WindowColour colour) {
  Run([=](TForm1& f) { f.SetColour(colour); });
}
void Win32Window::StartTimer(WindowTimer timer) {
  Run([=](TForm1& f) { f.StartTimer(timer); });
}
void Win32Window::StopTimer(WindowTimer timer) {
  Run([=](TForm1& f) { f.StopTimer(timer); });
}

int Win32Window::MessageBox(const std::string& text, const std::string& caption, int flags) {
  const auto answer = Call<int>([=](TForm1& f) { return f.MessageBox(text, caption, flags); });
  return answer.value_or(UnansweredBox(flags));
}

void Win32Window::ShowMessage(const std::string& text) {
  Call<bool>([=](TForm1& f) {
    f.ShowMessage(text);
    return true;
  });
}

// The port list and the file dialog belong to the window thread; a call from
// elsewhere still works, waiting for the window thread like a box does.
void Win32Window::PortListClear() {
  Call<bool>([](TForm1& f) {
    f.PortListClear();
    return true;
  });
}
void Win32Window::PortListAdd(const std::string& name) {
  Call<bool>([=](TForm1& f) {
    f.PortListAdd(name);
    return true;
  });
}
int Win32Window::PortListCount() {
  return Call<int>([](TForm1& f) { return f.PortListCount(); }).value_or(0);
}
void Win32Window::PortListSetCurrent(int index) {
  Call<bool>([=](TForm1& f) {
    f.PortListSetCurrent(index);
    return true;
  });
}
std::string Win32Window::PortListCurrentText() {
  return Call<std::string>([](TForm1& f) { return f.PortListCurrentText(); })
      .value_or(std::string());
}

bool Win32Window::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                                 std::string& chosenPath) {
  const auto chosen =
      Call<std::optional<std::string>>([=](TForm1& f) -> std::optional<std::string> {
        std::string path;
        if (!f.OpenFileDialog(filter, defaultExt, path)) return std::nullopt;
        return path;
      });
  if (!chosen || !*chosen) return false;
  chosenPath = **chosen;
  return true;
}

void Win32Window::Post(std::function<void()> job) { calls_.Post(std::move(job)); }
