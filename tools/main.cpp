// norvusb: print through the simulated USB-to-IEEE-1284 cable, show the
// device tree and the ports' state, drive the bridge, read the printer's
// back channel, or run a session of such steps, with the unchanged driver
// running on the host machine.
#include <algorithm>
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
#include "tools/manual.h"
#include "tools/output.h"
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

// A command line the program cannot take: under --json standard output still
// gets a document, so that a script reading it always has one.
int RefuseArguments(const std::string &message, int status, const std::vector<std::string> &args) {
  if (std::find(args.begin(), args.end(), "--json") != args.end())
    norvusb::PrintJson(norvusb::Json{{"error", message}});
  return CheckStandardOutput(norvusb::ShowError(message, status));
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App program{
      "norvusb: the NorvUSB driver on a simulated machine - print through the USB-to-IEEE-1284 cable, "
      "show the device tree and the ports' state, drive the bridge, read the printer's back channel, "
      "run a session of such steps"};
  program.name("norvusb");
  program.require_subcommand(1);
  program.set_help_all_flag("--help-all", "Help for every subcommand");
  program.set_version_flag("-V,--version", "norvusb " NORVUSB_VERSION);
  program.footer("norvusb help SUBCOMMAND (or norvusb SUBCOMMAND --help) shows a subcommand's options.");

  std::vector<norvusb::Command> commands = norvusb::AddJobCommands(program);
  commands.push_back(norvusb::AddRunCommand(program));

  const std::vector<std::string> args = norvusb::NormalisedArguments({argv + 1, argv + argc}, commands);
  // For the build: the manual page, from the help text above.
  if (args == std::vector<std::string>{"--manual-page"}) {
    std::printf("%s", norvusb::ManualPage(program, "norvusb " NORVUSB_VERSION).c_str());
    return CheckStandardOutput(norvusb::exit_code::kOk);
  }
  try {
    // A first word that names no subcommand would otherwise be reported as a
    // missing subcommand.
    if (!args.empty()) norvusb::CheckSubcommand(args.front(), commands);
    program.parse(std::vector<std::string>(args.rbegin(), args.rend()));  // the parser takes them last first
  } catch (const CLI::Success &done) {
    return CheckStandardOutput(program.exit(done));  // --help, --help-all, --version
  } catch (const CLI::ParseError &error) {
    return RefuseArguments(norvusb::ParseErrorText(error, program), norvusb::exit_code::kBadInput, args);
  } catch (const norvusb::ToolError &error) {
    return RefuseArguments(error.what(), error.ExitCode(), args);
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
    // Refused before the job printed its document (a value, a file that cannot be read).
    if (norvusb::DocumentsEmitted() == 0) return RefuseArguments(error.what(), error.ExitCode(), args);
    return norvusb::ShowError(error.what(), error.ExitCode());
  } catch (const std::exception &error) {
    return norvusb::ShowError(error.what(), norvusb::exit_code::kFailed);
  }
  return norvusb::exit_code::kOk;
}
