#include "platform/Console.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace platform {

namespace {
std::atomic<bool> g_outputClosed{false};
}  // namespace

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

}  // namespace platform
