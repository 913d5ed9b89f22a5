// The window operations of the Qt window, carried to the form by FormWindow;
// other threads' calls are announced by a queued call on the form.
#pragma once

#include <mutex>

#include "ui/FormWindow.h"

class TForm1;

extern template class FormWindow<TForm1>;

class QtWindow final : public FormWindow<TForm1> {
 public:
  static QtWindow& Instance();

  // The form attaches itself while it lives; Attach installs with SetWindow,
  // Detach puts the null window back and releases every waiting caller.
  void Attach(TForm1* form);
  void Detach(TForm1* form);
  // While the window closes, boxes answer at once and waiting callers go free.
  void SetClosing(TForm1* form, bool closing);

  bool IsWindowThread() const override;

 private:
  QtWindow();

  // Guards form_ for the wake from other threads: form_ is written on the
  // window thread under it.
  mutable std::mutex mutex_;
};
