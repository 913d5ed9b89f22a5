// The window operations of a window whose form runs them on the window
// thread, for a form of any toolkit: each operation goes to the form's method
// of the same name, at once on the window thread, otherwise carried there by
// WindowCalls. The toolkit's window supplies the wake and IsWindowThread; the
// form attaches and detaches itself and runs Close when it closes, so both
// windows close in the same order. The object lives for the whole process, so
// a thread that fetched it just before the window went away still calls into
// something valid: the call is then dropped, or a box answers at once as if
// unanswered.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "ui/Boxes.h"
#include "ui/WindowCalls.h"
#include "ui/WindowOps.h"

template <class Form>
class FormWindow : public IWindow {
 public:
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

  // The form attaches itself while it lives: Attach installs this window with
  // SetWindow; Detach puts the null window back and releases every waiting
  // caller.
  void Attach(Form* form);
  void Detach(Form* form);
  // The closing sequence, the same in every window: waiting callers go free
  // and boxes answer at once; the form ends the boxes and dialogs it shows;
  // Timer1 stops, so the scan opens no port behind a window that is going
  // away; then FormClose closes the port and stops Timer2.
  void Close(Form& form);

 protected:
  explicit FormWindow(std::function<void()> wake) : calls_(std::move(wake)) {}

  // Runs op on the window thread: at once there, otherwise queued after the
  // operations asked for before it. Dropped when no form is attached.
  void Run(std::function<void(Form&)> op);
  // Runs op on the window thread and waits for its result; nothing when the
  // window is gone or closing, or goes away while the caller waits.
  template <class T>
  std::optional<T> Call(std::function<T(Form&)> op);

  WindowCalls calls_;
  Form* form_ = nullptr;  // written on the window thread only, under formMutex_
  // For a wake from another thread that needs the form.
  std::mutex formMutex_;
};

// Members are defined out of the class, so that a window's header can declare
// the instantiation extern while its form is still incomplete there.

template <class Form>
void FormWindow<Form>::Attach(Form* form) {
  {
    std::lock_guard lock(formMutex_);
    form_ = form;
  }
  calls_.SetOpen();
  SetWindow(this);
}

template <class Form>
void FormWindow<Form>::Detach(Form* form) {
  {
    std::lock_guard lock(formMutex_);
    if (form_ != form) return;
    form_ = nullptr;
  }
  calls_.SetGone();
  SetWindow(nullptr);
}

template <class Form>
void FormWindow<Form>::Close(Form& form) {
  if (form_ != &form) return;
  calls_.SetClosing();
  form.EndModalWindows();
  form.StopTimer(WindowTimer::Timer1);
  form.FormClose();
}

template <class Form>
void FormWindow<Form>::Run(std::function<void(Form&)> op) {
  if (this->IsWindowThread()) {
    // form_ changes only on this thread, so it can be read here at once.
    if (form_ != nullptr) op(*form_);
    return;
  }
  calls_.Post([this, op = std::move(op)] {
    if (form_ != nullptr) op(*form_);
  });
}

template <class Form>
template <class T>
std::optional<T> FormWindow<Form>::Call(std::function<T(Form&)> op) {
  if (this->IsWindowThread()) {
    // Boxes of a closing window answer at once; the form itself sees to that.
    if (form_ == nullptr) return std::nullopt;
    return op(*form_);
  }
  // Jobs run only while a form is attached: detaching drops them.
  return calls_.template Call<T>([this, op = std::move(op)]() -> T { return op(*form_); });
}

template <class Form>
void FormWindow<Form>::EnableControl(Control control, bool enabled) {
  Run([=](Form& f) { f.EnableControl(control, enabled); });
}
template <class Form>
void FormWindow<Form>::ShowControl(Control control, bool visible) {
  Run([=](Form& f) { f.ShowControl(control, visible); });
}
template <class Form>
void FormWindow<Form>::ClearLog() {
  Run([](Form& f) { f.ClearLog(); });
}
template <class Form>
void FormWindow<Form>::AddLogLine(const std::string& line) {
  Run([line](Form& f) { f.AddLogLine(line); });
}
template <class Form>
void FormWindow<Form>::SetStatusText(const std::string& text) {
  Run([text](Form& f) { f.SetStatusText(text); });
}
template <class Form>
void FormWindow<Form>::SetGauge(int percent) {
  Run([=](Form& f) { f.SetGauge(percent); });
}
template <class Form>
void FormWindow<Form>::SetColour(WindowColour colour) {
  Run([=](Form& f) { f.SetColour(colour); });
}
template <class Form>
void FormWindow<Form>::StartTimer(WindowTimer timer) {
  Run([=](Form& f) { f.StartTimer(timer); });
}
template <class Form>
void FormWindow<Form>::StopTimer(WindowTimer timer) {
  Run([=](Form& f) { f.StopTimer(timer); });
}

template <class Form>
int FormWindow<Form>::MessageBox(const std::string& text, const std::string& caption, int flags) {
  const auto answer = Call<int>([=](Form& f) { return f.MessageBox(text, caption, flags); });
  return answer.value_or(UnansweredBox(flags));
}

template <class Form>
void FormWindow<Form>::ShowMessage(const std::string& text) {
  Call<bool>([=](Form& f) {
    f.ShowMessage(text);
    return true;
  });
}

// The port list and the file dialog belong to the window thread; a call from
// elsewhere still works, waiting for the window thread like a box does.
template <class Form>
void FormWindow<Form>::PortListClear() {
  Call<bool>([](Form& f) {
    f.PortListClear();
    return true;
  });
}
template <class Form>
void FormWindow<Form>::PortListAdd(const std::string& name) {
  Call<bool>([=](Form& f) {
    f.PortListAdd(name);
    return true;
  });
}
template <class Form>
int FormWindow<Form>::PortListCount() {
  return Call<int>([](Form& f) { return f.PortListCount(); }).value_or(0);
}
template <class Form>
void FormWindow<Form>::PortListSetCurrent(int index) {
  Call<bool>([=](Form& f) {
    f.PortListSetCurrent(index);
    return true;
  });
}
template <class Form>
std::string FormWindow<Form>::PortListCurrentText() {
  return Call<std::string>([](Form& f) { return f.PortListCurrentText(); }).value_or(std::string());
}

template <class Form>
bool FormWindow<Form>::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                                      std::string& chosenPath) {
  const auto chosen = Call<std::optional<std::string>>([=](Form& f) -> std::optional<std::string> {
    std::string path;
    if (!f.OpenFileDialog(filter, defaultExt, path)) return std::nullopt;
    return path;
  });
  if (!chosen || !*chosen) return false;
  chosenPath = **chosen;
  return true;
}

template <class Form>
void FormWindow<Form>::Post(std::function<void()> job) {
  calls_.Post(std::move(job));
}
