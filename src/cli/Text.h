// Small text helpers of the command line.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

inline constexpr const char* kProgram = "tavrin-cli";

// "tavrin-cli: text", the form of the program's own notes and errors.
std::string ErrorLine(const std::string& text);

template <class... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

// The number after the last colon of a report line, or -1.
int NumberAfterColon(const std::string& line);
bool EndsWith(const std::string& text, const std::string& end);
// The file name's extension in lower case, with its dot.
std::string Extension(const std::string& file);
// The file's absolute path, UTF-8 in and out.
std::string AbsolutePath(const std::string& file);
// The local time now, as 2024-05-01T14:03:59.
std::string LocalIsoTime();
// The time now in UTC, as 2024-05-01T11:03:59Z.
std::string UtcIsoTime();

}  // namespace cli
