#include "ui/win32/TCGauge.h"

#include <string>

#include "ui/FormSteps.h"

namespace {

constexpr wchar_t kClassName[] = L"TCGauge";
constexpr COLORREF kBarColour = RGB(0, 0, 128);       // navy
constexpr COLORREF kBackColour = RGB(255, 255, 255);  // white
constexpr COLORREF kBorderColour = RGB(0, 0, 0);
// Extra window bytes: the value, then the font given with WM_SETFONT.
constexpr int kValueSlot = 0;
constexpr int kFontSlot = sizeof(LONG_PTR);

void DrawLabel(HDC dc, const RECT& clip, RECT inner, const std::wstring& label, COLORREF colour) {
  if (clip.right <= clip.left) return;
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
  SetTextColor(dc, colour);
  DrawTextW(dc, label.c_str(), static_cast<int>(label.size()), &inner,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  RestoreDC(dc, saved);
}

void Paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT outer;
  GetClientRect(hwnd, &outer);
  HBRUSH border = CreateSolidBrush(kBorderColour);
  FrameRect(dc, &outer, border);
  DeleteObject(border);

  RECT inner = outer;
  InflateRect(&inner, -1, -1);
  const int value = static_cast<int>(GetWindowLongPtrW(hwnd, kValueSlot));
  const int filled = (inner.right - inner.left) * value / 100;
  const RECT bar{inner.left, inner.top, inner.left + filled, inner.bottom};
  const RECT rest{inner.left + filled, inner.top, inner.right, inner.bottom};
  HBRUSH back = CreateSolidBrush(kBackColour);
  HBRUSH fill = CreateSolidBrush(kBarColour);
  FillRect(dc, &rest, back);
  FillRect(dc, &bar, fill);
  DeleteObject(back);
  DeleteObject(fill);

  // Drawn twice, each time clipped to one part: navy over the background,
  // white over the bar.
  const std::wstring label = std::to_wstring(value) + L"%";
  HGDIOBJ oldFont = nullptr;
  if (auto font = reinterpret_cast<HFONT>(GetWindowLongPtrW(hwnd, kFontSlot))) {
    oldFont = SelectObject(dc, font);
  }
  SetBkMode(dc, TRANSPARENT);
  DrawLabel(dc, rest, inner, label, kBarColour);
  DrawLabel(dc, bar, inner, label, kBackColour);
  if (oldFont != nullptr) SelectObject(dc, oldFont);
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT:
      Paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_SETFONT:
      SetWindowLongPtrW(hwnd, kFontSlot, static_cast<LONG_PTR>(wParam));
      if (LOWORD(lParam) != 0) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return GetWindowLongPtrW(hwnd, kFontSlot);
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

void RegisterGaugeClass(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  if (GetClassInfoExW(instance, kClassName, &wc)) return;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = GaugeProc;
  wc.cbWndExtra = 2 * sizeof(LONG_PTR);
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
}

}  // namespace

HWND CreateGauge(HWND parent, int x, int y, int width, int height, HINSTANCE instance) {
  RegisterGaugeClass(instance);
  // Clipped against its siblings: its bottom row lies under the status bar's
  // top row, which must stay the status bar's.
  return CreateWindowExW(0, kClassName, L"0%", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, x, y, width,
                         height, parent, nullptr, instance, nullptr);
}

void SetGaugeValue(HWND gauge, int percent) {
  const int value = ClampGauge(percent);
  if (GaugeValue(gauge) == value) return;
  SetWindowLongPtrW(gauge, kValueSlot, value);
  SetWindowTextW(gauge, (std::to_wstring(value) + L"%").c_str());
  InvalidateRect(gauge, nullptr, FALSE);
}

int GaugeValue(HWND gauge) { return static_cast<int>(GetWindowLongPtrW(gauge, kValueSlot)); }
