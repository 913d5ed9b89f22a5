#include "platform/Console.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Utf16.h"

namespace platform {

namespace {

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// A write to a pipe whose reader has gone fails with ERROR_NO_DATA (or
// ERROR_BROKEN_PIPE), which the C runtime reports as EINVAL, not EPIPE.
bool ReaderGone() {
  const auto gone = [](unsigned long error) {
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
  };
  return errno == EPIPE || gone(_doserrno) || gone(GetLastError());
}

}  // namespace

static std::atomic<bool> g_outputClosed{false};

// Handles are no small numbers handed out again: nothing to hold.
void HoldStandardStreams() {}

bool IsTerminal(std::FILE* stream) { return IsConsole(HandleOf(stream)); }

bool InForeground() { return true; }

bool OutputClosed() { return g_outputClosed; }

bool InputClosed() {
  DWORD available = 0;
  return !PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &available, nullptr) &&
         GetLastError() == ERROR_BROKEN_PIPE;
}

void WriteText(std::FILE* stream, std::string_view text) {
  const HANDLE handle = HandleOf(stream);
  if (!IsConsole(handle)) {
    const std::size_t put = std::fwrite(text.data(), 1, text.size(), stream);
    if ((std::fflush(stream) != 0 || put != text.size()) && ReaderGone()) {
      g_outputClosed = true;
      std::clearerr(stream);
    }
    return;
  }
  // What the stream still holds goes first, in its order.
  std::fflush(stream);
  const std::wstring wide = Utf8ToUtf16(text);
  const wchar_t* data = wide.data();
  std::size_t left = wide.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left < 8192 ? left : 8192);
    if (!WriteConsoleW(handle, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

bool EnableLineClearing(std::FILE* stream) {
  const HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(handle, mode | kVirtualTerminal) != 0;
}

LineRead ReadTerminalLine(std::string& line) {
  line.clear();
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring wide;
  for (;;) {
    wchar_t buffer[256];
    DWORD read = 0;
    // Ctrl+C ends the read with nothing read.
    if (!ReadConsoleW(input, buffer, 256, &read, nullptr) || read == 0) {
      line = Utf16ToUtf8(wide);
      return LineRead::End;
    }
    wide.append(buffer, read);
    const auto end = wide.find(L'\n');
    if (end != std::wstring::npos) {
      wide.erase(end);
      if (!wide.empty() && wide.back() == L'\r') wide.pop_back();
      line = Utf16ToUtf8(wide);
      return LineRead::Line;
    }
  }
}

int TerminalWidth(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

LineRead ReadInputLine(std::string& line) {
  line.clear();
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char c = 0;
    DWORD read = 0;
    // One byte at a time: nothing past the line is taken from the next one.
    if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) return LineRead::End;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return LineRead::Line;
    }
    line += c;
  }
}

struct TerminalLineReader::State {
  std::mutex mutex;
  std::condition_variable wake;
  Done done;
  bool wanted = false;
  bool reading = false;
  bool stop = false;

  void Run() {
    for (;;) {
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return wanted || stop; });
        if (stop) return;
        wanted = false;
        reading = true;
      }
      std::string line;
      const LineRead result = ReadTerminalLine(line);
      std::lock_guard lock(mutex);
      reading = false;
      if (stop) return;
      if (done) done(result, line);
    }
  }
};

TerminalLineReader::TerminalLineReader(Done done) : state_(std::make_shared<State>()) {
  state_->done = std::move(done);
  // The thread keeps the state: a console read cannot be cut short, and the
  // thread may outlive this object until the program ends.
  std::thread([state = state_] { state->Run(); }).detach();
}

TerminalLineReader::~TerminalLineReader() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->done = nullptr;
  }
  state_->wake.notify_all();
}

void TerminalLineReader::Request() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->reading) return;
    state_->wanted = true;
  }
  state_->wake.notify_all();
}

}  // namespace platform
