// The window operations of the Qt window, carried to the form by FormWindow;
// other threads' calls are announced by a queued call on the form.
#pragma once

#include "ui/FormWindow.h"

class TForm1;

extern template class FormWindow<TForm1>;

class QtWindow final : public FormWindow<TForm1> {
 public:
  static QtWindow& Instance();

  // A closed window shown again takes calls again.
  void Reopen(TForm1* form);

  bool IsWindowThread() const override;

 private:
  QtWindow();
};
