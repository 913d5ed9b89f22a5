// The window operations of the Win32 window, carried to the form by
// FormWindow; other threads' calls are announced by a posted message.
#pragma once

#include <windows.h>
// IWindow::MessageBox is a name of ours, not the system's A/W macro.
#undef MessageBox

#include <atomic>

#include "ui/FormWindow.h"

class TForm1;

extern template class FormWindow<TForm1>;

// Posted to Form1: run the next queued job.
inline constexpr UINT kRunJobMessage = WM_APP + 1;

class Win32Window final : public FormWindow<TForm1> {
 public:
  static Win32Window& Instance();

  // FormWindow's, with the window that the wake posts to.
  void Attach(TForm1* form, HWND hwnd);
  void Detach(TForm1* form);
  // On the window thread, for each kRunJobMessage.
  void RunNext() { calls_.RunNext(); }

  bool IsWindowThread() const override;

 private:
  Win32Window();

  std::atomic<HWND> hwnd_{nullptr};
  std::atomic<DWORD> threadId_{0};
};
