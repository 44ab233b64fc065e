// norvusb: print through the simulated USB-to-IEEE-1284 cable, show the
// device tree and the ports' state, drive the bridge, read the printer's
// back channel, or run a session of such steps, with the unchanged driver
// running on the host machine.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/interrupt.h"
#include "tools/report.h"

#ifndef NORVUSB_VERSION
#define NORVUSB_VERSION "unknown"
#endif

namespace {

// What the report or JSON document could not write shows here: a full disk or
// a closed pipe must not pass for success.
int CheckStandardOutput(int status) {
  const std::optional<std::string> reason = norvusb::StandardOutputError();
  if (!reason) return status;
  return norvusb::ShowError("cannot write standard output: " + *reason, norvusb::exit_code::kFailed);
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App program{
      "norvusb: the NorvUSB driver on a simulated machine - print through the USB-to-IEEE-1284 cable, "
      "show the device tree and the ports' state, drive the bridge, read the printer's back channel, "
      "run a session of such steps"};
  program.require_subcommand(1);
  program.set_help_all_flag("--help-all", "Help for every subcommand");
  program.set_version_flag("--version", "norvusb " NORVUSB_VERSION);

  std::vector<norvusb::Command> commands = norvusb::AddJobCommands(program);
  commands.push_back(norvusb::AddRunCommand(program));

  try {
    // A first word that names no subcommand would otherwise be reported as a
    // missing subcommand.
    if (argc > 1) norvusb::CheckSubcommand(argv[1], commands);
    program.parse(argc, argv);
  } catch (const CLI::Success &done) {
    return CheckStandardOutput(program.exit(done));  // --help, --help-all, --version
  } catch (const CLI::ParseError &error) {
    return norvusb::ShowError(norvusb::ParseErrorText(error, program), norvusb::exit_code::kBadInput);
  } catch (const norvusb::ToolError &error) {
    return norvusb::ShowError(error.what(), error.ExitCode());
  }

  // From here on Ctrl-C and SIGTERM stop the job at a clean point.
  norvusb::CatchInterrupts();
  try {
    for (const norvusb::Command &command : commands) {
      if (!command.app->parsed()) continue;
      const int status = CheckStandardOutput(command.run(nullptr));
      // A job that finished although a signal came still ends as interrupted.
      if (status == norvusb::exit_code::kOk && norvusb::Interrupted())
        return norvusb::ShowError(norvusb::InterruptText(), norvusb::InterruptExitStatus());
      return status;
    }
  } catch (const norvusb::ToolError &error) {
    return norvusb::ShowError(error.what(), error.ExitCode());
  } catch (const std::exception &error) {
    return norvusb::ShowError(error.what(), norvusb::exit_code::kFailed);
  }
  return norvusb::exit_code::kOk;
}
