#include "ui/win32/Win32Window.h"

#include "ui/win32/Programmer.h"

template class FormWindow<TForm1>;

Win32Window& Win32Window::Instance() {
  static Win32Window* window = new Win32Window();  // outlives every thread at exit
  return *window;
}

Win32Window::Win32Window()
    : FormWindow([this] {
        // A posted message never waits for the window thread.
        if (HWND hwnd = hwnd_.load()) PostMessageW(hwnd, kRunJobMessage, 0, 0);
      }) {}

void Win32Window::Attach(TForm1* form, HWND hwnd) {
  hwnd_ = hwnd;
  threadId_ = GetCurrentThreadId();
  FormWindow::Attach(form);
}

void Win32Window::Detach(TForm1* form) {
  if (form_ != form) return;
  FormWindow::Detach(form);
  hwnd_ = nullptr;
}

bool Win32Window::IsWindowThread() const { return GetCurrentThreadId() == threadId_.load(); }
