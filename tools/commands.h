// The subcommands. Each Add*Command declares its subcommand and options on
// the program's parser and returns what runs it once the line is parsed.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace norvusb {

struct Command {
  CLI::App *app = nullptr;
  std::function<int()> run;  // returns the exit status; throws ToolError
};

Command AddPrintCommand(CLI::App &program);
Command AddEnumCommand(CLI::App &program);
Command AddIoctlCommand(CLI::App &program);
Command AddReadCommand(CLI::App &program);

}  // namespace norvusb
