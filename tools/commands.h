// The subcommands. Each Add*Command declares its subcommand and options on
// a parser and returns what runs it once the line is parsed. The same
// declarations serve the command line and each step of `norvusb run`.
#pragma once

#include <functional>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/options.h"

namespace norvusb {

class Bench;

struct Command {
  CLI::App *app = nullptr;
  CommonOptions *common = nullptr;  // the options the subcommand shares with the others
  // Runs the job on `bench`, or on a machine of its own when it is null.
  // Returns the exit status; throws ToolError.
  std::function<int(Bench *bench)> run;
  // Puts the subcommand's options back to their defaults.
  std::function<void()> reset;
};

Command AddPrintCommand(CLI::App &program);
Command AddEnumCommand(CLI::App &program);
Command AddIoctlCommand(CLI::App &program);
Command AddReadCommand(CLI::App &program);
Command AddStatusCommand(CLI::App &program);
// The steps only a session has: plug, unplug, printer.
std::vector<Command> AddSessionSteps(CLI::App &program);
Command AddRunCommand(CLI::App &program);

// The jobs both the command line and a session's steps know.
std::vector<Command> AddJobCommands(CLI::App &program);

}  // namespace norvusb

namespace norvusb {

// The command line as the parser takes it: `help [SUBCOMMAND]` becomes
// `[SUBCOMMAND] --help`, and options written before the subcommand (as git
// and docker take theirs) go after it, so that the subcommand reads them.
std::vector<std::string> NormalisedArguments(std::vector<std::string> args, const std::vector<Command> &commands);
// Throws ToolError (bad input) when `word` names none of `commands`, listing them.
void CheckSubcommand(const std::string &word, const std::vector<Command> &commands);
// Forgets what the last line gave `parser` and `commands` (the parser's own
// state and every subcommand's options), so that a parser built once reads
// each line as a new one would: building one costs far more than a parse.
void ForgetParse(CLI::App &parser, const std::vector<Command> &commands);
// The argument parser's complaint in the program's own style; `program` is
// the parser that raised it (it knows the subcommand given). `prefix` is
// what the user types before the subcommand: "norvusb", or "" for a step of
// a session.
std::string ParseErrorText(const CLI::ParseError &error, const CLI::App &program,
                           const std::string &prefix = "norvusb");

}  // namespace norvusb
