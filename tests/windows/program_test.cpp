// The Windows release and tavrin-programmer.exe in it, driven from outside as
// a user and a deployment tool would: the silent install, CONNECT against the
// controller on COM5, update firmware with the system's file dialog, the
// success box, closing the window (exit code 0), the silent uninstall; and the
// program of the zip. Under Wine the window needs an X display (Xvfb). And
// tavrin-cli.exe, run as a script runs it, its outputs going to files.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Utf16.h"

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

namespace {

using namespace std::chrono_literals;

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

std::wstring Windows(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// CONNECT against the controller on COM5, update firmware with the sample
// file typed into the system's file dialog, the success box closed.
void WriteFirmwareThroughTheWindow(HWND form) {
  HWND connect = FindWindowExW(form, nullptr, L"BUTTON", L"CONNECT");
  HWND update = FindWindowExW(form, nullptr, L"BUTTON", L"update firmware");
  HWND status = FindWindowExW(form, nullptr, L"msctls_statusbar32", nullptr);
  ASSERT_TRUE(connect && update && status);

  PostMessageW(connect, BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(update) != FALSE; }, 60s))
      << Text(status).size();
  EXPECT_EQ(Text(status), L"The device is connected!");

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
  const std::wstring file =
      Windows(Utf8ToUtf16(std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/device1-firmware-v12.sbin"));
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);

  HWND box = WaitFor([&] { return OwnedDialog(form, L"ОК"); }, 120s);
  ASSERT_NE(box, nullptr) << "no success box";
  EXPECT_EQ(Text(GetDlgItem(box, 0xFFFF)), L"Firmware update completed successfully!");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitFor([&] { return OwnedDialog(form, L"ОК") == nullptr; }, 10s));
  EXPECT_EQ(Text(status), L"device disconnected.");
  EXPECT_TRUE(IsWindowEnabled(connect));
}

// A process of the program, ended by force if a test leaves it running.
struct Running {
  PROCESS_INFORMATION pi{};
  Running() = default;
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() {
    if (pi.hProcess == nullptr) return;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  DWORD Wait(DWORD ms) {
    if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
};

// Starts a command line in a folder; the standard error goes to errFile when
// one is named.
bool Start(Running& run, std::wstring command, const std::wstring& folder,
           const std::wstring& errFile = L"") {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  HANDLE err = nullptr;
  if (!errFile.empty()) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    err = CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err == INVALID_HANDLE_VALUE) return false;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = err;
    si.hStdError = err;
  }
  const BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, err != nullptr, 0,
                                 nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &run.pi);
  if (err != nullptr) CloseHandle(err);
  return ok != FALSE;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::wstring& file) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The program's window once it is shown complete, or nothing.
HWND ShownForm(Running& run) {
  HWND form = WaitFor(
      [&]() -> HWND {
        HWND found = FindWindowW(L"TForm1", L"Tavrin Programmer 1.32");
        if (found == nullptr || !IsWindowVisible(found)) return nullptr;
        DWORD pid = 0;
        GetWindowThreadProcessId(found, &pid);
        return pid == run.pi.dwProcessId ? found : nullptr;
      },
      30s);
  return form;
}

// A value of the installer's uninstall entry, in the 64-bit registry view.
std::wstring UninstallValue(const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tavrin Programmer",
                   name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return L"";
  }
  return value;
}

std::wstring StartMenuShortcut() {
  wchar_t programs[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, programs);
  return std::wstring(programs) + L"\\Tavrin Programmer 1.32\\Tavrin Programmer.lnk";
}

// The whole life of an installation, as a technician and a deployment tool
// see it: the silent install, the installed program started from another
// folder writing a firmware image through CONNECT and the system's file
// dialog and finding its sounds beside itself, then the silent uninstall.
TEST(Program, InstallsRunsFromAnotherFolderAndUninstallsLeavingNothing) {
  if (std::getenv("TAVRIN_TEST_PORT") == nullptr || TAVRIN_WINDOWS_SAMPLES_DIR[0] == '\0') {
    GTEST_SKIP() << "no controller";
  }
  const std::wstring setup = Windows(Utf8ToUtf16(TAVRIN_SETUP_EXE));
  ASSERT_TRUE(Exists(setup)) << "no installer: build the package target first";
  wchar_t tempBuffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempBuffer);
  const std::wstring temp = tempBuffer;
  const std::wstring folder = temp + L"tavrin install test\\Tavrin Programmer";
  const std::wstring elsewhere = temp + L"tavrin install test";
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(elsewhere), ignored);
  std::filesystem::create_directories(std::filesystem::path(elsewhere), ignored);

  {
    Running install;
    ASSERT_TRUE(Start(install, L"\"" + setup + L"\" /S /D=" + folder, L"")) << GetLastError();
    ASSERT_EQ(install.Wait(120000), 0u);
  }
  for (const wchar_t* file : {L"tavrin-programmer.exe", L"voice\\update_is_ready.wav",
                              L"voice\\update_failed.wav", L"README.md", L"LICENSE", L"THIRD-PARTY-NOTICES",
                              L"Uninstall.exe"}) {
    EXPECT_TRUE(Exists(folder + L"\\" + file)) << Utf16ToUtf8(file);
  }
  EXPECT_TRUE(Exists(StartMenuShortcut()));
  EXPECT_EQ(UninstallValue(L"DisplayName"), L"Tavrin Programmer 1.32");
  EXPECT_EQ(UninstallValue(L"DisplayVersion"), L"1.32");
  EXPECT_EQ(UninstallValue(L"Publisher"), L"Tavrin Programmer developers");
  EXPECT_EQ(UninstallValue(L"UninstallString"), L"\"" + folder + L"\\Uninstall.exe\"");
  const std::wstring quiet = UninstallValue(L"QuietUninstallString");
  EXPECT_EQ(quiet, L"\"" + folder + L"\\Uninstall.exe\" /S");

  {
    Running run;
    SetEnvironmentVariableW(L"TAVRIN_SHOW_SOUND_PATHS", L"1");
    const std::wstring errFile = elsewhere + L"\\stderr.txt";
    const bool started = Start(run, L"\"" + folder + L"\\tavrin-programmer.exe\"", elsewhere, errFile);
    SetEnvironmentVariableW(L"TAVRIN_SHOW_SOUND_PATHS", nullptr);
    ASSERT_TRUE(started) << GetLastError();
    HWND form = ShownForm(run);
    ASSERT_NE(form, nullptr);
    WriteFirmwareThroughTheWindow(form);
    if (HasFatalFailure()) return;
    PostMessageW(form, WM_CLOSE, 0, 0);
    ASSERT_EQ(run.Wait(10000), 0u);
    const std::string paths = ReadAll(errFile);
    EXPECT_NE(paths.find("voice//update_is_ready.wav: " + Utf16ToUtf8(folder + L"\\voice\\update_is_ready.wav")),
              std::string::npos)
        << paths;
  }

  {
    // The uninstaller copies itself away and returns before it is done.
    Running uninstall;
    ASSERT_TRUE(Start(uninstall, quiet, elsewhere)) << GetLastError();
    ASSERT_EQ(uninstall.Wait(60000), 0u);
  }
  // The shortcut goes last.
  EXPECT_TRUE(WaitFor([&] { return !Exists(StartMenuShortcut()); }, 60s)) << "the shortcut stays";
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(UninstallValue(L"UninstallString").empty());
  std::filesystem::remove_all(std::filesystem::path(elsewhere), ignored);
}

// Whether the uninstaller still runs: started, it copies itself away as
// Un.exe and returns at once, and that copy takes the registry entry and the
// files away before its last steps (the PATH's among them, were there any).
bool UninstallerRuns() {
  const HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (all == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool runs = false;
  for (BOOL more = Process32FirstW(all, &entry); more && !runs; more = Process32NextW(all, &entry))
    runs = _wcsicmp(entry.szExeFile, L"Un.exe") == 0;
  CloseHandle(all);
  return runs;
}

// The PATH as the registry holds it for this user and for all (empty when
// there is none).
std::wstring RegistryPath(HKEY root, const wchar_t* key) {
  wchar_t value[8192] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(root, key, L"Path", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                   value, &size) != ERROR_SUCCESS)
    return L"";
  return value;
}
constexpr const wchar_t* kUserEnvironment = L"Environment";
constexpr const wchar_t* kSystemEnvironment =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Installed into a folder of another product's, with a README.md and an
// Uninstall.exe of its own, the program goes into a folder of its own there;
// uninstalled, it leaves the other product's files, and the PATH, as they
// were, also when the PATH names the folder's bin.
TEST(Program, InstalledAmongAnotherProductsFilesItLeavesThemAndThePathAlone) {
  const std::wstring setup = Windows(Utf8ToUtf16(TAVRIN_SETUP_EXE));
  ASSERT_TRUE(Exists(setup)) << "no installer: build the package target first";
  wchar_t tempBuffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempBuffer);
  const std::wstring tools = std::wstring(tempBuffer) + L"tavrin foreign tools";
  const std::wstring own = tools + L"\\Tavrin Programmer";
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(tools), ignored);
  std::filesystem::create_directories(std::filesystem::path(tools), ignored);
  const std::string readme = "README of another product\n";
  const std::string uninstaller = "the other product's uninstaller\n";
  std::ofstream(std::filesystem::path(tools + L"\\README.md"), std::ios::binary) << readme;
  std::ofstream(std::filesystem::path(tools + L"\\Uninstall.exe"), std::ios::binary) << uninstaller;
  // A PATH that names the bin folders the stock uninstaller would take out.
  const std::wstring userPathBefore = RegistryPath(HKEY_CURRENT_USER, kUserEnvironment);
  const std::wstring userPath = tools + L"\\bin;" + own + L"\\bin;C:\\elsewhere";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kUserEnvironment, L"Path", REG_EXPAND_SZ,
                            userPath.c_str(), static_cast<DWORD>((userPath.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  const std::wstring systemPath = RegistryPath(HKEY_LOCAL_MACHINE, kSystemEnvironment);

  {
    Running install;
    ASSERT_TRUE(Start(install, L"\"" + setup + L"\" /S /D=" + tools, L"")) << GetLastError();
    ASSERT_EQ(install.Wait(120000), 0u);
  }
  EXPECT_TRUE(Exists(own + L"\\tavrin-programmer.exe"));
  EXPECT_TRUE(Exists(own + L"\\Uninstall.exe"));
  EXPECT_FALSE(Exists(tools + L"\\tavrin-programmer.exe"));
  EXPECT_EQ(ReadAll(tools + L"\\README.md"), readme);
  EXPECT_EQ(ReadAll(tools + L"\\Uninstall.exe"), uninstaller);
  const std::wstring quiet = UninstallValue(L"QuietUninstallString");
  EXPECT_EQ(quiet, L"\"" + own + L"\\Uninstall.exe\" /S");
  {
    Running uninstall;
    ASSERT_TRUE(Start(uninstall, quiet, tools)) << GetLastError();
    ASSERT_EQ(uninstall.Wait(60000), 0u);
  }
  // The uninstaller copies itself away and returns before it is done.
  EXPECT_TRUE(WaitFor([&] { return UninstallValue(L"UninstallString").empty() && !Exists(own); }, 60s))
      << "the installation stays";
  EXPECT_TRUE(WaitFor([] { return !UninstallerRuns(); }, 60s)) << "the uninstaller does not end";
  EXPECT_EQ(ReadAll(tools + L"\\README.md"), readme);
  EXPECT_EQ(ReadAll(tools + L"\\Uninstall.exe"), uninstaller);
  EXPECT_EQ(RegistryPath(HKEY_CURRENT_USER, kUserEnvironment), userPath);
  EXPECT_EQ(RegistryPath(HKEY_LOCAL_MACHINE, kSystemEnvironment), systemPath);

  if (userPathBefore.empty())
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kUserEnvironment, L"Path");
  else
    RegSetKeyValueW(HKEY_CURRENT_USER, kUserEnvironment, L"Path", REG_EXPAND_SZ, userPathBefore.c_str(),
                    static_cast<DWORD>((userPathBefore.size() + 1) * sizeof(wchar_t)));
  std::filesystem::remove_all(std::filesystem::path(tools), ignored);
}

// Installed again into the folder it is in (an upgrade), the program stays
// there, also when the user keeps files of their own beside it: the old
// version's uninstaller, left behind in the folder, does not make the folder
// look like another product's and send the new one a folder deeper.
TEST(Program, AnUpgradeStaysInTheFolderOfTheInstallationBefore) {
  const std::wstring setup = Windows(Utf8ToUtf16(TAVRIN_SETUP_EXE));
  ASSERT_TRUE(Exists(setup)) << "no installer: build the package target first";
  wchar_t tempBuffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempBuffer);
  const std::wstring folder = std::wstring(tempBuffer) + L"tavrin upgraded";
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(folder), ignored);
  const std::string notes = "the bench's own notes\n";
  for (int round = 0; round < 3; ++round) {
    Running install;
    ASSERT_TRUE(Start(install, L"\"" + setup + L"\" /S /D=" + folder, L"")) << GetLastError();
    ASSERT_EQ(install.Wait(120000), 0u) << "round " << round;
    EXPECT_TRUE(Exists(folder + L"\\tavrin-programmer.exe")) << "round " << round;
    EXPECT_FALSE(Exists(folder + L"\\Tavrin Programmer")) << "round " << round;
    EXPECT_EQ(UninstallValue(L"QuietUninstallString"), L"\"" + folder + L"\\Uninstall.exe\" /S")
        << "round " << round;
    if (round == 1) std::ofstream(std::filesystem::path(folder + L"\\notes.txt"), std::ios::binary) << notes;
  }
  EXPECT_EQ(ReadAll(folder + L"\\notes.txt"), notes);
  {
    Running uninstall;
    ASSERT_TRUE(Start(uninstall, UninstallValue(L"QuietUninstallString"), folder)) << GetLastError();
    ASSERT_EQ(uninstall.Wait(60000), 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return UninstallValue(L"UninstallString").empty() &&
                                   !Exists(folder + L"\\tavrin-programmer.exe"); }, 60s));
  EXPECT_TRUE(WaitFor([] { return !UninstallerRuns(); }, 60s)) << "the uninstaller does not end";
  EXPECT_EQ(ReadAll(folder + L"\\notes.txt"), notes) << "the user's file went with the program";
  std::filesystem::remove_all(std::filesystem::path(folder), ignored);
}

// An installation whose folder was deleted by hand (its entry stays in the
// registry) does not stop the next one: there is nothing of it to uninstall.
TEST(Program, AnInstallationDeletedByHandDoesNotStopTheNextOne) {
  const std::wstring setup = Windows(Utf8ToUtf16(TAVRIN_SETUP_EXE));
  ASSERT_TRUE(Exists(setup)) << "no installer: build the package target first";
  wchar_t tempBuffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempBuffer);
  const std::wstring folder = std::wstring(tempBuffer) + L"tavrin deleted by hand";
  std::error_code ignored;
  for (int round = 0; round < 2; ++round) {
    std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    Running install;
    ASSERT_TRUE(Start(install, L"\"" + setup + L"\" /S /D=" + folder, L"")) << GetLastError();
    ASSERT_EQ(install.Wait(60000), 0u) << "round " << round;
    EXPECT_TRUE(Exists(folder + L"\\tavrin-programmer.exe")) << "round " << round;
  }
  {
    Running uninstall;
    ASSERT_TRUE(Start(uninstall, UninstallValue(L"QuietUninstallString"), folder)) << GetLastError();
    ASSERT_EQ(uninstall.Wait(60000), 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return UninstallValue(L"UninstallString").empty() && !Exists(folder); }, 60s));
  EXPECT_TRUE(WaitFor([] { return !UninstallerRuns(); }, 60s)) << "the uninstaller does not end";
}

// The version the project gives (CMakeLists.txt), as the program's version
// resource, its manifest and its --version carry it.
TEST(Program, CarriesTheProjectsVersionInItsResourceManifestAndVersionOption) {
  const std::wstring exe = Windows(Utf8ToUtf16(TAVRIN_PROGRAMMER_EXE));
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  for (const wchar_t* name : {L"\\StringFileInfo\\040904B0\\FileVersion",
                              L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), name, reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(Utf16ToUtf8(text), TAVRIN_PROJECT_VERSION) << Utf16ToUtf8(name);
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS));
  EXPECT_EQ(numbers, TAVRIN_PROJECT_VERSION);

  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  std::string manifest;
  if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    const auto* data = static_cast<const char*>(LockResource(LoadResource(image, found)));
    if (data != nullptr) manifest.assign(data, SizeofResource(image, found));
  }
  FreeLibrary(image);
  EXPECT_NE(manifest.find(std::string("name=\"Tavrin.Programmer\" version=\"") +
                          TAVRIN_PROJECT_VERSION + ".0.0\""),
            std::string::npos)
      << manifest;

  // A window program: the version goes to the output it was given.
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring outFile = std::wstring(folder) + L"tavrin-programmer-version.txt";
  {
    Running run;
    ASSERT_TRUE(Start(run, L"\"" + exe + L"\" --version", L"", outFile)) << GetLastError();
    EXPECT_EQ(run.Wait(30000), 0u);
  }
  EXPECT_EQ(ReadAll(outFile), std::string("tavrin-programmer ") + TAVRIN_PROJECT_VERSION + "\r\n");
  DeleteFileW(outFile.c_str());
}

// The portable zip, unpacked by the test's fixture: the program at the top
// carries its manifest (visual styles, the DPI choice) and starts.
TEST(Program, TheZipUnpacksToAProgramWithItsManifestThatStarts) {
  const std::wstring folder = Windows(Utf8ToUtf16(TAVRIN_UNZIPPED_DIR));
  const std::wstring exe = folder + L"\\tavrin-programmer.exe";
  ASSERT_TRUE(Exists(exe)) << "no unpacked zip: build the package target first";
  EXPECT_TRUE(Exists(folder + L"\\voice\\update_is_ready.wav"));
  EXPECT_TRUE(Exists(folder + L"\\LICENSE"));

  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  std::string manifest;
  if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    const auto* data = static_cast<const char*>(LockResource(LoadResource(image, found)));
    if (data != nullptr) manifest.assign(data, SizeofResource(image, found));
  }
  FreeLibrary(image);
  EXPECT_NE(manifest.find(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">false</dpiAware>)"),
            std::string::npos);

  Running run;
  ASSERT_TRUE(Start(run, L"\"" + exe + L"\"", L"")) << GetLastError();
  HWND form = ShownForm(run);
  if (form == nullptr && run.Wait(0) != STILL_ACTIVE) {
    GTEST_SKIP() << "the program could not show its window (no display?)";
  }
  ASSERT_NE(form, nullptr);
  PostMessageW(form, WM_CLOSE, 0, 0);
  EXPECT_EQ(run.Wait(10000), 0u);
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
  std::wstring command = L"\"" + Utf8ToUtf16(TAVRIN_CLI_EXE) + L"\"";
  for (const std::string& a : args) command += L" \"" + Utf8ToUtf16(a) + L"\"";
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
  EXPECT_TRUE(Has(run.err, "Slot 1, COM5: 1 written, 0 already current, 0 failed, 0 refused, "
                           "0 interrupted; exit 0."))
      << run.err;
  EXPECT_TRUE(Has(run.err, "Slot 2, COM6: 0 written, 0 already current, 0 failed, 0 refused, "
                           "0 interrupted; exit 3."))
      << run.err;
}

TEST(CliProgramWithoutController, TellsTheProjectsVersion) {
  const CliRun run = RunCli({"--version"});
  EXPECT_EQ(run.exit, 0u) << run.err;
  // The C runtime writes text: a line ends in CR LF.
  EXPECT_EQ(run.out, std::string("tavrin-cli ") + TAVRIN_PROJECT_VERSION + "\r\n");
}

// `>> run.log` and --trace run.log: the trace goes after what the log holds,
// as on Linux, instead of emptying it, and neither it nor the program's own
// output writes over the other; a device is refused unopened.
TEST(CliProgramWithoutController, TracesOntoTheFileItsOutputIsAppendedToWithoutEmptyingIt) {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  struct Redirection {
    const char* how;
    DWORD access;
    DWORD share;
  };
  // As shells open the target of >>: cmd.exe lets no one else write and
  // writes at its own position from the end on; others append.
  for (const Redirection& r :
       {Redirection{"cmd.exe", GENERIC_WRITE, FILE_SHARE_READ},
        Redirection{"a position of its own", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
        Redirection{"appending", FILE_APPEND_DATA | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    const std::wstring log = std::wstring(folder) + L"tavrin-run-" + Utf8ToUtf16(r.how) + L".log";
    std::ofstream(std::filesystem::path(log), std::ios::binary) << "earlier\n";
    HANDLE out = CreateFileW(log.c_str(), r.access, r.share, &inherit, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE) << r.how << ": error " << GetLastError();
    SetFilePointer(out, 0, nullptr, FILE_END);
    std::wstring command = L"\"" + Utf8ToUtf16(TAVRIN_CLI_EXE) +
                           L"\" identify --port COM250 --timeout 0.2 --trace \"" + log + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exit = 0;
    GetExitCodeProcess(pi.hProcess, &exit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out);
    const std::string text = ReadFile(log);
    EXPECT_EQ(exit, 3u) << r.how << "\n" << text;
    EXPECT_EQ(text.rfind("earlier\n", 0), 0u) << r.how << "\n" << text;
    for (const char* part : {"# tavrin-cli trace: ", "unit begins", "link end",
                             "tavrin-cli: no controller answered within 0.2 s."})
      EXPECT_TRUE(Has(text, part)) << r.how << ": " << part << "\n" << text;
    DeleteFileW(log.c_str());
  }

  for (const char* device : {"COM1", "NUL", "\\\\.\\COM250"}) {
    const CliRun run = RunCli({"identify", "--timeout", "0.2", "--trace", device});
    EXPECT_EQ(run.exit, 2u) << device << run.err;
    EXPECT_TRUE(Has(run.err, "a device, not a regular file")) << run.err;
  }
}

}  // namespace
