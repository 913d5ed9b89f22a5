#include "cli/Completion.h"

#include <cctype>
#include <sstream>

namespace cli {

std::string FirstClause(const std::string& text) {
  std::string out = text.substr(0, text.find_first_of(";("));
  while (!out.empty() && (out.back() == ' ' || out.back() == ',' || out.back() == ':')) {
    out.pop_back();
  }
  return out;
}

namespace {

std::string Join(const std::vector<std::string>& words, const char* between) {
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty()) out += between;
    out += w;
  }
  return out;
}

// A glob for one extension in either case: sbin -> *.[sS][bB][iI][nN].
std::string AnyCaseGlob(const std::string& extension) {
  std::string out = "*.";
  for (char c : extension) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (lower == upper) {
      out += c;
    } else {
      out += std::string("[") + lower + upper + "]";
    }
  }
  return out;
}

// Inside single quotes.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The shell function name: tavrin-cli -> _tavrin_cli.
std::string FunctionName(const std::string& program) {
  std::string out = "_";
  for (char c : program) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

// The COM names `ports` lists, one a line: its lines are "  COMn  device".
constexpr const char* kPortsFilter = "sed -n 's/^  \\(COM[0-9][0-9]*\\) .*/\\1/p'";

// File names are read a line each: a word split would cut "fw v2.sbin" in two.
void BashValue(std::ostream& out, const ValueHint& hint, const std::string& function) {
  switch (hint.kind) {
    case ValueHint::Kind::Nothing:
      out << "COMPREPLY=()";
      break;
    case ValueHint::Kind::File:
      out << "compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")";
      break;
    case ValueHint::Kind::Extensions:
      out << "compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- \"$cur\"";
      for (const std::string& e : hint.words) {
        out << "; compgen -f -X '!" << AnyCaseGlob(e) << "' -- \"$cur\"";
      }
      out << ")";
      break;
    case ValueHint::Kind::Port:
      out << "COMPREPLY=($(compgen -W \"$(" << function << "_ports)\" -- \"$cur\"))";
      break;
    case ValueHint::Kind::Choices:
      out << "COMPREPLY=($(compgen -W " << Quoted(Join(hint.words, " ")) << " -- \"$cur\"))";
      break;
  }
}

std::string Bash(const CommandModel& top, const std::vector<CommandModel>& commands,
                 const std::string& program) {
  const std::string f = FunctionName(program);
  std::ostringstream out;
  out << "# bash completion for " << program << ", made by `" << program
      << " completion bash`.\n\n";
  out << f << "_ports() {\n  \"${COMP_WORDS[0]}\" ports 2>/dev/null | " << kPortsFilter << "\n}\n\n";
  out << f << "() {\n";
  out << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= i\n";
  out << "  # --option=value: the shell splits at the '='.\n";
  out << "  if [[ $cur == = ]]; then cur=; elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
         "    prev=${COMP_WORDS[COMP_CWORD-2]}\n  fi\n";
  out << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case ${COMP_WORDS[i]} in -*) ;; *) cmd=${COMP_WORDS[i]}; break ;; esac\n  done\n";
  std::vector<std::string> words;
  for (const CommandModel& c : commands) words.push_back(c.name);
  for (const OptionModel& o : top.options) words.insert(words.end(), o.names.begin(), o.names.end());
  out << "  case $cmd in\n";
  out << "    '') COMPREPLY=($(compgen -W " << Quoted(Join(words, " ")) << " -- \"$cur\")) ;;\n";
  for (const CommandModel& c : commands) {
    out << "    " << c.name << ")\n      case $prev in\n";
    std::vector<std::string> names;
    for (const OptionModel& o : c.options) {
      names.insert(names.end(), o.names.begin(), o.names.end());
      if (!o.takesValue) continue;
      out << "        " << Join(o.names, "|") << ") ";
      BashValue(out, o.value, f);
      out << "; return ;;\n";
    }
    out << "      esac\n";
    out << "      if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W "
        << Quoted(Join(names, " ")) << " -- \"$cur\"))\n";
    if (!c.positionals.empty()) {
      out << "      else\n        ";
      BashValue(out, c.positionals.front(), f);
      out << "\n";
    }
    out << "      fi ;;\n";
  }
  out << "  esac\n}\n";
  out << "complete -F " << f << " " << program << "\n";
  return out.str();
}

// Inside the brackets of an _arguments spec.
std::string ZshText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '[' || c == ']' || c == ':' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Appended piece by piece: GCC 12 at -O3 takes `"(" + temporary` for an
// overlapping copy and warns (-Wrestrict), which fails the optimised build.
std::string Parenthesised(const std::string& text) {
  std::string s;
  s.reserve(text.size() + 2);
  s += '(';
  s += text;
  s += ')';
  return s;
}

std::string ZshAction(const ValueHint& hint, const std::string& function) {
  switch (hint.kind) {
    case ValueHint::Kind::Nothing:
      return " ";
    case ValueHint::Kind::File:
      return "_files";
    case ValueHint::Kind::Extensions: {
      std::string globs;
      for (const std::string& e : hint.words) {
        if (!globs.empty()) globs += '|';
        globs += AnyCaseGlob(e).substr(2);
      }
      return "_files -g \"*.(" + globs + ")\"";
    }
    case ValueHint::Kind::Port:
      return function + "_ports";
    case ValueHint::Kind::Choices:
      return Parenthesised(Join(hint.words, " "));
  }
  return " ";
}

std::string Zsh(const CommandModel& top, const std::vector<CommandModel>& commands,
                const std::string& program) {
  const std::string f = FunctionName(program);
  std::ostringstream out;
  out << "#compdef " << program << "\n# zsh completion for " << program << ", made by `"
      << program << " completion zsh`.\n\n";
  out << f << "_ports() {\n  local -a ports\n  ports=(${(f)\"$(${~" << f.substr(1) << "_program} ports 2>/dev/null | "
      << kPortsFilter << ")\"})\n  compadd -a ports\n}\n\n";
  auto spec = [&](const OptionModel& o) {
    std::string s;
    const std::string exclusive = o.names.size() > 1 ? Parenthesised(Join(o.names, " ")) : "";
    for (const std::string& name : o.names) {
      std::string one = (o.repeats ? "*" : exclusive) + name;
      if (o.takesValue) one += (name.rfind("--", 0) == 0 ? "=" : "+");
      one += '[';
      one += ZshText(o.description);
      one += ']';
      if (o.takesValue) one += ":value:" + ZshAction(o.value, f);
      s += " \\\n      " + Quoted(one);
    }
    return s;
  };
  // The program as typed: within a command's arguments words[1] is the command.
  out << f << "() {\n  local curcontext=$curcontext state line\n  typeset -A opt_args\n"
      << "  typeset -g " << f.substr(1) << "_program=${words[1]}\n";
  out << "  _arguments -C";
  for (const OptionModel& o : top.options) out << spec(o);
  out << " \\\n      '1:command:->command' '*::argument:->argument'\n";
  out << "  case $state in\n    command)\n      local -a commands=(";
  for (const CommandModel& c : commands) out << "\n        " << Quoted(c.name + ":" + c.description);
  out << "\n      )\n      _describe command commands ;;\n    argument)\n      case $line[1] in\n";
  for (const CommandModel& c : commands) {
    out << "        " << c.name << ")\n          _arguments";
    for (const OptionModel& o : c.options) out << spec(o);
    int n = 1;
    for (const ValueHint& p : c.positionals) {
      out << " \\\n      " << Quoted(std::to_string(n++) + ":argument:" + ZshAction(p, f));
    }
    out << " ;;\n";
  }
  out << "      esac ;;\n  esac\n}\n\n" << f << " \"$@\"\n";
  return out.str();
}

std::string FishValue(const ValueHint& hint, const std::string& function) {
  switch (hint.kind) {
    case ValueHint::Kind::Nothing:
      return " -x";
    case ValueHint::Kind::File:
      return " -r -F";
    case ValueHint::Kind::Extensions:
      return " -r -a '(" + function + "_files " + Join(hint.words, " ") + ")'";
    case ValueHint::Kind::Port:
      return " -x -a '(" + function + "_ports)'";
    case ValueHint::Kind::Choices:
      return " -x -a " + Quoted(Join(hint.words, " "));
  }
  return "";
}

std::string Fish(const CommandModel& top, const std::vector<CommandModel>& commands,
                 const std::string& program) {
  const std::string f = FunctionName(program).substr(1);
  std::ostringstream out;
  out << "# fish completion for " << program << ", made by `" << program
      << " completion fish`.\n\n";
  // The program as typed, which need not be on PATH; fish would print its
  // own error for a missing one, whatever the redirection.
  out << "function __" << f << "_ports\n"
      << "    set -l program (commandline -opc)[1]\n"
      << "    command -q -- $program; or return\n"
      << "    command $program ports 2>/dev/null | " << kPortsFilter << "\nend\n\n";
  // __fish_complete_suffix only puts the files with the suffix first; the
  // others are no answer to FILE. The token is as typed (my\ fw, "my fw, ~/):
  // fish's own file completion reads it, as a glob on it would not.
  out << "function __" << f << "_files\n"
      << "    set -l pattern '(/|\\.('(string join '|' -- $argv)'))(\\t.*)?$'\n"
      << "    set -l token (commandline -ct)\n"
      << "    for file in (complete -C \"__" << f << "_no_such_command $token\")\n"
      << "        string match -qri -- $pattern $file; and echo $file\n"
      << "    end\nend\n\n";
  const std::string c0 = "complete -c " + program;
  out << c0 << " -f\n";
  auto option = [&](const std::string& condition, const OptionModel& o) {
    out << c0 << " -n " << Quoted(condition);
    for (const std::string& name : o.names) {
      out << (name.rfind("--", 0) == 0 ? " -l " + name.substr(2) : " -s " + name.substr(1));
    }
    if (o.takesValue) out << FishValue(o.value, "__" + f);
    out << " -d " << Quoted(o.description) << "\n";
  };
  for (const OptionModel& o : top.options) option("__fish_use_subcommand", o);
  for (const CommandModel& c : commands) {
    out << c0 << " -n __fish_use_subcommand -a " << c.name << " -d " << Quoted(c.description)
        << "\n";
  }
  for (const CommandModel& c : commands) {
    const std::string in = "__fish_seen_subcommand_from " + c.name;
    for (const OptionModel& o : c.options) option(in, o);
    if (!c.positionals.empty()) {
      out << c0 << " -n " << Quoted(in) << FishValue(c.positionals.front(), "__" + f) << "\n";
    }
  }
  return out.str();
}

}  // namespace

std::string CompletionScript(const CommandModel& top, const std::vector<CommandModel>& commands,
                             const std::string& program, const std::string& shell) {
  if (shell == "bash") return Bash(top, commands, program);
  if (shell == "zsh") return Zsh(top, commands, program);
  if (shell == "fish") return Fish(top, commands, program);
  return {};
}

}  // namespace cli
