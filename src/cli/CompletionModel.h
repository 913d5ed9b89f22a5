// The completion model of a CLI11 parser: its commands, their options and
// positionals, read from the parser itself.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/Completion.h"

namespace cli {

// A hint for "command key" comes before one for the key in every command.
inline ValueHint HintFor(const CLI::Option* option, const std::string& command,
                         const std::string& key, const ValueHints& hints) {
  if (auto found = hints.find(command + " " + key); found != hints.end()) return found->second;
  if (auto found = hints.find(key); found != hints.end()) return found->second;
  if (option->get_type_name() == "FILE") return {ValueHint::Kind::File, {}};
  return {};
}

inline CommandModel ModelOf(const CLI::App* app, const ValueHints& hints) {
  CommandModel model;
  model.name = app->get_name();
  model.description = FirstClause(app->get_description());
  for (const CLI::Option* option : app->get_options()) {
    // Hidden options (an empty group) are the program's own business.
    if (option->get_group().empty()) continue;
    if (option->get_positional() && option->get_lnames().empty() &&
        option->get_snames().empty()) {
      model.positionals.push_back(HintFor(option, model.name, option->get_name(), hints));
      continue;
    }
    OptionModel o;
    for (const std::string& l : option->get_lnames()) o.names.push_back("--" + l);
    for (const std::string& s : option->get_snames()) o.names.push_back("-" + s);
    if (o.names.empty()) continue;
    o.description = FirstClause(option->get_description());
    // A flag expects no value (its type size says nothing in CLI11).
    o.takesValue = option->get_expected_max() > 0;
    o.repeats = option->get_expected_max() > 1;
    if (o.takesValue) o.value = HintFor(option, model.name, o.names.front(), hints);
    model.options.push_back(o);
  }
  return model;
}

// The script for `shell` of the program `app` parses for.
inline std::string CompletionScript(const CLI::App& app, const ValueHints& hints,
                                    const std::string& program, const std::string& shell) {
  std::vector<CommandModel> commands;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (sub->get_group().empty()) continue;
    commands.push_back(ModelOf(sub, hints));
  }
  return CompletionScript(ModelOf(&app, hints), commands, program, shell);
}

}  // namespace cli
