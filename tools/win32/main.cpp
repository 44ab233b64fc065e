// norvusb.exe: the NorvUSB port tool for a real Windows, 98 to 11. The
// subcommands, options, report lines, JSON and exit statuses are the Linux
// program's, for what means something on a real port (docs/cli.md).
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/errors.h"
#include "tools/requests.h"
#include "tools/win32/jobs.h"
#include "tools/win32/system.h"

#ifndef NORVUSB_VERSION
#define NORVUSB_VERSION "0.0.0"
#endif

namespace {

using namespace norvusb;
using namespace norvusb::win32;

void AddCommon(CLI::App &app, win32::CommonOptions &options, bool port = true) {
  if (port)
    app.add_option("--port", options.port, "The port to use, NorvUSB1 ... NorvUSBn (default NorvUSB1)")
        ->type_name("NorvUSBk");
  app.add_flag("--json", options.json, "Print one JSON document on standard output instead of the report");
  app.add_flag("-q,--quiet", options.quiet, "No progress bar and no report; errors still show");
}

int ShowError(const std::string &message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "norvusb: error: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  BinaryStandardStreams();
  CatchInterrupts();
  CLI::App program{"norvusb: print to a NorvUSB port and ask its bridge and printer", "norvusb"};
  program.require_subcommand(1);
  program.set_version_flag("--version", NORVUSB_VERSION);

  PrintOptions print;
  CLI::App *printApp = program.add_subcommand("print", "Print files (or - for standard input) as raw bytes to the port");
  printApp->add_option("FILE", print.files, "The documents; - reads standard input")->required();
  printApp->add_option("-t,--title", print.title, "The job's name (default: the first file's name)")->type_name("NAME");
  printApp->add_flag("--job-per-file", print.jobPerFile, "Print each FILE as a job of its own");
  printApp->add_option("--stall-timeout", print.stallTimeout,
                       "Cancel the print when the printer takes no data for this many seconds (default 10)")
      ->type_name("SECONDS");
  AddCommon(*printApp, print.common);

  win32::CommonOptions status;
  CLI::App *statusApp = program.add_subcommand("status", "Show each port's bridge and printer state in words");
  AddCommon(*statusApp, status);

  win32::CommonOptions id;
  CLI::App *idApp = program.add_subcommand("id", "Show the printer's IEEE 1284 device ID, decoded (get-device-id)");
  AddCommon(*idApp, id);

  ReadOptions read;
  CLI::App *readApp = program.add_subcommand("read", "Read the printer's back channel, with a time-out");
  readApp->add_option("--send", read.send, "Write this first (escapes \\n \\r \\t \\f \\e \\0 \\\\ \\xHH)")->type_name("TEXT");
  readApp->add_option("--timeout", read.timeout, "Cancel the read after this many seconds (default 2)")->type_name("SECONDS");
  readApp->add_option("--length", read.length, "Bytes per read request (default 1024, a multiple of 64)")->type_name("BYTES");
  readApp->add_flag("--all", read.all, "Keep reading until the time-out instead of stopping after the first reply");
  readApp->add_flag("--raw", read.raw, "Write the bytes read to standard output as they are");
  AddCommon(*readApp, read.common);

  IoctlOptions ioctl;
  CLI::App *ioctlApp = program.add_subcommand("ioctl", "Send one device-control request to the bridge and decode the reply");
  ioctlApp->add_option("REQUEST", ioctl.request, "The request: " + RequestNames() + "; or a control code such as 0x222024")
      ->required();
  ioctlApp->add_option("ARGS", ioctl.arguments,
                       "The request's values: select-interface IF ALT, vendor-2 ARG (16 bits), set-transfer-mode MODE");
  ioctlApp->add_option("--length", ioctl.length, "Output buffer length in bytes (default: what the request needs)")
      ->type_name("BYTES")
      ->check(CLI::Range(0u, 1u << 20));
  ioctlApp->add_option("--input", ioctl.input, "Input bytes in hex, instead of the request's values (\"04 01\")")
      ->type_name("HEX");
  AddCommon(*ioctlApp, ioctl.common);

  win32::CommonOptions reset;
  CLI::App *resetApp = program.add_subcommand("reset", "Initialise the printer (vendor-3: the nInit line)");
  AddCommon(*resetApp, reset);

  win32::CommonOptions ports;
  CLI::App *portsApp = program.add_subcommand("ports", "List the NorvUSB ports that exist now, with each printer's ID");
  AddCommon(*portsApp, ports, false);

  try {
    program.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    if (error.get_exit_code() == 0) return program.exit(error);  // --help, --version
    return ShowError(error.what(), exit_code::kBadInput);
  }
  try {
    if (printApp->parsed()) return RunPrint(print);
    if (statusApp->parsed()) return RunStatus(status);
    if (idApp->parsed()) return RunNamedRequest(id, "get-device-id");
    if (readApp->parsed()) return RunRead(read);
    if (ioctlApp->parsed()) return RunIoctl(ioctl);
    if (resetApp->parsed()) return RunNamedRequest(reset, "vendor-3");
    return RunPorts(ports);
  } catch (const ToolError &error) {
    return ShowError(error.what(), error.ExitCode());
  } catch (const std::exception &error) {
    return ShowError(error.what(), exit_code::kFailed);
  }
}
