// The Win32 window under Wine (or Windows): its controls as the system reports
// them, CONNECT clicked against the controller on COM5, a whole firmware write
// through the window, and a box of the reader thread let go when the window
// closes. The window needs a display: under Wine an X server (Xvfb).
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#undef MessageBox

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/Connecter.h"
#include "platform/Serial.h"
#include "platform/Sound.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "support/Wait.h"
#include "transfer/ImageStore.h"
#include "ui/win32/Led_controller12.h"
#include "ui/win32/Programmer.h"

namespace {

using namespace std::chrono_literals;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::wstring Text(HWND hwnd) {
  wchar_t buffer[512] = {};
  GetWindowTextW(hwnd, buffer, 512);
  return buffer;
}

// A control's rectangle inside its parent's client area.
RECT ClientRect(HWND control) {
  RECT rc;
  GetWindowRect(control, &rc);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rc), 2);
  return rc;
}

::testing::AssertionResult RectIs(HWND control, int x, int y, int w, int h) {
  const RECT rc = ClientRect(control);
  if (rc.left == x && rc.top == y && rc.right - rc.left == w && rc.bottom - rc.top == h) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "at " << rc.left << "," << rc.top << " size "
                                       << rc.right - rc.left << "x" << rc.bottom - rc.top;
}

// Runs the window thread's messages until pred() holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 10s) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return pred();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    while (PumpOneMessage(false)) {
      MSG msg;
      if (!PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) break;
    }
  }
  return true;
}

COLORREF PixelAt(HWND hwnd, int x, int y) {
  RedrawWindow(hwnd, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  HDC dc = GetDC(hwnd);
  const COLORREF colour = GetPixel(dc, x, y);
  ReleaseDC(hwnd, dc);
  return colour;
}

// PNG with stored (uncompressed) deflate blocks: no image library needed.
std::uint32_t Crc(const std::string& data, std::uint32_t crc = 0) {
  crc = ~crc;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
std::string Be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string Chunk(const std::string& type, const std::string& data) {
  return Be32(static_cast<std::uint32_t>(data.size())) + type + data + Be32(Crc(type + data));
}

// The window as it is on the screen, frame included when the system draws one.
bool SaveScreenshot(HWND hwnd, const std::filesystem::path& file) {
  RECT rc;
  GetWindowRect(hwnd, &rc);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bitmap);
  // The pixels on the screen, frame and caption included where the system
  // draws them (Wine: with "Decorated" off).
  RedrawWindow(hwnd, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  const bool printed = BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY) != FALSE;
  SelectObject(mem, old);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
  const int rows = GetDIBits(mem, bitmap, 0, h, bgra.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  if (!printed || rows != h) return false;

  std::string raw;
  for (int y = 0; y < h; ++y) {
    raw += '\0';
    for (int x = 0; x < w; ++x) {
      const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * w + x) * 4];
      raw += {char(p[2]), char(p[1]), char(p[0])};
    }
  }
  std::string z = "\x78\x01";
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t i = 0; i < raw.size(); i += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - i);
    z += char(i + n == raw.size() ? 1 : 0);
    z += {char(n & 0xFF), char(n >> 8), char(~n & 0xFF), char((~n >> 8) & 0xFF)};
    z += raw.substr(i, n);
  }
  z += Be32((b << 16) | a);
  const std::string header = Be32(static_cast<std::uint32_t>(w)) +
                             Be32(static_cast<std::uint32_t>(h)) +
                             std::string("\x08\x02\x00\x00\x00", 5);
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << "\x89PNG\r\n\x1a\n" << Chunk("IHDR", header) << Chunk("IDAT", z) << Chunk("IEND", "");
  return static_cast<bool>(out);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetImageStoreForTest();
    ResetConnecterForTest();
    platform::SetSoundPlayer([this](const std::string& path) {
      std::lock_guard lock(mutex_);
      sounds_.push_back(path);
    });
    try {
      form_ = std::make_unique<TForm1>();
    } catch (const std::exception& error) {
      GTEST_SKIP() << "no window without a display (under Wine: run in Xvfb): " << error.what();
    }
    ShowWindow(form_->Handle(), SW_SHOWNORMAL);
    UpdateWindow(form_->Handle());
  }
  void TearDown() override {
    TForm1::SetBoxAnswererForTest({});
    TForm1::SetDialogAnswererForTest({});
    if (form_ && form_->Alive()) PostMessageW(form_->Handle(), WM_CLOSE, 0, 0);
    if (form_) PumpUntil([&] { return !form_->Alive(); }, 5s);
    form_.reset();
    ClosePort();
    Timer2Stop();
    EXPECT_TRUE(WaitUntil(NoThreadsLeft, 10s));
    platform::SetSoundPlayer({});
    ResetMessagerForTest();
    ResetImageStoreForTest();
  }

  // A click on CONNECT, then the window's own timers until the controller's
  // report is in and the image buttons are on.
  bool ConnectByClick() {
    SendMessageW(form_->Button1, BM_CLICK, 0, 0);
    return PumpUntil(
        [&] {
          return IsWindowEnabled(form_->Button2) &&
                 form_->StatusText() == "The device is connected!";
        },
        60s);
  }

  std::unique_ptr<TForm1> form_;
  std::mutex mutex_;
  std::vector<std::string> sounds_;
};

TEST_F(WindowTest, ControlsAtTheirRectanglesWithCaptionsAndStates) {
  TForm1& f = *form_;
  RECT rc;
  GetWindowRect(f.Handle(), &rc);
  EXPECT_EQ(rc.left, 280);
  EXPECT_EQ(rc.top, 125);
  GetClientRect(f.Handle(), &rc);
  EXPECT_EQ(rc.right, 330);
  EXPECT_EQ(rc.bottom, 257);
  EXPECT_EQ(Text(f.Handle()), L"Tavrin Programmer 1.32");
  const LONG style = GetWindowLongW(f.Handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));

  struct Expected {
    HWND hwnd;
    int x, y, w, h;
    const wchar_t* text;
    bool enabled;
  };
  const Expected controls[] = {
      {f.CGauge1, -2, 216, 333, 17, L"0%", true},
      {f.Button1, 12, 128, 147, 25, L"CONNECT", true},
      {f.StatusBar1, 0, 232, 330, 25, L"", true},
      {f.Button3, 166, 128, 149, 25, L"DISCONNECT", true},
      {f.Memo1, 4, 8, 321, 111, L"", true},
      {f.Button2, 28, 158, 275, 25, L"update firmware", false},
      {f.Button4, 28, 188, 275, 25, L"write data map", false},
  };
  for (const Expected& c : controls) {
    SCOPED_TRACE(::testing::Message() << "control " << c.x << "," << c.y);
    EXPECT_TRUE(RectIs(c.hwnd, c.x, c.y, c.w, c.h));
    EXPECT_EQ(Text(c.hwnd), c.text);
    EXPECT_EQ(IsWindowEnabled(c.hwnd) != FALSE, c.enabled);
    EXPECT_TRUE(IsWindowVisible(c.hwnd));
  }
  EXPECT_EQ(ClientRect(f.ComboBox1).left, 184);
  EXPECT_EQ(ClientRect(f.ComboBox1).top, 128);
  EXPECT_FALSE(IsWindowVisible(f.ComboBox1));
  EXPECT_FALSE(GetWindowLongW(f.Memo1, GWL_STYLE) & ES_READONLY);
  // What the user typed stays a line of its own before the next added line.
  SetWindowTextW(f.Memo1, L"typed");
  f.AddLogLine("added");
  EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"typed", "added"}));
  f.ClearLog();
  EXPECT_TRUE(GetWindowLongW(f.Memo1, GWL_STYLE) & ES_MULTILINE);
  wchar_t cls[64] = {};
  GetClassNameW(f.StatusBar1, cls, 64);
  EXPECT_EQ(std::wstring(cls), STATUSCLASSNAMEW);

  // Tab order: the siblings with a tab stop, in order.
  std::vector<HWND> tabs;
  for (HWND c = GetWindow(f.Handle(), GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (GetWindowLongW(c, GWL_STYLE) & WS_TABSTOP) tabs.push_back(c);
  }
  EXPECT_EQ(tabs,
            (std::vector<HWND>{f.Button1, f.Button3, f.Memo1, f.Button2, f.Button4, f.ComboBox1}));

  // The font: "MS Sans Serif", 11 pixels high at 96 dpi.
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(f.Button1, WM_GETFONT, 0, 0)), sizeof(font),
             &font);
  EXPECT_EQ(std::wstring(font.lfFaceName), L"MS Sans Serif");
  EXPECT_EQ(font.lfCharSet, RUSSIAN_CHARSET);

  // The plain message: OK only, under the program file's name.
  std::vector<std::string> message;
  TForm1::SetBoxAnswererForTest([&](const std::string& text, const std::string& caption, int flags) {
    message = {text, caption, std::to_string(flags)};
    return kIdOk;
  });
  f.ShowMessage("Файл поврежден!");
  EXPECT_EQ(message, (std::vector<std::string>{"Файл поврежден!", "windows_window_test", "0"}));

  EXPECT_TRUE(f.TimerRunning(WindowTimer::Timer3));
  EXPECT_FALSE(f.TimerRunning(WindowTimer::Timer1));
  EXPECT_GT(f.PortListCount(), 0);  // FormCreate filled it: COM5 at least

  // The hidden second window.
  TForm2 form2;
  GetWindowRect(form2.Handle(), &rc);
  EXPECT_EQ(Text(form2.Handle()), L"LED CONTROLLER 12 Channel");
  EXPECT_EQ(rc.left, 385);
  EXPECT_EQ(rc.top, 178);
  EXPECT_EQ(rc.right - rc.left, 449);
  EXPECT_EQ(rc.bottom - rc.top, 323);
  EXPECT_FALSE(IsWindowVisible(form2.Handle()));

  // The colour as drawn, and the gauge: navy from the left, white after.
  EXPECT_EQ(PixelAt(f.Handle(), 2, 2), GetSysColor(COLOR_BTNFACE));
  EXPECT_TRUE(SaveScreenshot(f.Handle(), std::filesystem::path(TAVRIN_WINDOWS_SCREENSHOT_DIR) /
                                             "windows-main-window.png"));
  f.SetColour(WindowColour::Red);
  EXPECT_EQ(PixelAt(f.Handle(), 2, 2), RGB(255, 0, 0));
  f.SetGauge(140);
  EXPECT_EQ(Text(f.CGauge1), L"100%");
  f.SetGauge(60);
  EXPECT_EQ(PixelAt(f.CGauge1, 3, 3), RGB(0, 0, 128));
  EXPECT_EQ(PixelAt(f.CGauge1, 320, 3), RGB(255, 255, 255));
  // The gauge's bottom row lies under the status bar's top row, which stays
  // the status bar's after the gauge repaints.
  RedrawWindow(f.CGauge1, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  {
    HDC dc = GetDC(f.Handle());
    EXPECT_NE(GetPixel(dc, 100, 232), RGB(0, 0, 0));
    ReleaseDC(f.Handle(), dc);
  }
  EXPECT_TRUE(SaveScreenshot(f.Handle(), std::filesystem::path(TAVRIN_WINDOWS_SCREENSHOT_DIR) /
                                             "windows-main-window-red-gauge-60.png"));
}

TEST_F(WindowTest, ConnectClickWritesTheReportAndTurnsTheWindowGreen) {
  if (Env("TAVRIN_TEST_PORT").empty())
    GTEST_SKIP() << "TAVRIN_TEST_PORT names no port with a controller";
  ASSERT_TRUE(ConnectByClick()) << form_->StatusText();
  const CatalogueEntry* entry = FindCatalogueEntry(DeviceInfo.DeviceCode.load());
  ASSERT_NE(entry, nullptr);
  const auto log = form_->LogLines();
  ASSERT_GT(log.size(), 2u);
  EXPECT_EQ(log[0], entry->firstLine);
  EXPECT_EQ(log[1], "");
  EXPECT_FALSE(IsWindowEnabled(form_->Button1));
  EXPECT_EQ(form_->Colour(), WindowColour::LightGreen);
  EXPECT_EQ(PixelAt(form_->Handle(), 2, 2), RGB(169, 234, 159));

  SendMessageW(form_->Button3, BM_CLICK, 0, 0);
  EXPECT_EQ(form_->StatusText(), "device disconnected.");
  EXPECT_TRUE(IsWindowEnabled(form_->Button1));
  EXPECT_EQ(PixelAt(form_->Handle(), 2, 2), GetSysColor(COLOR_BTNFACE));
}

TEST_F(WindowTest, AWholeFirmwareWriteEndsInTheSuccessBox) {
  std::string file = Env("TAVRIN_TEST_FIRMWARE");
  if (file.empty() && TAVRIN_WINDOWS_SAMPLES_DIR[0] != '\0') {
    file = std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/device1-firmware-v12.sbin";
  }
  if (Env("TAVRIN_TEST_PORT").empty() || file.empty())
    GTEST_SKIP() << "no controller or firmware file";
  std::vector<ShownBox> asked;
  TForm1::SetDialogAnswererForTest([&](const std::string&, const std::string&) { return file; });
  TForm1::SetBoxAnswererForTest(
      [&](const std::string& text, const std::string& caption, int flags) {
        asked.push_back({"box", text, caption, flags, kIdOk, true});
        return kIdOk;
      });
  ASSERT_TRUE(ConnectByClick()) << form_->StatusText();

  SendMessageW(form_->Button2, BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !asked.empty(); }, 120s)) << form_->StatusText();
  EXPECT_EQ(asked[0].caption, "ОК");
  EXPECT_EQ(asked[0].text, "Firmware update completed successfully!");
  EXPECT_EQ(asked[0].flags, kMbOk);
  const auto shown = form_->BoxesShown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].kind, "dialog");
  EXPECT_EQ(shown[0].text, "binary file SBIN (*.sbin)|*.sbin");
  EXPECT_EQ(shown[0].caption, "sbin");

  // Disconnected, and the ready sound asked for by Timer3.
  EXPECT_TRUE(PumpUntil([&] {
    std::lock_guard lock(mutex_);
    return !sounds_.empty();
  }));
  EXPECT_EQ(sounds_, std::vector<std::string>{"voice//update_is_ready.wav"});
  EXPECT_EQ(form_->StatusText(), "device disconnected.");
  EXPECT_TRUE(IsWindowEnabled(form_->Button1));
  EXPECT_FALSE(IsWindowEnabled(form_->Button2));
  EXPECT_EQ(Text(form_->CGauge1), L"0%");
  EXPECT_EQ(form_->Colour(), WindowColour::ButtonFace);
  EXPECT_TRUE(form_->LogLines().empty());
}

TEST_F(WindowTest, KeyboardFocusStartsOnConnectMovesWithTabAndComesBack) {
  TForm1& f = *form_;
  ASSERT_TRUE(PumpUntil([&] { return GetFocus() == f.Button1; }, 5s)) << GetFocus();
  // Tab and Shift+Tab as the message loop gets them.
  auto tab = [&](bool shift) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    HWND from = GetFocus();
    PostMessageW(from, WM_KEYDOWN, VK_TAB, 0);
    PumpUntil([&] { return GetFocus() != from; }, 2s);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    return GetFocus();
  };
  EXPECT_EQ(tab(false), f.Button3);
  EXPECT_EQ(tab(false), f.Memo1);
  // Escape in the log, as the message loop gets it: a multi-line edit in a
  // dialog closes its parent, here the whole window. The close would be
  // queued behind the keys and the Tab that follows them.
  PostMessageW(f.Memo1, WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageW(f.Memo1, WM_CHAR, VK_ESCAPE, 1);
  EXPECT_EQ(tab(true), f.Button3);
  MSG close;
  EXPECT_FALSE(PeekMessageW(&close, f.Handle(), WM_CLOSE, WM_CLOSE, PM_NOREMOVE));

  // Another window takes the focus; coming back gives it to DISCONNECT again.
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                               100, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  SetActiveWindow(other);
  EXPECT_TRUE(PumpUntil([&] { return GetFocus() != f.Button3; }, 2s));
  SetForegroundWindow(f.Handle());
  SetActiveWindow(f.Handle());
  EXPECT_TRUE(PumpUntil([&] { return GetFocus() == f.Button3; }, 2s)) << GetFocus();
  DestroyWindow(other);

  // A focused button that is disabled hands the focus on.
  SetFocus(f.Button1);
  f.EnableControl(Control::Button1, false);
  EXPECT_EQ(GetFocus(), f.Button3);
}

TEST_F(WindowTest, ClosingDuringAFirmwareWriteEndsPromptlyAndFreesThePort) {
  std::string file = Env("TAVRIN_TEST_FIRMWARE");
  if (file.empty() && TAVRIN_WINDOWS_SAMPLES_DIR[0] != '\0') {
    file = std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/device1-firmware-v12.sbin";
  }
  const std::string port = Env("TAVRIN_TEST_PORT");
  if (port.empty() || file.empty()) GTEST_SKIP() << "no controller or firmware file";
  TForm1::SetDialogAnswererForTest([&](const std::string&, const std::string&) { return file; });
  TForm1::SetBoxAnswererForTest([](const std::string&, const std::string&, int) { return kIdOk; });
  ASSERT_TRUE(ConnectByClick()) << form_->StatusText();
  SendMessageW(form_->Button2, BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return form_->Gauge() >= 10; }, 60s)) << form_->StatusText();
  ASSERT_LT(form_->Gauge(), 100);

  const auto start = std::chrono::steady_clock::now();
  PostMessageW(form_->Handle(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !form_->Alive(); }, 5s));
  EXPECT_TRUE(WaitUntil(NoThreadsLeft, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  auto again = platform::SerialOpen(port);
  EXPECT_NE(again, nullptr);
  if (again) platform::SerialClose(*again);
}

TEST_F(WindowTest, ABoxOfTheReaderThreadIsLetGoWhenTheWindowCloses) {
  std::atomic<bool> answered{false};
  int answer = 0;
  std::thread reader([&] {
    answer = Window().MessageBox("Записать?", "", kMbYesNoInfo);
    answered = true;
  });
  // The real box is up (recorded just before it shows, and this thread is
  // inside its loop): the window is closed from outside, as the system would.
  std::atomic<bool> shown{false};
  TForm1* form = form_.get();
  HWND hwnd = form->Handle();
  std::thread closer([&] {
    shown = WaitUntil([&] { return !form->BoxesShown().empty(); }, 10s);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
  });
  const bool freed = PumpUntil([&] { return answered.load() && !form_->Alive(); });
  closer.join();
  if (!answered) form_.reset();  // never leave the thread blocked
  reader.join();
  ASSERT_TRUE(shown);
  ASSERT_TRUE(freed);
  EXPECT_EQ(answer, kIdNo);
  const auto boxes = form_->BoxesShown();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "");
  EXPECT_TRUE(boxes[0].closed);
  EXPECT_FALSE(Window().IsWindowThread());  // the null window is back
}

}  // namespace
