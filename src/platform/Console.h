// The terminal a command-line program talks to: on Windows a console window,
// whose code page cannot be trusted with UTF-8, on Linux a tty.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

// Whether the stream is a terminal (a console window on Windows) rather than
// a file or a pipe.
bool IsTerminal(std::FILE* stream);

// Whether this program may read the terminal on standard input: on Linux it
// is in the terminal's foreground process group (a program started with &
// is stopped by the terminal when it reads); on Windows always.
bool InForeground();

// Writes UTF-8 text and flushes: to a Windows console as UTF-16, so the
// Cyrillic texts read right whatever its code page; otherwise the UTF-8
// bytes as they are. A reader that has gone (a closed pipe) is remembered for
// OutputClosed.
void WriteText(std::FILE* stream, std::string_view text);

// Standard output or error has lost its reader: a write found it gone (EPIPE),
// or on Linux the pipe shows it before anything is written.
bool OutputClosed();

// Standard input is a pipe whose writer has gone (the parent ended), without
// reading anything from it.
bool InputClosed();

// Lets the terminal on the stream take the escape sequence that clears to the
// end of the line; false when it cannot.
bool EnableLineClearing(std::FILE* stream);

// The terminal's width in columns, 0 when the stream is no terminal or it
// cannot be told.
int TerminalWidth(std::FILE* stream);

enum class LineRead { Line, End, Interrupted };
// Reads one line typed on the terminal of standard input, without its end.
// Interrupted: a signal (Linux) cut the wait short; on Windows Ctrl+C ends it
// as End, and the caller knows of the interruption from elsewhere.
LineRead ReadTerminalLine(std::string& line);

// Reads one line from standard input whatever it is (a pipe from the parent
// process), without its end. End when the input has ended or cannot be read;
// Interrupted as above (Linux).
LineRead ReadInputLine(std::string& line);

}  // namespace platform
