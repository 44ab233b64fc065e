// norvusb: print through the simulated USB-to-IEEE-1284 cable, show the
// device tree, drive the bridge and read the printer's back channel, with the
// unchanged driver running on the host machine.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"
#include "tools/errors.h"

namespace {

// One line, prefixed with the program's name, for every way the program fails.
int ReportError(const char *message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "norvusb: error: %s\n", message);
  return status;
}

// What the report or JSON document could not write shows here: a full disk or
// a closed pipe must not pass for success.
int CheckStandardOutput(int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const std::string reason = errno != 0 ? std::strerror(errno) : "the write failed";
  return ReportError(("cannot write standard output: " + reason).c_str(), norvusb::exit_code::kFailed);
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App program{
      "norvusb: the NorvUSB driver on a simulated machine - print through the USB-to-IEEE-1284 cable, "
      "show the device tree, drive the bridge, read the printer's back channel"};
  program.require_subcommand(1);
  program.set_help_all_flag("--help-all", "Help for every subcommand");

  const std::vector<norvusb::Command> commands = {
      norvusb::AddPrintCommand(program),
      norvusb::AddEnumCommand(program),
      norvusb::AddIoctlCommand(program),
      norvusb::AddReadCommand(program),
  };

  // A first word that names no subcommand would otherwise be reported as a
  // missing subcommand.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const norvusb::Command &command : commands) known = known || command.app->check_name(argv[1]);
    if (!known)
      return ReportError(("unknown subcommand \"" + std::string(argv[1]) + "\"; one of: print, enum, ioctl, read").c_str(),
                         norvusb::exit_code::kBadInput);
  }

  try {
    program.parse(argc, argv);
  } catch (const CLI::CallForHelp &help) {
    return program.exit(help);
  } catch (const CLI::CallForAllHelp &help) {
    return program.exit(help);
  } catch (const CLI::ParseError &error) {
    return ReportError(error.what(), norvusb::exit_code::kBadInput);
  } catch (const norvusb::ToolError &error) {
    return ReportError(error.what(), error.ExitCode());
  }

  try {
    for (const norvusb::Command &command : commands)
      if (command.app->parsed()) return CheckStandardOutput(command.run());
  } catch (const norvusb::ToolError &error) {
    return ReportError(error.what(), error.ExitCode());
  } catch (const std::exception &error) {
    return ReportError(error.what(), norvusb::exit_code::kFailed);
  }
  return norvusb::exit_code::kOk;
}
