#include "ui/win32/Led_controller12.h"

TForm2* Form2 = nullptr;

namespace {
constexpr wchar_t kClassName[] = L"TForm2";
}

TForm2::TForm2() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  if (!GetClassInfoExW(instance, kClassName, &wc)) {
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
  }
  // 449 x 323 is the outer size; never made visible.
  hwnd_ = CreateWindowExW(0, kClassName, L"LED CONTROLLER 12 Channel", WS_OVERLAPPEDWINDOW, 385,
                          178, 449, 323, nullptr, nullptr, instance, nullptr);
}

TForm2::~TForm2() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (Form2 == this) Form2 = nullptr;
}
