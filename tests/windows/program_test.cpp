// tavrin-programmer.exe itself, driven from outside as a user would: CONNECT
// against the controller on COM5, update firmware with the system's file
// dialog, the success box, then closing the window ends the program with 0.
// Under Wine the window needs an X display (Xvfb). And tavrin-cli.exe, run as
// a script runs it, its outputs going to files.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// tavrin-cli.exe with standard input from NUL and both outputs in files.
struct CliRun {
  DWORD exit = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CliRun RunCli(const std::vector<std::string>& args) {
  CliRun run;
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring base =
      std::wstring(folder) + L"tavrin-cli-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring outPath = base + L".out";
  const std::wstring errPath = base + L".err";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  std::wstring command = L"\"" + Widen(TAVRIN_CLI_EXE) + L"\"";
  for (const std::string& a : args) command += L" \"" + Widen(a) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     nullptr, &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(pi.hProcess, &run.exit);
    } else {
      TerminateProcess(pi.hProcess, 1);
      WaitForSingleObject(pi.hProcess, 10000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  for (HANDLE h : {in, out, err}) CloseHandle(h);
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  DeleteFileW(outPath.c_str());
  DeleteFileW(errPath.c_str());
  return run;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TAVRIN_TEST_PORT") == nullptr || TAVRIN_WINDOWS_SAMPLES_DIR[0] == '\0')
      GTEST_SKIP() << "no controller";
  }
  static std::string Sample(const std::string& name) {
    return std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/" + name;
  }
};

// The controller on COM5: device 1, firmware 11, data map 2.
TEST_F(CliProgram, IdentifiesTheControllerAsJsonWithTheReportInUtf8) {
  const CliRun run = RunCli({"identify", "--port", "COM5", "--timeout", "30", "--json"});
  EXPECT_EQ(run.exit, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "\"deviceCode\":1,")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"firmwareVersion\":11,")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"result\":\"identified\"")) << run.out;
  // A file gets the UTF-8 bytes, whatever the console's code page.
  EXPECT_TRUE(Has(run.out, "\"Версия микропрограммы (firmware): 11\"")) << run.out;
}

TEST_F(CliProgram, WritesAWholeFirmwareAndVerifiesTheVersion) {
  const CliRun run = RunCli({"write", Sample("device1-firmware-v12.sbin"), "--verify", "--port",
                             "COM5", "--timeout", "30", "--json"});
  EXPECT_EQ(run.exit, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "\"firmwareVersionAfter\":12,")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"result\":\"written\"")) << run.out;
  EXPECT_TRUE(Has(run.err, "Verified: the controller reports firmware 12.")) << run.err;
}

TEST_F(CliProgram, RefusesFirmwareForAnotherDeviceWithExitFive) {
  const CliRun run = RunCli(
      {"write", Sample("device5-firmware-v3.sbin"), "--port", "COM5", "--timeout", "30", "--json"});
  EXPECT_EQ(run.exit, 5u) << run.err;
  EXPECT_TRUE(Has(run.out, " The firmware is not designed for this device! ")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"result\":\"refused\"")) << run.out;
}

// Two slots, each a worker process of its own: the controller's port, and
// one with nobody on it, which fails alone.
TEST_F(CliProgram, WritesOnSeveralPortsAtOnceEachInAWorkerOfItsOwn) {
  const CliRun run = RunCli({"write", Sample("device1-firmware-v12.sbin"), "--yes", "--port",
                             "COM5,COM6", "--timeout", "5", "--json"});
  EXPECT_EQ(run.exit, 3u) << run.err;
  EXPECT_TRUE(Has(run.out, "\"port\":\"COM5\",")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"result\":\"written\",")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"slot\":1,")) << run.out;
  EXPECT_TRUE(Has(run.err, "Slot 1, COM5: 1 written, 0 failed, 0 refused; exit 0.")) << run.err;
  EXPECT_TRUE(Has(run.err, "Slot 2, COM6: 0 written, 0 failed, 0 refused; exit 3.")) << run.err;
}

}  // namespace
