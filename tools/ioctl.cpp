// norvusb ioctl: any device-control request of the bridge by a readable name,
// with the reply decoded (descriptors as lsusb -v shows them, the vendor
// replies in words) and in hex.
#include <cstdio>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/host_port.h"
#include "tools/report.h"
#include "tools/requests.h"
#include "tools/session.h"

namespace norvusb {

namespace {

struct IoctlOptions {
  CommonOptions common;
  std::string request;
  std::vector<std::string> arguments;
  std::optional<ULONG> length;  // output buffer length
  std::optional<std::string> input;  // input bytes in hex, replacing the arguments
};

int RunIoctl(const IoctlOptions &options, Bench *bench) {
  const Request request = FindRequest(options.request);
  const std::vector<uint8_t> input = RequestInput(request, options.request, options.arguments, options.input);
  const ULONG outputLength = options.length.value_or(request.outputLength);
  Session session(options.common, bench);
  RequestOutcome outcome;
  {
    host::DeviceHandle handle = session.OpenPort();
    HostPort port(handle);
    outcome = SendRequest(port, request, options.request, session.PortName(), input, outputLength);
  }
  const Verdict verdict = session.Finish();
  AddVerdict(outcome.document, verdict);
  const std::optional<std::string> error = ErrorLine(outcome.error, verdict);
  outcome.document["error"] = ErrorField(error, verdict);

  if (options.common.json) {
    EmitJson(outcome.document, options.common);
  } else if (!options.common.quiet) {
    PrintRequestReport(outcome);
  }
  FlushStandardOutput();
  return Conclude(error, verdict);
}

}  // namespace

Command AddIoctlCommand(CLI::App &program) {
  auto options = std::make_shared<IoctlOptions>();
  CLI::App *app = program.add_subcommand("ioctl", "Send one device-control request to the bridge and decode the reply");
  app->add_option("REQUEST", options->request, "The request: " + RequestNames() + "; or a control code such as 0x222024")
      ->required();
  app->add_option("ARGS", options->arguments,
                  "The request's values: select-interface IF ALT, vendor-2 ARG (16 bits), set-transfer-mode MODE");
  app->add_option("--length", options->length, "Output buffer length in bytes (default: what the request needs)")
      ->type_name("BYTES")
      ->check(CLI::Range(0u, 1u << 20));
  app->add_option("--input", options->input, "Input bytes in hex, instead of the request's values (\"04 01\")")
      ->type_name("HEX");
  AddCommonOptions(*app, options->common, common_option::kAll & ~(common_option::kOut | common_option::kPrinterRate));
  return {app, &options->common, [options](Bench *bench) { return RunIoctl(*options, bench); },
          [options] { *options = IoctlOptions{}; }};
}

}  // namespace norvusb
