// Shell completion made from the program's own parser, so that it names
// exactly the commands and options the program takes. The parser is walked
// in CompletionModel.h; this part knows no CLI11 (whose header costs seconds
// of compiling in every file that includes it).
#pragma once

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

struct OptionModel {
  std::vector<std::string> names;  // "--port", "-h"
  std::string description;         // its first clause, for the menus
  bool takesValue = false;
  bool repeats = false;
  ValueHint value;
};

struct CommandModel {
  std::string name;
  std::string description;
  std::vector<OptionModel> options;
  std::vector<ValueHint> positionals;
};

// Up to the first ';' or '(', so that a menu line stays one line.
std::string FirstClause(const std::string& text);

// The completion script for "bash", "zsh" or "fish" of a program whose own
// options are `top`'s and whose commands are `commands`; empty for any other
// shell. `program` is the name the script completes.
std::string CompletionScript(const CommandModel& top, const std::vector<CommandModel>& commands,
                             const std::string& program, const std::string& shell);

}  // namespace cli
