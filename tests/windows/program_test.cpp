// tavrin-programmer.exe itself, driven from outside as a user would: CONNECT
// against the controller on COM5, update firmware with the system's file
// dialog, the success box, then closing the window ends the program with 0.
// Under Wine the window needs an X display (Xvfb).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::wstring Widen(const std::string& s) {
  std::wstring out(s.size(), L'\0');
  out.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), static_cast<int>(out.size()))));
  return out;
}

std::wstring Text(HWND hwnd) {
  wchar_t buffer[512] = {};
  SendMessageTimeoutW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                      2000, nullptr);
  return buffer;
}

template <class F>
auto WaitFor(F f, std::chrono::milliseconds deadline) -> decltype(f()) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    auto value = f();
    if (value || std::chrono::steady_clock::now() >= until) return value;
    std::this_thread::sleep_for(20ms);
  }
}

// A top-level dialog of the program owned by its window, by caption (or any).
HWND OwnedDialog(HWND owner, const wchar_t* caption) {
  struct Find {
    HWND owner;
    const wchar_t* caption;
    HWND found;
  } find{owner, caption, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* f = reinterpret_cast<Find*>(param);
        wchar_t cls[16] = {};
        GetClassNameW(hwnd, cls, 16);
        if (std::wstring(cls) != L"#32770" || GetWindow(hwnd, GW_OWNER) != f->owner) return TRUE;
        if (f->caption != nullptr && Text(hwnd) != f->caption) return TRUE;
        f->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&find));
  return find.found;
}

TEST(Program, WritesFirmwareFromAClickOnConnectToTheSuccessBox) {
  if (std::getenv("TAVRIN_TEST_PORT") == nullptr || TAVRIN_WINDOWS_SAMPLES_DIR[0] == '\0') {
    GTEST_SKIP() << "no controller";
  }
  std::wstring command = L"\"" + Widen(TAVRIN_PROGRAM_EXE) + L"\"";
  const std::wstring folder = Widen(TAVRIN_PROGRAM_FOLDER);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder.c_str(), &si, &pi))
      << GetLastError();
  struct Stop {
    PROCESS_INFORMATION& pi;
    ~Stop() {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  } stop{pi};

  // Shown once it is complete.
  HWND form = WaitFor(
      [] {
        HWND found = FindWindowW(L"TForm1", L"Tavrin Programmer 1.32");
        return found != nullptr && IsWindowVisible(found) ? found : nullptr;
      },
      30s);
  if (form == nullptr && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
    GTEST_SKIP() << "the program could not show its window (no display?)";
  }
  ASSERT_NE(form, nullptr);
  HWND connect = FindWindowExW(form, nullptr, L"BUTTON", L"CONNECT");
  HWND update = FindWindowExW(form, nullptr, L"BUTTON", L"update firmware");
  HWND status = FindWindowExW(form, nullptr, L"msctls_statusbar32", nullptr);
  ASSERT_TRUE(connect && update && status);

  PostMessageW(connect, BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(update) != FALSE; }, 60s))
      << Text(status).size();
  EXPECT_EQ(Text(status), L"The device is connected!");

  // The system's file dialog: the file's name typed in, then Open.
  PostMessageW(update, BM_CLICK, 0, 0);
  HWND dialog = nullptr;
  const HWND name = WaitFor(
      [&]() -> HWND {
        dialog = OwnedDialog(form, nullptr);
        if (dialog == nullptr || !IsWindowVisible(dialog)) return nullptr;
        return GetDlgItem(dialog, 0x47c);  // the file-name box
      },
      30s);
  ASSERT_NE(name, nullptr);
  std::wstring file = Widen(std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/device1-firmware-v12.sbin");
  for (wchar_t& c : file) {
    if (c == L'/') c = L'\\';
  }
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);

  HWND box = WaitFor([&] { return OwnedDialog(form, L"ОК"); }, 120s);
  ASSERT_NE(box, nullptr) << "no success box";
  EXPECT_EQ(Text(GetDlgItem(box, 0xFFFF)), L"Firmware update completed successfully!");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitFor([&] { return OwnedDialog(form, L"ОК") == nullptr; }, 10s));
  EXPECT_EQ(Text(status), L"device disconnected.");
  EXPECT_TRUE(IsWindowEnabled(connect));

  PostMessageW(form, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
