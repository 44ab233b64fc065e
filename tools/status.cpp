// norvusb status: each port's bridge and printer state in words.
#include "tools/status.h"

#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "host/pnp/pnp_manager.h"
#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/host_port.h"
#include "tools/port_state.h"
#include "tools/report.h"
#include "tools/text.h"

namespace norvusb {

namespace {

// What the port itself says, asked as a print monitor asks it.
void AskPort(Json &state, const std::string &portName) {
  host::DeviceHandle handle;
  if (const NTSTATUS status = handle.Open("\\\\.\\" + portName); !NT_SUCCESS(status)) {
    state["error"] = fmt::format("cannot open \\\\.\\{}: {}", portName, StatusText(status));
    return;
  }
  HostPort port(handle);
  AddPortReplies(state, port);
}

}  // namespace

Json PortState(Session &session, size_t bridgeIndex, const CommonOptions &options) {
  const host::BridgeView view = session.Machine().View(bridgeIndex);
  const auto node = host::pnp::FindDevice(view.instancePath);
  Json state{{"port", view.portName},
             {"usb_port", view.port},
             {"bridge", node ? host::pnp::DeviceStateName(node->state) : "absent"},
             {"problem", node ? node->problem : 0},
             {"printer", Json::array({"unknown"})},
             {"status_lines", nullptr},
             {"status_lines_text", nullptr},
             {"queued", nullptr},
             {"fifo_free", nullptr},
             {"back_channel", nullptr},
             {"make_and_model", ""},
             {"error", nullptr}};
  if (view.portName.empty()) {
    state["error"] = "the driver gave the bridge no port";
    return state;
  }
  AskPort(state, view.portName);
  // The bridge answers on its default pipe, so it looks ready, but without
  // its interface the driver has no pipe to print through.
  if (const std::string hint = InterfaceHint(options); !hint.empty() && state["error"].is_null())
    state["error"] = "the port refuses every transfer" + hint;
  return state;
}

namespace {

int RunStatus(const CommonOptions &options, Bench *bench) {
  Session session(options, bench);
  Json ports = Json::array();
  for (size_t i : session.Workbench().Plugged())
    if (!options.port || i == session.BridgeIndex()) ports.push_back(PortState(session, i, options));
  const Verdict verdict = session.Finish();
  // A port that could not be asked is a failure: its state is not known.
  std::optional<std::string> error;
  for (const Json &port : ports)
    if (!port["error"].is_null() && !error)
      error = fmt::format("{}: {}", port["port"].get<std::string>().empty() ? "a bridge" : port["port"].get<std::string>(),
                          port["error"].get<std::string>());
  error = ErrorLine(error, verdict);
  if (options.json) {
    Json document{{"ports", ports}};
    AddVerdict(document, verdict);
    document["error"] = ErrorField(error, verdict);
    EmitJson(document, options);
  } else if (!options.quiet) {
    PrintStates(ports);
  }
  FlushStandardOutput();
  return Conclude(error, verdict);
}

}  // namespace

Command AddStatusCommand(CLI::App &program) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App *app = program.add_subcommand(
      "status", "Show each port's bridge and printer state in words: ready, printing, off line, paper out, busy, error");
  AddCommonOptions(*app, *options, common_option::kAll & ~(common_option::kOut | common_option::kPrinterRate));
  app->get_option("--port")->description("Show only this port");
  return {app, options.get(), [options](Bench *bench) { return RunStatus(*options, bench); },
          [options] { *options = CommonOptions{}; }};
}

}  // namespace norvusb
