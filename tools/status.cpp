// norvusb status: each port's bridge and printer state in words.
#include "tools/status.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "host/kernel/pnp_manager.h"
#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/device_id.h"
#include "tools/errors.h"
#include "tools/report.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

namespace hw = host::hardware;

// What the port itself says: the bridge's port status and the device ID.
void AddPortReplies(Json &state, const std::string &portName) {
  host::DeviceHandle port;
  if (const NTSTATUS status = port.Open("\\\\.\\" + portName); !NT_SUCCESS(status)) {
    state["error"] = fmt::format("cannot open \\\\.\\{}: {}", portName, StatusText(status));
    return;
  }
  std::array<uint8_t, hw::kVendorReplySize> reply{};
  const host::IoResult result =
      port.DeviceControl(IOCTL_BRIDGE_VENDOR_5, nullptr, 0, reply.data(), static_cast<ULONG>(reply.size()));
  if (!NT_SUCCESS(result.status) || result.information < reply.size()) {
    state["error"] = fmt::format("the bridge gave no port status: {}", StatusText(result.status));
    return;
  }
  const hw::PortStatusReply status = hw::DecodePortStatus(reply);
  std::vector<std::string> states = PrinterStates(status.statusLines);
  // A ready printer with data still queued in the bridge is at work.
  if (states == std::vector<std::string>{"ready"} && status.fifoLevel > 0) states = {"printing"};
  state["printer"] = states;
  state["status_lines"] = status.statusLines;
  state["status_lines_text"] = StatusLinesText(status.statusLines);
  state["queued"] = status.fifoLevel;
  state["fifo_free"] = status.fifoFree;
  state["back_channel"] = status.backChannel;
  const auto id = ReadDeviceId(port, 1024);
  state["make_and_model"] = id ? MakeAndModel(DeviceIdText(id->buffer)) : "";
}

std::string Joined(const Json &list) {
  std::string text;
  for (const Json &item : list) text += (text.empty() ? "" : ", ") + item.get<std::string>();
  return text;
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
  AddPortReplies(state, view.portName);
  // The bridge answers on its default pipe, so it looks ready, but without
  // its interface the driver has no pipe to print through.
  if (const std::string hint = InterfaceHint(options); !hint.empty() && state["error"].is_null())
    state["error"] = "the port refuses every transfer" + hint;
  return state;
}

// Columns as wide as their widest entry, so that a printer held by several
// conditions or a failed bridge's problem never pushes a row out of line.
void PrintStates(const Json &ports) {
  using Row = std::array<std::string, 5>;
  std::vector<Row> rows{{"PORT", "BRIDGE", "PRINTER", "QUEUED", "MAKE AND MODEL"}};
  std::vector<std::string> errors{""};
  for (const Json &p : ports) {
    std::string bridge = p["bridge"].get<std::string>();
    if (p["problem"].get<uint32_t>() != 0) bridge += ", problem " + ProblemText(p["problem"].get<uint32_t>());
    const std::string port = p["port"].get<std::string>();
    rows.push_back({port.empty() ? "-" : port, bridge, Joined(p["printer"]),
                    p["queued"].is_null() ? "-" : HumanBytes(p["queued"].get<double>()),
                    Printable(p["make_and_model"].get<std::string>())});
    std::string note = p["error"].is_null() ? "" : p["error"].get<std::string>();
    // Bytes a held printer did not take stay in the bridge, across resets, and print first.
    if (note.empty() && !p["queued"].is_null() && p["queued"].get<uint64_t>() > 0 && Joined(p["printer"]) != "printing")
      note = fmt::format("{} bytes wait in the bridge and will print first when the printer takes data again",
                         p["queued"].get<uint64_t>());
    errors.push_back(note);
  }
  std::array<size_t, 4> widths{};
  for (const Row &row : rows)
    for (size_t column = 0; column < widths.size(); ++column) widths[column] = std::max(widths[column], row[column].size());
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string line;
    for (size_t column = 0; column < widths.size(); ++column) line += fmt::format("{:<{}}  ", rows[i][column], widths[column]);
    std::printf("%s\n", (line + rows[i].back()).c_str());
    if (!errors[i].empty()) std::printf("  %s\n", errors[i].c_str());
  }
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
