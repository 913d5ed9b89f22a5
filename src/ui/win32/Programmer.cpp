#include "ui/win32/Programmer.h"

#include <commctrl.h>
#include <commdlg.h>

#include <exception>
#include <memory>
#include <stdexcept>

#include "ProjectVersion.h"
#include "connect/Connecter.h"
#include "platform/Utf16.h"
#include "protocol/Messager.h"
#include "transfer/Loaders.h"
#include "ui/FormSteps.h"
#include "ui/Sounds.h"
#include "ui/win32/Led_controller12.h"
#include "ui/win32/TCGauge.h"
#include "ui/win32/Win32Window.h"

TForm1* Form1 = nullptr;

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

namespace {

constexpr wchar_t kClassName[] = L"TForm1";
constexpr wchar_t kCaption[] = L"Tavrin Programmer " TAVRIN_VERSION_WIDE;
constexpr int kClientWidth = 330;
constexpr int kClientHeight = 257;
constexpr int kFontPixels = 11;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
// Posted to Form1 once the last box of a closing window has returned.
constexpr UINT kDestroyMessage = WM_APP + 2;

std::mutex g_hookMutex;
std::function<void(const std::string&)> g_errorHook;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

// A multi-line edit keeps Tab for itself; in the log Tab and Shift+Tab move
// on to the other controls instead, as everywhere else in the window.
// Escape, too, stays here: a multi-line edit under the dialog manager would
// close its parent, which is the whole window.
LRESULT CALLBACK MemoProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if ((msg == WM_KEYDOWN || msg == WM_CHAR) && wParam == VK_ESCAPE) return 0;
  LRESULT result = DefSubclassProc(hwnd, msg, wParam, lParam);
  if (msg == WM_GETDLGCODE) {
    result &= ~DLGC_WANTTAB;
    const auto* key = reinterpret_cast<const MSG*>(lParam);
    if (key != nullptr && key->message == WM_KEYDOWN && key->wParam == VK_TAB) {
      result &= ~DLGC_WANTALLKEYS;
    }
  }
  return result;
}

void RegisterFormClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  if (GetClassInfoExW(Instance(), kClassName, &wc)) return;
  // The form's own procedure takes over once the form is attached to it.
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = Instance();
  wc.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
}

template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& error) {
    TForm1::ShowException(error.what());
  } catch (...) {
    TForm1::ShowException(std::string());
  }
}

}  // namespace

// ---- Creation and destruction -----------------------------------------------

TForm1::TForm1() {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterFormClass();

  RECT outer{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&outer, kStyle, FALSE, kExStyle);
  hwnd_ =
      CreateWindowExW(kExStyle, kClassName, kCaption, kStyle, 280, 125, outer.right - outer.left,
                      outer.bottom - outer.top, nullptr, nullptr, Instance(), nullptr);
  if (hwnd_ == nullptr) {
    throw std::runtime_error("The main window could not be created (error " +
                             std::to_string(GetLastError()) + ")");
  }
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TForm1::FormProc));

  // "MS Sans Serif", 8 pt, Cyrillic: 11 pixels, the height at 96 dpi, in
  // which the whole layout is given. The program is DPI-unaware (see its
  // manifest), so the system scales text and rectangles together.
  font_ = CreateFontW(-kFontPixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  CreateControls();
  SetColour(WindowColour::ButtonFace);
  Form1 = this;
  Win32Window::Instance().Attach(this, hwnd_);
  StartTimer(WindowTimer::Timer3);
  FormCreate();
}

void TForm1::CreateControls() {
  auto make = [this](DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style, int x,
                     int y, int w, int h, int id) {
    HWND control =
        CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_CLIPSIBLINGS | style, x, y, w, h, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
    if (control == nullptr)
      throw std::runtime_error("A control of the main window could not be created");
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return control;
  };
  constexpr DWORD kButton = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

  // In creation order.
  CGauge1 = CreateGauge(hwnd_, -2, 216, 333, 17, Instance());
  if (CGauge1 == nullptr) throw std::runtime_error("The gauge could not be created");
  SendMessageW(CGauge1, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  Button1 = make(0, L"BUTTON", L"CONNECT", kButton, 12, 128, 147, 25, kButton1Id);
  // One text area across the whole bar, at the rectangle given rather than
  // where the bar would put itself.
  StatusBar1 = make(0, STATUSCLASSNAMEW, L"", WS_VISIBLE | CCS_NOPARENTALIGN | CCS_NORESIZE, 0, 232,
                    330, 25, 0);
  int parts[1] = {-1};
  SendMessageW(StatusBar1, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
  Button3 = make(0, L"BUTTON", L"DISCONNECT", kButton, 166, 128, 149, 25, kButton3Id);
  // Editable, word wrap (no ES_AUTOHSCROLL), no scroll bars; Enter starts a
  // new line there rather than pressing a button.
  Memo1 = make(WS_EX_CLIENTEDGE, L"EDIT", L"",
               WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | ES_LEFT,
               4, 8, 321, 111, 0);
  SendMessageW(Memo1, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(Memo1, MemoProc, 1, 0);
  Button2 =
      make(0, L"BUTTON", L"update firmware", kButton | WS_DISABLED, 28, 158, 275, 25, kButton2Id);
  Button4 =
      make(0, L"BUTTON", L"write data map", kButton | WS_DISABLED, 28, 188, 275, 25, kButton4Id);
  ComboBox1 = make(0, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
                   184, 128, 145, 21 + 8 * 16, 0);
  SetWindowTextW(ComboBox1, L"ComboBox1");

  // The tab order is the order of the siblings: first the controls with a
  // tab stop in their tab order, then the rest.
  HWND order[] = {Button1, Button3, Memo1, Button2, Button4, ComboBox1, StatusBar1, CGauge1};
  HWND previous = HWND_TOP;
  for (HWND control : order) {
    SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = control;
  }
  focus_ = Button1;
}

TForm1::~TForm1() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  Win32Window::Instance().Detach(this);
  if (Form1 == this) Form1 = nullptr;
  if (font_ != nullptr) DeleteObject(font_);
  if (colourBrush_ != nullptr) DeleteObject(colourBrush_);
}

// ---- Messages ---------------------------------------------------------------

LRESULT CALLBACK TForm1::FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  LRESULT result = 0;
  bool handled = false;
  // No error may unwind through the system's frames: it is shown in the
  // application's error box, and the loop goes on.
  Guarded([&] {
    result = form->OnMessage(msg, wParam, lParam);
    handled = true;
  });
  return handled ? result : 0;
}

LRESULT TForm1::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      // Enter, through the dialog manager: the focused button is pressed.
      if (LOWORD(wParam) == IDOK && lParam == 0) {
        HWND focused = GetFocus();
        if (focused == Button1 || focused == Button2 || focused == Button3 ||
            focused == Button4) {
          SendMessageW(focused, BM_CLICK, 0, 0);
        }
        return 0;
      }
      if (HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
          case kButton1Id:
            Button1Click();
            return 0;
          case kButton2Id:
            Button2Click();
            return 0;
          case kButton3Id:
            Button3Click();
            return 0;
          case kButton4Id:
            Button4Click();
            return 0;
          default:
            break;
        }
      }
      return 0;
    case WM_TIMER:
      if (wParam == kTimer1Id) Timer1Timer();
      if (wParam == kTimer3Id) Timer3Timer();
      return 0;
    case kRunJobMessage:
      Win32Window::Instance().RunNext();
      return 0;
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wParam), &rc,
               colourBrush_ != nullptr ? colourBrush_ : GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    case WM_CTLCOLORBTN:
      // What shows around a button's face is the window's colour.
      return reinterpret_cast<LRESULT>(colourBrush_ != nullptr ? colourBrush_
                                                               : GetSysColorBrush(COLOR_BTNFACE));
    case WM_ACTIVATE:
      // The focus leaves with the window and comes back where it was.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focused = GetFocus();
        if (focused != nullptr && IsChild(hwnd_, focused)) focus_ = focused;
      } else {
        RestoreFocus();
      }
      return 0;
    case WM_SETFOCUS:
      RestoreFocus();
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case kDestroyMessage:
      if (modalDepth_ == 0 && hwnd_ != nullptr) DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd_, kTimer1Id);
      KillTimer(hwnd_, kTimer3Id);
      timers_[0] = timers_[1] = false;
      Win32Window::Instance().Detach(this);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      hwnd_ = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

void TForm1::OnClose() {
  if (!closing_) {
    closing_ = true;
    // An error here is shown, and the window still goes.
    Guarded([this] { Win32Window::Instance().Close(*this); });
  }
  if (modalDepth_ == 0) {
    DestroyWindow(hwnd_);
  } else {
    destroyPending_ = true;  // once the boxes on the stack have returned
  }
}

namespace {
// Message boxes and file dialogs are dialogs owned by the form.
BOOL CALLBACK EndOwnedDialog(HWND window, LPARAM owner) {
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner) &&
      std::wstring(cls) == L"#32770") {
    EndDialog(window, IDCANCEL);
  }
  return TRUE;
}
}  // namespace

void TForm1::EndModalWindows() {
  EnumThreadWindows(GetCurrentThreadId(), EndOwnedDialog, reinterpret_cast<LPARAM>(hwnd_));
}

void TForm1::LeaveModal() {
  --modalDepth_;
  if (modalDepth_ == 0 && destroyPending_ && hwnd_ != nullptr) {
    PostMessageW(hwnd_, kDestroyMessage, 0, 0);
  }
}

// ---- Handlers ---------------------------------------------------------------

void TForm1::Button1Click() { ::Button1Click(); }
void TForm1::Button3Click() { ::Button3Click(); }
void TForm1::Timer1Timer() { ::Timer1Timer(); }
void TForm1::Button2Click() { ::Button2Click(); }
void TForm1::Button4Click() { ::Button4Click(); }
void TForm1::Timer3Timer() { ::Timer3Timer(); }

void TForm1::FormCreate() { RunFormCreate(); }

void TForm1::FormClose() { RunFormClose(); }

// ---- Keyboard focus ---------------------------------------------------------

void TForm1::RestoreFocus() {
  HWND target = focus_;
  if (target == nullptr || !IsWindowEnabled(target) || !IsWindowVisible(target)) {
    target = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
  }
  if (target != nullptr) SetFocus(target);
}

void TForm1::MoveFocusFrom(HWND control) {
  if (GetFocus() != control) return;
  // The next control in the tab order that can take it; the system would
  // otherwise leave the window with no focus at all.
  HWND next = GetNextDlgTabItem(hwnd_, control, FALSE);
  focus_ = next != control ? next : nullptr;
  if (focus_ != nullptr) SetFocus(focus_);
}

// ---- Window operations ------------------------------------------------------

HWND TForm1::Button(Control control) const {
  switch (control) {
    case Control::Button1:
      return Button1;
    case Control::Button2:
      return Button2;
    case Control::Button3:
      return Button3;
    case Control::Button4:
      return Button4;
  }
  return Button1;
}

void TForm1::EnableControl(Control control, bool enabled) {
  if (!enabled) MoveFocusFrom(Button(control));
  EnableWindow(Button(control), enabled ? TRUE : FALSE);
}

void TForm1::ShowControl(Control control, bool visible) {
  if (!visible) MoveFocusFrom(Button(control));
  ShowWindow(Button(control), visible ? SW_SHOW : SW_HIDE);
}

void TForm1::ClearLog() {
  SetWindowTextW(Memo1, L"");
  log_.Cleared();
}

void TForm1::AddLogLine(const std::string& line) {
  // The edit control breaks lines at CR LF only.
  std::wstring text = log_.BreakBefore(GetWindowTextLengthW(Memo1) == 0) ? L"\r\n" : L"";
  for (wchar_t c : Utf8ToUtf16(line)) {
    if (c == L'\n' && (text.empty() || text.back() != L'\r')) text += L'\r';
    text += c;
  }
  const int end = GetWindowTextLengthW(Memo1);
  SendMessageW(Memo1, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
  SendMessageW(Memo1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(Memo1, EM_SCROLLCARET, 0, 0);
  log_.Added();
}

std::vector<std::string> TForm1::LogLines() const {
  return log_.Lines(Utf16ToUtf8(WindowText(Memo1)), "\r\n");
}

void TForm1::SetStatusText(const std::string& text) {
  const std::wstring wide = Utf8ToUtf16(text);
  SendMessageW(StatusBar1, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

std::string TForm1::StatusText() const {
  const auto length = LOWORD(SendMessageW(StatusBar1, SB_GETTEXTLENGTHW, 0, 0));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(StatusBar1, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
  text.resize(length);
  return Utf16ToUtf8(text);
}

void TForm1::SetGauge(int percent) { SetGaugeValue(CGauge1, percent); }

int TForm1::Gauge() const { return GaugeValue(CGauge1); }

void TForm1::SetColour(WindowColour colour) {
  colour_ = colour;
  if (colourBrush_ != nullptr) DeleteObject(colourBrush_);
  colourBrush_ = nullptr;
  // The notation of the colours is the system's own COLORREF.
  if (colour != WindowColour::ButtonFace) {
    colourBrush_ = CreateSolidBrush(static_cast<COLORREF>(colour));
  }
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void TForm1::StartTimer(WindowTimer timer) {
  const bool first = timer == WindowTimer::Timer1;
  SetTimer(hwnd_, first ? kTimer1Id : kTimer3Id, kTimerInterval, nullptr);
  timers_[first ? 0 : 1] = true;
}

void TForm1::StopTimer(WindowTimer timer) {
  const bool first = timer == WindowTimer::Timer1;
  KillTimer(hwnd_, first ? kTimer1Id : kTimer3Id);
  timers_[first ? 0 : 1] = false;
}

bool TForm1::TimerRunning(WindowTimer timer) const {
  return timers_[timer == WindowTimer::Timer1 ? 0 : 1];
}

void TForm1::PortListClear() { SendMessageW(ComboBox1, CB_RESETCONTENT, 0, 0); }

void TForm1::PortListAdd(const std::string& name) {
  const std::wstring wide = Utf8ToUtf16(name);
  SendMessageW(ComboBox1, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

int TForm1::PortListCount() const {
  return static_cast<int>(SendMessageW(ComboBox1, CB_GETCOUNT, 0, 0));
}

void TForm1::PortListSetCurrent(int index) {
  const bool inside = index >= 0 && index < PortListCount();
  SendMessageW(ComboBox1, CB_SETCURSEL, static_cast<WPARAM>(inside ? index : -1), 0);
}

std::string TForm1::PortListCurrentText() const {
  const auto index = SendMessageW(ComboBox1, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return {};
  const auto length = SendMessageW(ComboBox1, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(ComboBox1, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return Utf16ToUtf8(text);
}

// ---- Boxes and the file dialog ----------------------------------------------

int TForm1::ShowBox(const std::string& kind, const std::string& text, const std::string& caption,
                    int flags) {
  if (closing_ || hwnd_ == nullptr) return UnansweredBox(flags);
  return boxes_.Show(kind, text, caption, flags, [&] {
    // An empty caption stays empty: the box is given "", never a null title.
    const std::wstring wideText = Utf8ToUtf16(text);
    const std::wstring wideCaption = Utf8ToUtf16(caption);
    ++modalDepth_;
    const int answer =
        MessageBoxW(hwnd_, wideText.c_str(), wideCaption.c_str(), static_cast<UINT>(flags));
    LeaveModal();
    return closing_ || answer == 0 ? UnansweredBox(flags) : answer;
  });
}

int TForm1::MessageBox(const std::string& text, const std::string& caption, int flags) {
  return ShowBox("box", text, caption, flags);
}

void TForm1::ShowMessage(const std::string& text) {
  ShowBox("message", text, ApplicationTitle(), kMbOk);
}

bool TForm1::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                            std::string& chosenPath) {
  if (closing_ || hwnd_ == nullptr) return false;
  const std::string path = boxes_.ShowDialog(filter, defaultExt, [&] {
    // "description|*.ext" pairs become the system's list of zero-ended
    // strings, ended by an empty one.
    std::wstring wideFilter = Utf8ToUtf16(filter);
    for (wchar_t& c : wideFilter) {
      if (c == L'|') c = L'\0';
    }
    wideFilter.append(2, L'\0');
    const std::wstring wideExt = Utf8ToUtf16(defaultExt);
    std::wstring file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = wideFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = wideExt.empty() ? nullptr : wideExt.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    // The dialog moves the working directory to the chosen file's folder,
    // where the sounds are not.
    std::wstring cwd(32768, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    ++modalDepth_;
    const BOOL chosen = GetOpenFileNameW(&ofn);
    LeaveModal();
    if (!cwd.empty()) SetCurrentDirectoryW(cwd.c_str());
    return chosen && !closing_ ? Utf16ToUtf8(file.c_str()) : std::string();
  });
  if (path.empty()) return false;
  chosenPath = path;
  return true;
}

// ---- Application ------------------------------------------------------------

std::string TForm1::ApplicationTitle() {
  std::wstring file(32768, L'\0');
  file.resize(GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size())));
  std::size_t start = file.find_last_of(L"\\/");
  start = start == std::wstring::npos ? 0 : start + 1;
  std::size_t dot = file.rfind(L'.');
  if (dot == std::wstring::npos || dot < start) dot = file.size();
  return Utf16ToUtf8(file.substr(start, dot - start));
}

void TForm1::SetErrorBoxHookForTest(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(g_hookMutex);
  g_errorHook = std::move(hook);
}

void TForm1::ShowException(const std::string& message) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_errorHook;
  }
  if (hook) {
    hook(message);
    return;
  }
  const std::wstring text = Utf8ToUtf16(message);
  const std::wstring title = Utf8ToUtf16(ApplicationTitle());
  HWND owner = Form1 != nullptr ? Form1->Handle() : nullptr;
  MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

bool PumpOneMessage(bool wait) {
  MSG msg;
  if (wait) {
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) return false;
  } else {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return true;
    if (msg.message == WM_QUIT) return false;
  }
  // Tab and the arrow keys move between the controls as in a dialog.
  if (Form1 != nullptr && Form1->Alive() && IsDialogMessageW(Form1->Handle(), &msg)) return true;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

int RunProgrammer() {
  try {
    auto form1 = std::make_unique<TForm1>();
    auto form2 = std::make_unique<TForm2>();
    Form2 = form2.get();
    ShowWindow(form1->Handle(), SW_SHOWNORMAL);
    UpdateWindow(form1->Handle());
    while (form1->Alive() && PumpOneMessage(true)) {
    }
    form2.reset();
    form1.reset();
  } catch (const std::exception& error) {
    TForm1::ShowException(error.what());
  } catch (...) {
    TForm1::ShowException(std::string());
  }
  Form1 = nullptr;
  Form2 = nullptr;
  return 0;
}
