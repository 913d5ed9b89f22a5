#include "platform/Process.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/Utf16.h"

namespace platform {

namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t I(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

void CloseH(std::intptr_t& h) {
  if (h != -1 && h != 0) CloseHandle(H(h));
  h = -1;
}

std::string Failure(const std::string& what) {
  return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

// One argument as CommandLineToArgvW (and the C runtime) reads it back:
// inside quotes, backslashes are literal unless they precede a quote; 2n
// backslashes before a quote give n and end the quoting, 2n+1 give n and a
// literal quote.
void AppendArgument(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (auto it = arg.begin();; ++it) {
    std::size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == arg.end()) {
      line.append(backslashes * 2, L'\\');  // the closing quote must stay a quote
      break;
    }
    if (*it == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
      line += L'"';
    } else {
      line.append(backslashes, L'\\');
      line += *it;
    }
  }
  line += L'"';
}

}  // namespace

ChildProcess::~ChildProcess() { Release(); }

void ChildProcess::Release() {
  CloseH(input_);
  CloseH(output_);
  if (process_ != -1 && !status_) {
    Kill();
    Wait();
  }
  CloseH(process_);
  id_ = -1;
}

std::ptrdiff_t ChildProcess::Read(void* data, std::size_t size) {
  if (output_ == -1) return -1;
  DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (nonBlocking_) {
    DWORD available = 0;
    if (!PeekNamedPipe(H(output_), nullptr, 0, nullptr, &available, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    if (available == 0) return kWouldBlock;
    want = std::min(want, available);
  }
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(H(output_), data, want, &got, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    if (got > 0 || want == 0) return static_cast<std::ptrdiff_t>(got);
    // A zero-length write by the child: not the end.
  }
}

bool ChildProcess::SetOutputNonBlocking(bool nonBlocking) {
  if (output_ == -1) return false;
  nonBlocking_ = nonBlocking;
  return true;
}

int ChildProcess::OutputFd() const { return -1; }

bool ChildProcess::Write(std::string_view data) {
  if (input_ == -1) return false;
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
    DWORD wrote = 0;
    if (!WriteFile(H(input_), data.data() + done, chunk, &wrote, nullptr)) return false;
    done += wrote;
  }
  return true;
}

void ChildProcess::CloseInput() { CloseH(input_); }

int ChildProcess::Wait() {
  if (status_) return *status_;
  if (process_ == -1) return -1;
  DWORD code = 0;
  if (WaitForSingleObject(H(process_), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(H(process_), &code)) {
    status_ = -1;
  } else {
    status_ = static_cast<int>(code);
  }
  return *status_;
}

std::optional<int> ChildProcess::TryWait() {
  if (status_) return status_;
  if (process_ == -1) return -1;
  const DWORD r = WaitForSingleObject(H(process_), 0);
  if (r == WAIT_TIMEOUT) return std::nullopt;
  return Wait();
}

void ChildProcess::Terminate() {
  if (process_ == -1 || status_) return;
  CloseInput();
  // Reaches the child only when it shares a console with this program; the
  // end of its input reaches it always.
  GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(id_));
}

void ChildProcess::HangUp() {
  if (process_ != -1 && !status_) CloseInput();
}

void ChildProcess::Kill() {
  if (process_ != -1 && !status_) TerminateProcess(H(process_), 137);
}

std::optional<ChildProcess> StartProcess(const std::string& program,
                                         const std::vector<std::string>& args,
                                         std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<ChildProcess> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  const std::wstring application = Utf8ToUtf16(program);
  if (application.empty()) return fail("no program to start");
  // argv[0] is read up to the next quote, with no escapes; a path holds no quote.
  std::wstring line = L"\"" + application + L"\"";
  for (const auto& a : args) {
    line += L' ';
    AppendArgument(line, Utf8ToUtf16(a));
  }

  // Every handle made here is inheritable only by way of the list below, and
  // the parent's ends not at all.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, err = nullptr;
  const auto closeAll = [&] {
    for (HANDLE h : {inRead, inWrite, outRead, outWrite, err}) {
      if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  };
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0) ||
      !SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0)) {
    const std::string why = Failure("cannot make a pipe");
    closeAll();
    return fail(why);
  }
  // The child's standard error is the parent's (a copy the child may
  // inherit), or NUL when the parent has none.
  const HANDLE parentErr = GetStdHandle(STD_ERROR_HANDLE);
  if (parentErr == nullptr || parentErr == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), parentErr, GetCurrentProcess(), &err, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    err = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                      OPEN_EXISTING, 0, nullptr);
  }
  if (err == INVALID_HANDLE_VALUE) err = nullptr;

  HANDLE handles[3] = {inRead, outWrite, err};
  const DWORD handleCount = err != nullptr ? 3 : 2;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string storage(size, '\0');
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    const std::string why = Failure("cannot prepare the child's handles");
    closeAll();
    return fail(why);
  }
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                 handleCount * sizeof(HANDLE), nullptr, nullptr)) {
    const std::string why = Failure("cannot prepare the child's handles");
    DeleteProcThreadAttributeList(attributes);
    closeAll();
    return fail(why);
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inRead;
  startup.StartupInfo.hStdOutput = outWrite;
  startup.StartupInfo.hStdError = err;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                     EXTENDED_STARTUPINFO_PRESENT | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                     &startup.StartupInfo, &info);
  const std::string why = started ? std::string() : Failure("cannot start " + program);
  DeleteProcThreadAttributeList(attributes);
  // The child's ends are the child's now.
  for (HANDLE* h : {&inRead, &outWrite, &err}) {
    if (*h != nullptr) CloseHandle(*h);
    *h = nullptr;
  }
  if (!started) {
    closeAll();
    return fail(why);
  }
  CloseHandle(info.hThread);
  ChildProcess child;
  child.id_ = static_cast<std::int64_t>(info.dwProcessId);
  child.process_ = I(info.hProcess);
  child.input_ = I(inWrite);
  child.output_ = I(outRead);
  return child;
}

std::string CurrentProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return Utf16ToUtf8(path);
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace platform
