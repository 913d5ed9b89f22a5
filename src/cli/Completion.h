// Shell completion made from the program's own parser, so that it names
// exactly the commands and options the program takes.
#pragma once

#include <CLI/CLI.hpp>

#include <map>
#include <string>
#include <vector>

namespace cli {

// What a value completes to. Options and positionals not named in the hints
// complete to a file when their type name is FILE, else to nothing.
struct ValueHint {
  enum class Kind { Nothing, File, Extensions, Port, Choices };
  Kind kind = Kind::Nothing;
  std::vector<std::string> words;  // extensions without the dot, or the choices
};
// Keyed by "--long-name" or by a positional's name ("FILE").
using ValueHints = std::map<std::string, ValueHint>;

inline constexpr const char* kCompletionShells[] = {"bash", "zsh", "fish"};

// The completion script of `app` for "bash", "zsh" or "fish"; empty for any
// other shell. `program` is the name the script completes.
std::string CompletionScript(const CLI::App& app, const ValueHints& hints,
                             const std::string& program, const std::string& shell);

}  // namespace cli
