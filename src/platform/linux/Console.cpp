#include "platform/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

namespace {
std::atomic<bool> g_outputClosed{false};
}  // namespace

void HoldStandardStreams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Opened for reading only: a write fails as it did on the closed one.
    const int held = ::open("/dev/null", O_RDONLY | O_NOCTTY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

bool InForeground() {
  const pid_t group = tcgetpgrp(0);
  return group < 0 || group == getpgrp();
}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  if (std::fflush(stream) != 0 && errno == EPIPE) {
    g_outputClosed = true;
    // The stream's error is cleared: the end's own texts still go to the other one.
    std::clearerr(stream);
  }
}

namespace {
// A pipe whose reader has gone shows as an error on its writing end, before
// anything is written into it.
bool ReaderGone(int fd) {
  pollfd p{fd, 0, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}
}  // namespace

bool OutputClosed() {
  if (!g_outputClosed && (ReaderGone(STDOUT_FILENO) || ReaderGone(STDERR_FILENO)))
    g_outputClosed = true;
  return g_outputClosed;
}

bool InputClosed() {
  pollfd p{STDIN_FILENO, 0, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

bool EnableLineClearing(std::FILE* stream) { return IsTerminal(stream); }

int TerminalWidth(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

LineRead ReadTerminalLine(std::string& line) {
  line.clear();
  for (;;) {
    char c = 0;
    const ssize_t n = read(0, &c, 1);
    // No SA_RESTART on the interruption signals: a signal ends the wait.
    if (n < 0 && errno == EINTR) return LineRead::Interrupted;
    if (n <= 0) return line.empty() ? LineRead::End : LineRead::Line;
    if (c == '\n') return LineRead::Line;
    line += c;
  }
}

// The same read serves a pipe: it takes one byte at a time, so nothing past
// the line is taken from the next one.
LineRead ReadInputLine(std::string& line) { return ReadTerminalLine(line); }

struct TerminalLineReader::State {
  std::mutex mutex;
  std::condition_variable wake;
  Done done;
  bool wanted = false;
  bool reading = false;
  bool stop = false;
  int stopPipe[2] = {-1, -1};  // written to end a read under way
  std::thread thread;

  // One line, unless the stop comes first (nothing then).
  bool ReadLine(LineRead& result, std::string& line) {
    line.clear();
    for (;;) {
      pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        result = LineRead::End;
        return true;
      }
      if (p[1].revents != 0) return false;
      if (p[0].revents == 0) continue;
      char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0 || c == '\n') {
        result = n <= 0 && line.empty() ? LineRead::End : LineRead::Line;
        return true;
      }
      line += c;
    }
  }

  void Run() {
    for (;;) {
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return wanted || stop; });
        if (stop) return;
        wanted = false;
        reading = true;
      }
      LineRead result = LineRead::End;
      std::string line;
      const bool read = ReadLine(result, line);
      std::lock_guard lock(mutex);
      reading = false;
      if (!read || stop) return;
      if (done) done(result, line);
    }
  }
};

TerminalLineReader::TerminalLineReader(Done done) : state_(std::make_shared<State>()) {
  state_->done = std::move(done);
  if (::pipe2(state_->stopPipe, O_CLOEXEC) != 0) state_->stopPipe[0] = state_->stopPipe[1] = -1;
  state_->thread = std::thread([state = state_.get()] { state->Run(); });
}

TerminalLineReader::~TerminalLineReader() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->done = nullptr;
  }
  state_->wake.notify_all();
  if (state_->stopPipe[1] >= 0) {
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(state_->stopPipe[1], &c, 1);
  }
  state_->thread.join();
  for (const int fd : state_->stopPipe) {
    if (fd >= 0) ::close(fd);
  }
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
