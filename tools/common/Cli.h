// What the command-line tools share: a mistake is one line on stderr that
// names the program, and --help is answered the way CLI11 answers it.
#pragma once

#include <CLI/CLI.hpp>

#include "ProjectVersion.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace tavrin::cli {

// Prints "<program>: <reason>" and gives back `code` for main() to return.
inline int Fail(const char* program, const std::string& reason, int code) {
  std::cerr << program << ": " << reason << "\n";
  return code;
}

// Parses the command line. When main() is to end at once (help or the
// version was asked for, or the line is wrong: exit 2) this is its exit code.
inline std::optional<int> Parse(CLI::App& app, int argc, char** argv, const char* program) {
  app.set_version_flag("--version", std::string(program) + " " + TAVRIN_VERSION,
                       "Print the program's name and version, and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    // --help, --help-all, --version: on standard output, exit 0, unless it
    // did not take them (a full disk): no success claimed for nothing shown.
    const int code = app.exit(e);
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout))
      return Fail(program, "standard output cannot be written", 2);
    return code;
  } catch (const CLI::ParseError& e) {
    return Fail(program, std::string(e.what()) + " (see --help)", 2);
  }
  return std::nullopt;
}

}  // namespace tavrin::cli
