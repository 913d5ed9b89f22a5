#include "platform/Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
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
