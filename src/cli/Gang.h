// Several ports at once: one slot per port, each a worker process of this
// same program (Worker.h) on its own port, so that every port keeps the
// programmer's single link and a fault in one slot never stops another. The
// supervisor reads the workers' reports, shows one view, asks their
// questions one at a time, stops them all on Ctrl+C and tallies every slot.
#pragma once

#include <string>
#include <vector>

#include "cli/Driver.h"

namespace cli {

inline constexpr const char* kGangExitHelp =
    " With several ports the exit status is the worst slot's, from best to worst: 0, 5, 3, 1, "
    "4, 2, 130, then any other status of a worker that died (128 + the signal's number).";

// `file` with the port before its extension: trace.log, COM21 -> trace-COM21.log.
std::string SlotFile(const std::string& file, const std::string& port);

// A slot's worker arguments: the arguments given (after the program's name)
// with every --port taken out, the slot's own port and --worker put in, and
// a --trace file made the slot's own (SlotFile).
std::vector<std::string> WorkerArguments(const std::vector<std::string>& args,
                                         const std::string& port, int slot);

// Runs a worker per port of options.ports until all have ended, or Ctrl+C has
// stopped them; the worst slot's exit status.
int RunGang(const CliOptions& options, const std::vector<std::string>& args);

}  // namespace cli
