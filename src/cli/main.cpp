// tavrin-cli: the programmer for scripts, benches and production lines.
#include "cli/CompletionModel.h"
#include "cli/Driver.h"
#include "cli/Gang.h"
#include "cli/Text.h"
#include "cli/Trace.h"
#include "common/Cli.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/ProgramFile.h"
#include "serial/NetNames.h"
#include "serial/NetPort.h"

#include <filesystem>
#include <iostream>
#include <string>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "platform/Utf16.h"
#endif

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace {

using cli::Extension;
using cli::kProgram;

#ifdef _WIN32
constexpr const char* kPortHelp =
    "Try only this port (COMn, in any case) instead of scanning them all; a port on another machine is "
    "rfc2217://HOST:PORT or socket://HOST:PORT; write: several (repeated, or "
    "COM21,COM22) write a controller on each at once";
#else
constexpr const char* kPortHelp =
    "Try only this port (COMn, in any case) instead of scanning them all; a device path such as /dev/ttyACM0 "
    "or a /dev/serial/by-id/... link stands for its COM name; a port on another machine is "
    "rfc2217://HOST:PORT or socket://HOST:PORT; write: several (repeated, or "
    "COM21,COM22) write a controller on each at once";
#endif

// --timeout's range: below a tenth of a second no controller can answer; a
// day is as long as anyone waits at a fixture.
constexpr double kMinTimeout = 0.1;
constexpr double kMaxTimeout = 86400;

// An empty value (a script's unset variable) would quietly mean "none": no
// log, no trace, or every port scanned instead of the one meant.
const CLI::Validator kNotEmpty(
    [](const std::string& text) -> std::string {
      return text.empty() ? std::string("an empty value") : std::string();
    },
    "");

void AddConnectOptions(CLI::App* command, CliOptions& options) {
  // One name a --port (or a comma list): a second name after a space would
  // be taken for the file, or mangled when the slots' workers are started.
  command->add_option("--port", options.ports, kPortHelp)->delimiter(',')
      ->allow_extra_args(false)
      ->check(kNotEmpty);
  command
      ->add_option("--timeout", options.timeoutSeconds,
                   "Seconds to wait for a controller to answer, 0.1 to 86400 (default 10)")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(text, value) || !(value >= kMinTimeout) ||
                !(value <= kMaxTimeout)) {
              return "seconds from 0.1 to 86400 are taken, not " + text;
            }
            return {};
          },
          "SECONDS 0.1-86400"));
  command
      ->add_option("--log", options.log,
                   "Append one JSON line per controller to FILE (JSON Lines), flushed to the "
                   "disk before the next one; see docs/log.md")
      ->type_name("FILE")
      ->check(kNotEmpty);
}

// A UTF-8 path as the file system takes it on both systems.
std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

void AddTraceOptions(CLI::App* command, CliOptions& options) {
  auto* trace = command->add_option(
      "--trace", options.trace,
      "Write every frame in and out, the scan's steps, opens and closes to FILE, one line each");
  trace->type_name("FILE")->check(kNotEmpty);
  command
      ->add_flag("--trace-failures-only", options.traceFailuresOnly,
                 "Keep in the trace only the controllers that were not written or identified")
      ->needs(trace);
}

// A trace file is made anew: never over the file being written nor the
// production log, however they are spelt, and never onto a device.
int CheckTrace(const std::string& path, const CliOptions& options) {
  std::error_code ignored;
  const auto trace = Utf8Path(path);
  if (options.command == CliOptions::Command::Write &&
      std::filesystem::equivalent(trace, Utf8Path(options.file), ignored)) {
    return tavrin::cli::Fail(kProgram, path + ": --trace would overwrite the file to write",
                             kExitUsage);
  }
  if (!options.log.empty()) {
    const auto log = Utf8Path(options.log);
    const auto traceFull =
        std::filesystem::weakly_canonical(std::filesystem::absolute(trace, ignored), ignored);
    const auto logFull =
        std::filesystem::weakly_canonical(std::filesystem::absolute(log, ignored), ignored);
    if (path == options.log || std::filesystem::equivalent(trace, log, ignored) ||
        (!traceFull.empty() && traceFull == logFull)) {
      return tavrin::cli::Fail(kProgram, path + ": --trace would overwrite the --log file",
                               kExitUsage);
    }
  }
  if (std::string error; !cli::Trace::Check(path, &error))
    return tavrin::cli::Fail(kProgram, error, kExitUsage);
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  platform::HoldStandardStreams();
#ifdef _WIN32
  // The arguments as typed, in UTF-8 like every text below the window: the
  // narrow argv has them in the ANSI code page, which loses Cyrillic names.
  std::vector<std::string> arguments;
  std::vector<char*> utf8Argv;
  int wideCount = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount)) {
    for (int i = 0; i < wideCount; ++i) arguments.push_back(platform::Utf16ToUtf8(wide[i]));
    LocalFree(wide);
    for (std::string& a : arguments) utf8Argv.push_back(a.data());
    utf8Argv.push_back(nullptr);
    argc = wideCount;
    argv = utf8Argv.data();
  }
#endif
  CliOptions options;
  CLI::App app{
      "The Tavrin programmer on the command line: finds the controller, reports it and writes "
      "firmware (.sbin) or a data map (.lbin) into it, with the same checks, questions and texts "
      "as the window.",
      kProgram};
  app.footer(kExitStatusHelp);
  app.require_subcommand(1);

  auto* ports = app.add_subcommand(
      "ports", "List the COM ports the scan tries, in its order, and what each is");
  ports->footer(kExitStatusHelp);

  auto* identify = app.add_subcommand(
      "identify",
      "Wait until a controller answers, print its report as the window's log shows it, disconnect");
  AddConnectOptions(identify, options);
  AddTraceOptions(identify, options);
  identify->add_flag(
      "--json", options.json,
      "One JSON object per controller on standard output; the texts go to standard error");
  identify->footer(kExitStatusHelp);

  auto* write = app.add_subcommand(
      "write", "Connect and write FILE: .sbin as update firmware, .lbin as write data map");
  write->add_option("FILE", options.file, "The firmware (.sbin) or data map (.lbin) file")
      ->required();
  AddConnectOptions(write, options);
  AddTraceOptions(write, options);
  write->add_flag("--yes", options.yes,
                  "Answer Yes to the version questions (without it and without a terminal: No; "
                  "under --loop the same-version one only with --rewrite)");
  write->add_flag("--rewrite", options.rewrite,
                  "With --loop: write a controller that already has the file's version too "
                  "(its question is still asked, or answered by --yes); without it such a "
                  "controller is left alone as already current");
  write->add_flag(
      "--verify", options.verify,
      "Firmware only: connect again afterwards and check the reported version against the file's");
  write->add_flag(
      "--loop", options.loop,
      "Production line: after each controller wait until it has gone, then write the next; "
      "Ctrl+C ends with a tally");
  write->add_flag(
      "--json", options.json,
      "One JSON object per controller on standard output; the texts go to standard error");
  // The supervisor of several ports starts the program again per port.
  write->add_option("--worker", options.worker)->group("");
  write->footer(std::string(kExitStatusHelp) + cli::kGangExitHelp);

  bool doctorJson = false;
  bool doctorOpen = false;
  auto* doctor = app.add_subcommand(
      "doctor",
      "Check what stands between this machine and a controller: permissions, programs that take "
      "serial ports, and each port the scan tries; for each problem the step that fixes it");
  doctor->add_flag("--json", doctorJson, "The findings as one JSON object on standard output");
  std::vector<std::string> doctorPorts;
  doctor->add_option("--port", doctorPorts,
                     "Check this port on another machine too (rfc2217://HOST:PORT or "
                     "socket://HOST:PORT; repeated for several)");
  doctor->add_flag("--open", doctorOpen,
                   "Also open and close each port that no program is seen to use, to see whether "
                   "it opens. An open pulses DTR and RTS (the system raises them on every open) "
                   "and may reset a board with an auto-reset circuit; without --open no port is "
                   "opened");
  doctor->footer(
      "Exit status: 0 nothing stands in the way; 1 something does; 2 usage, or the findings "
      "could not be written.");

  std::string shell;
  auto* completion = app.add_subcommand(
      "completion", "Print the shell completion script for bash, zsh or fish (see the manual)");
  completion->add_option("SHELL", shell, "bash, zsh or fish")
      ->required()
      ->check(CLI::IsMember({"bash", "zsh", "fish"}));
  completion->footer("Exit status: 0 the script was printed; 2 usage, or it could not be written.");

  if (const auto exit = tavrin::cli::Parse(app, argc, argv, kProgram)) return *exit;

  if (*completion) {
    // How values complete; the commands and options come from the parser itself.
    const cli::ValueHints hints{
        {"FILE", {cli::ValueHint::Kind::Extensions, {"sbin", "lbin"}}},
        {"--port", {cli::ValueHint::Kind::Port, {}}},
        // doctor takes a network address there, never a COM name.
        {"doctor --port", {cli::ValueHint::Kind::Nothing, {}}},
        {"SHELL", {cli::ValueHint::Kind::Choices, {"bash", "zsh", "fish"}}},
    };
    std::cout << cli::CompletionScript(app, hints, kProgram, shell) << std::flush;
    if (!std::cout) return tavrin::cli::Fail(kProgram, "cannot write the script", kExitUsage);
    return kExitSuccess;
  }

  if (*ports) return cli::RunPorts();
  if (*doctor) {
    for (std::string& port : doctorPorts) {
      if (!IsNetUrl(port))
        return tavrin::cli::Fail(kProgram, "doctor --port takes a network port (rfc2217://HOST:PORT or socket://HOST:PORT); the ports of this machine are all checked anyway", kExitUsage);
      if (const int status = cli::ResolvePort(port); status != kExitSuccess) return status;
    }
    return cli::RunDoctor(doctorJson, doctorOpen);
  }
  options.command = *identify ? CliOptions::Command::Identify : CliOptions::Command::Write;

  if (options.command == CliOptions::Command::Write) {
    const std::string ext = Extension(options.file);
    if (ext != ".sbin" && ext != ".lbin") {
      return tavrin::cli::Fail(
          kProgram, options.file + ": not a .sbin (firmware) or .lbin (data map) file (see --help)",
          kExitUsage);
    }
    if (options.verify && ext != ".sbin") {
      return tavrin::cli::Fail(
          kProgram, "--verify checks firmware only, not a data map (see --help)", kExitUsage);
    }
    // Opened without blocking: a FIFO or a device by that name is refused at once.
    platform::InputFile in;
    if (in.Open(options.file) != platform::InputFile::OpenResult::Ok) {
      return tavrin::cli::Fail(kProgram, options.file + ": cannot be read", kExitUsage);
    }
  }

  for (std::string& port : options.ports) {
    if (const int status = cli::ResolvePort(port); status != kExitSuccess) return status;
  }
  // Looked at before anything is opened or emptied: a device named as the
  // trace is never opened (that alone raises a serial port's DTR and RTS).
  if (!options.trace.empty()) {
    std::vector<std::string> traces{options.trace};
    if (options.ports.size() > 1) {
      traces.clear();
      for (const std::string& port : options.ports) traces.push_back(cli::SlotFile(options.trace, port));
    }
    // Every slot's trace, before any slot starts and empties its own.
    for (const std::string& trace : traces) {
      if (const int status = CheckTrace(trace, options); status != kExitSuccess) return status;
    }
  }
  if (options.ports.size() == 1) options.port = options.ports.front();
  if (options.ports.size() > 1) {
    if (options.command != CliOptions::Command::Write || options.worker > 0) {
      return tavrin::cli::Fail(kProgram, "several ports are for write only (see --help)",
                               kExitUsage);
    }
    // An empty name would let its slot scan every port.
    if (std::find(options.ports.begin(), options.ports.end(), std::string()) !=
        options.ports.end()) {
      return tavrin::cli::Fail(kProgram, "--port: an empty port name (see --help)", kExitUsage);
    }
    // COM names are the same port whatever their case (Windows ignores it);
    // a mapped COM name and its URL, or a URL spelt twice, are one server
    // port, which would be written and counted once in each slot.
    std::set<std::string> distinct;
    for (std::string name : options.ports) {
      if (std::string net = NetPortIdentity(name); !net.empty()) {
        distinct.insert(std::move(net));
        continue;
      }
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      distinct.insert(name);
    }
    if (distinct.size() != options.ports.size()) {
      return tavrin::cli::Fail(kProgram, "a port is given twice (see --help)", kExitUsage);
    }
    return cli::RunGang(options, std::vector<std::string>(argv + 1, argv + argc));
  }
  // The application's title, as the plain message boxes show it.
  const std::string title = platform::ProgramName();
  return cli::RunSession(options, title.empty() ? std::string(kProgram) : title);
}
