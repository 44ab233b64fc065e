// The steps only a session has: plug a bridge in, pull one out, change what
// holds the printer. Each reports as the subcommands do.
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "host/pnp/pnp_manager.h"
#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/status.h"
#include "tools/text.h"

namespace norvusb {

namespace {

// How long a printer that was let go may take to print what the bridge held.
constexpr double kDrainStallSeconds = 1.0;
constexpr double kDrainPollSeconds = 0.01;

Bench &SessionBench(Bench *bench, const char *step) {
  if (bench == nullptr) BadInput(fmt::format("{} is a step of a session: norvusb run", step));
  return *bench;
}

// Ends a step's report: the verifier's count, then the document or the line.
int Report(Json document, Session &session, const CommonOptions &options, const std::string &line) {
  const Verdict verdict = session.Finish();
  const std::optional<std::string> error = ErrorLine(std::nullopt, verdict);
  AddVerdict(document, verdict);
  document["error"] = ErrorField(error, verdict);
  if (options.json) {
    EmitJson(document, options);
  } else if (!options.quiet) {
    std::printf("%s\n", line.c_str());
  }
  FlushStandardOutput();
  return Conclude(error, verdict);
}

struct PlugOptions {
  CommonOptions common;
  std::optional<std::string> deviceId;
  std::optional<uint64_t> printerRate;
};

int RunPlug(const PlugOptions &options, Bench *bench) {
  Bench &workbench = SessionBench(bench, "plug");
  // USB addresses are 1 to 127: a bus holds no more devices.
  constexpr size_t kMaxUsbDevices = 127;
  if (workbench.Plugged().size() >= kMaxUsbDevices)
    Fail(fmt::format("a USB bus holds at most {} devices, and {} bridges are plugged in: unplug one first",
                     kMaxUsbDevices, workbench.Plugged().size()));
  host::BridgePlan plan;
  if (options.deviceId) plan.printer.deviceId = *options.deviceId;
  plan.printer.bytesPerSecond = options.printerRate;
  const size_t index = workbench.Plug(std::move(plan));
  const host::BridgeView view = workbench.Machine().View(index);
  const auto node = host::pnp::FindDevice(view.instancePath);
  const std::string state = node ? host::pnp::DeviceStateName(node->state) : "absent";
  if (view.portName.empty())
    Fail(fmt::format("the bridge on USB port {} got no port: its state is {}, problem {}", view.port, state,
                     ProblemText(node ? node->problem : 0)));
  CommonOptions chosen = options.common;
  chosen.port = view.portName;
  Session session(chosen, bench);
  const Json document{{"plugged", view.portName}, {"usb_port", view.port}, {"state", state},
                      {"printer", view.printerInstancePath ? Json(*view.printerInstancePath) : Json(nullptr)}};
  return Report(document, session, options.common,
                fmt::format("Plugged a bridge into USB port {}: {} ({}), printer {}", view.port, view.portName, state,
                            view.printerInstancePath ? Printable(*view.printerInstancePath) : "(none reported)"));
}

int RunUnplug(const CommonOptions &options, Bench *bench) {
  SessionBench(bench, "unplug");
  Session session(options, bench);
  const host::usb::Port usbPort = session.UsbPort();
  session.Machine().Unplug(session.BridgeIndex());
  session.Machine().WaitIdle();
  return Report(Json{{"unplugged", session.PortName()}, {"usb_port", usbPort}}, session, options,
                fmt::format("Unplugged {} from USB port {}", session.PortName(), usbPort));
}

struct PrinterOptions {
  CommonOptions common;
  std::string condition;
  std::string setting = "on";
};

hardware::Condition ConditionNamed(const std::string &name) {
  if (name == "offline") return hardware::Condition::Offline;
  if (name == "paper-out") return hardware::Condition::PaperOut;
  if (name == "busy") return hardware::Condition::Busy;
  return hardware::Condition::Error;
}

// A printer let go takes what the bridge held; the step ends when the bridge's
// queue is empty or the printer stops taking it, so that the next step starts
// from a quiet port.
void AwaitDrain(Session &session) {
  hardware::Printer &printer = session.Printer();
  uint64_t seen = printer.ReceivedCount();
  int64_t lastProgress = host::clock::Now();
  while (PortState(session, session.BridgeIndex())["queued"].get<uint64_t>() > 0) {
    host::clock::SleepFor(Units(kDrainPollSeconds));
    if (printer.ReceivedCount() != seen) {
      seen = printer.ReceivedCount();
      lastProgress = host::clock::Now();
    } else if (Seconds(host::clock::Now() - lastProgress) >= kDrainStallSeconds) {
      return;
    }
  }
}

int RunPrinter(const PrinterOptions &options, Bench *bench) {
  SessionBench(bench, "printer");
  Session session(options.common, bench);
  hardware::Printer &printer = session.Printer();
  if (options.condition == "ready") {
    for (auto condition : {hardware::Condition::Offline, hardware::Condition::PaperOut, hardware::Condition::Busy,
                           hardware::Condition::Error})
      printer.SetCondition(condition, false);
  } else {
    printer.SetCondition(ConditionNamed(options.condition), options.setting == "on");
  }
  if (printer.Ready() && !PortState(session, session.BridgeIndex())["queued"].is_null()) AwaitDrain(session);
  const Json state = PortState(session, session.BridgeIndex());
  std::string words;
  for (const Json &word : state["printer"]) words += (words.empty() ? "" : ", ") + word.get<std::string>();
  return Report(state, session, options.common,
                fmt::format("{}: printer {} (status lines {})", session.PortName(), words,
                            state["status_lines_text"].is_null() ? "unknown" : state["status_lines_text"].get<std::string>()));
}

}  // namespace

std::vector<Command> AddSessionSteps(CLI::App &program) {
  namespace o = common_option;
  std::vector<Command> steps;

  auto plug = std::make_shared<PlugOptions>();
  CLI::App *plugApp = program.add_subcommand("plug", "Plug one more bridge in, with its printer");
  plugApp->add_option("--device-id", plug->deviceId, "The printer's IEEE 1284 device ID")->type_name("TEXT");
  plugApp->add_option("--printer-rate", plug->printerRate, "Printer speed in bytes per second (default unlimited)")
      ->type_name("BYTES_PER_S")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  AddCommonOptions(*plugApp, plug->common, o::kReport);
  steps.push_back({plugApp, &plug->common, [plug](Bench *bench) { return RunPlug(*plug, bench); },
                   [plug] { *plug = PlugOptions{}; }});

  auto unplug = std::make_shared<CommonOptions>();
  CLI::App *unplugApp = program.add_subcommand("unplug", "Pull a bridge's cable out (--port, default NorvUSB1)");
  AddCommonOptions(*unplugApp, *unplug, o::kPort | o::kReport);
  steps.push_back({unplugApp, unplug.get(), [unplug](Bench *bench) { return RunUnplug(*unplug, bench); },
                   [unplug] { *unplug = CommonOptions{}; }});

  auto printer = std::make_shared<PrinterOptions>();
  CLI::App *printerApp = program.add_subcommand(
      "printer", "Set what holds the printer (offline, paper-out, busy, error: on or off), or make it ready");
  printerApp->add_option("CONDITION", printer->condition, "offline, paper-out, busy, error, or ready (clears them all)")
      ->required()
      ->check(CLI::IsMember({"offline", "paper-out", "busy", "error", "ready"}));
  printerApp->add_option("SETTING", printer->setting, "on (default) or off")->check(CLI::IsMember({"on", "off"}));
  AddCommonOptions(*printerApp, printer->common, o::kPort | o::kReport);
  steps.push_back({printerApp, &printer->common, [printer](Bench *bench) { return RunPrinter(*printer, bench); },
                   [printer] { *printer = PrinterOptions{}; }});
  return steps;
}

}  // namespace norvusb
