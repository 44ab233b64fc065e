// norvusb enum: the device tree after plug and start, every identifier the
// driver gave the system for each bridge and its printer.
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "host/pnp/pnp_manager.h"
#include "host/kernel/registry.h"
#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/device_id.h"
#include "tools/host_port.h"
#include "tools/errors.h"
#include "tools/output.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

namespace pnp = host::pnp;

// The driver keeps the device ID in a buffer of this size.
constexpr ULONG kDriverIdBuffer = 1024;

struct EnumOptions {
  CommonOptions common;
  bool tree = false;
};

const char *DevicePowerName(DEVICE_POWER_STATE state) {
  static constexpr const char *kNames[] = {"unspecified", "D0", "D1", "D2", "D3"};
  return state >= 0 && state < 5 ? kNames[state] : "?";
}

const char *SystemPowerName(SYSTEM_POWER_STATE state) {
  static constexpr const char *kNames[] = {"unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
  return state >= 0 && state < 7 ? kNames[state] : "?";
}

Json Capabilities(const DEVICE_CAPABILITIES &caps) {
  Json flags = Json::array();
  const std::pair<bool, const char *> named[] = {
      {caps.DeviceD1, "DeviceD1"},         {caps.DeviceD2, "DeviceD2"},
      {caps.LockSupported, "LockSupported"}, {caps.EjectSupported, "EjectSupported"},
      {caps.Removable, "Removable"},       {caps.DockDevice, "DockDevice"},
      {caps.UniqueID, "UniqueID"},         {caps.SilentInstall, "SilentInstall"},
      {caps.RawDeviceOK, "RawDeviceOK"},   {caps.SurpriseRemovalOK, "SurpriseRemovalOK"},
      {caps.WakeFromD0, "WakeFromD0"},     {caps.WakeFromD1, "WakeFromD1"},
      {caps.WakeFromD2, "WakeFromD2"},     {caps.WakeFromD3, "WakeFromD3"},
      {caps.HardwareDisabled, "HardwareDisabled"}, {caps.NonDynamic, "NonDynamic"},
      {caps.WarmEjectSupported, "WarmEjectSupported"}, {caps.NoDisplayInUI, "NoDisplayInUI"},
  };
  for (const auto &[set, name] : named)
    if (set) flags.push_back(name);
  Json mapping = Json::object();
  for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s)
    mapping[SystemPowerName(static_cast<SYSTEM_POWER_STATE>(s))] = DevicePowerName(caps.DeviceState[s]);
  return Json{{"size", caps.Size},
              {"version", caps.Version},
              {"flags", flags},
              {"address", caps.Address},
              {"ui_number", caps.UINumber},
              {"device_state", mapping},
              {"system_wake", SystemPowerName(caps.SystemWake)},
              {"device_wake", DevicePowerName(caps.DeviceWake)}};
}

// The "\DosDevices\..." link that leads to the same device object.
std::string DosLinkOf(const std::u16string &deviceName) {
  const PDEVICE_OBJECT device = host::LookupDevice(deviceName);
  if (device == nullptr) return "";
  for (const std::u16string &link : host::SymbolicLinks())
    if (host::LookupDevice(link) == device) return host::registry::ToUtf8(link);
  return "";
}

// The device ID as the driver reads it for a tool: through the port, with a
// buffer as large as the driver's own, so that a cut shows as the child's
// identifiers have it.
void AddIeee1284Id(Json &printer, const std::string &portName) {
  printer["ieee1284_id"] = nullptr;
  printer["ieee1284_length_field"] = nullptr;
  printer["ieee1284_id_cut"] = false;
  if (portName.empty()) return;
  host::DeviceHandle port;
  if (!NT_SUCCESS(port.Open("\\\\.\\" + portName))) return;
  HostPort ids(port);
  const auto reply = ReadDeviceId(ids, kDriverIdBuffer);
  if (!reply) return;
  printer["ieee1284_id"] = DeviceIdText(reply->buffer);
  printer["ieee1284_length_field"] = reply->length.field;
  printer["ieee1284_id_cut"] = reply->length.cut;
}

Json Printer(const pnp::DeviceNodeInfo &node, const std::string &portName) {
  Json printer = Json::object();
  AddIeee1284Id(printer, portName);
  printer.update(Json{{"device_id", node.deviceId},
                      {"hardware_ids", node.hardwareIds},
                      {"compatible_ids", node.compatibleIds},
                      {"instance_id", node.instanceId},
                      {"instance_path", node.instancePath},
                      {"state", pnp::DeviceStateName(node.state)},
                      {"problem", node.problem},
                      {"capabilities", Capabilities(node.capabilities)}});
  return printer;
}

// The driver's three settings as its driver key holds them; null where the
// value is absent and the driver keeps what it had (4096, 0, 0 at load).
Json Settings(const std::string &driverKey) {
  Json settings = Json::object();
  for (const char *name : {"AltSetting", "IFSetting", "MaxTransferSize"}) {  // as the docs list them
    const auto value = host::registry::GetDword(driverKey, name);
    settings[name] = value ? Json(*value) : Json(nullptr);
  }
  return settings;
}

std::string SettingsText(const Json &settings) {
  std::string text;
  for (const auto &[name, value] : settings.items())
    text += (text.empty() ? "" : ", ") + name + " " + (value.is_null() ? std::string("(absent)") : value.dump());
  return text;
}

Json Bridge(Session &session, size_t index) {
  const host::BridgeView view = session.Machine().View(index);
  const auto node = pnp::FindDevice(view.instancePath);
  Json bridge = Json::object();
  bridge["device_name"] = host::registry::ToUtf8(view.deviceName);
  bridge["dos_link"] = DosLinkOf(view.deviceName);
  bridge["port_name"] = view.portName;
  const std::string driverKey = pnp::DriverKeyPath(view.instancePath);
  const std::string deviceKey = pnp::DeviceKeyPath(view.instancePath);
  bridge["driver_key"] = driverKey;
  bridge["device_key"] = deviceKey;
  bridge["device_key_port_name"] = host::registry::GetString(deviceKey, "Port Name").value_or("");
  bridge["settings"] = Settings(driverKey);
  bridge["state"] = node ? pnp::DeviceStateName(node->state) : "absent";
  bridge["problem"] = node ? node->problem : 0;
  bridge["instance_path"] = view.instancePath;
  bridge["usb_port"] = view.port;
  bridge["hardware_ids"] = node ? node->hardwareIds : std::vector<std::string>{};
  const auto child = view.printerInstancePath ? pnp::FindDevice(*view.printerInstancePath) : std::nullopt;
  bridge["printer"] = child ? Printer(*child, view.portName) : Json(nullptr);
  return bridge;
}

// Every text here may come from the device (its ID, and the identifiers
// built from it): escaped, so that no control byte reaches the terminal.
std::string Listed(const Json &list) {
  if (list.empty()) return "(none)";
  std::string text;
  for (const auto &item : list) text += (text.empty() ? "" : ", ") + Printable(item.get<std::string>());
  return text;
}

std::string Text(const Json &value) { return value.is_null() ? "(none)" : Printable(value.get<std::string>()); }

std::string StateText(const Json &node) {
  const uint32_t problem = node["problem"].get<uint32_t>();
  return problem == 0 ? Text(node["state"]) : Text(node["state"]) + ", problem " + ProblemText(problem);
}

std::string IdText(const Json &printer) {
  std::string text = Text(printer["ieee1284_id"]);
  if (printer["ieee1284_id_cut"].get<bool>())
    text += "  " + CutNote({printer["ieee1284_length_field"].get<uint64_t>(), true}, kDriverIdBuffer);
  return text;
}

void PrintPrinter(const Json &p) {
  const auto line = [](const char *name, const std::string &value) { std::printf("  %-22s %s\n", name, value.c_str()); };
  line("printer", Text(p["instance_path"]));
  line("  state", StateText(p));
  line("  IEEE 1284 ID", IdText(p));
  line("  device ID", Text(p["device_id"]));
  line("  hardware IDs", Listed(p["hardware_ids"]));
  line("  compatible IDs", Listed(p["compatible_ids"]));
  line("  instance ID", Text(p["instance_id"]));
  const Json &caps = p["capabilities"];
  line("  capabilities", fmt::format("size {}, version {}, {}, address {}, UI number {}", caps["size"].get<int>(),
                                     caps["version"].get<int>(), Listed(caps["flags"]),
                                     caps["address"].get<uint32_t>(), caps["ui_number"].get<uint32_t>()));
  std::string states;
  for (const auto &[system, device] : caps["device_state"].items())
    states += (states.empty() ? "" : " ") + system + "->" + device.get<std::string>();
  line("  power mapping", states);
}

void PrintReport(const Json &bridges) {
  const auto line = [](const char *name, const std::string &value) { std::printf("  %-22s %s\n", name, value.c_str()); };
  for (const Json &b : bridges) {
    std::printf("%s\n", fmt::format("{}  {}  -> {}", Text(b["port_name"]), Text(b["dos_link"]),
                                    Text(b["device_name"])).c_str());
    line("bridge", Text(b["instance_path"]));
    line("state", StateText(b));
    line("hardware IDs", Listed(b["hardware_ids"]));
    line("Port Name (driver key)", Text(b["port_name"]) + "  " + Text(b["driver_key"]));
    line("Port Name (device key)", Text(b["device_key_port_name"]) + "  " + Text(b["device_key"]));
    line("settings", SettingsText(b["settings"]));
    if (b["printer"].is_null()) {
      line("printer", "(none reported)");
    } else {
      PrintPrinter(b["printer"]);
    }
  }
}

std::string MakeAndModelOf(const Json &printer) {
  return printer["ieee1284_id"].is_null() ? "" : Printable(MakeAndModel(printer["ieee1284_id"].get<std::string>()));
}

// The tree as lsusb -t draws it: the root hub, each bridge on its port, and
// the printer the driver reported under it.
std::vector<std::string> TreeLines(const Json &bridges, uint16_t busNumber) {
  std::vector<std::string> lines = {fmt::format("/:  Bus {:02}.Port 1: Class=root_hub, Driver=usbhub, 12M", busNumber)};
  for (const Json &b : bridges) {
    lines.push_back(fmt::format("    |__ Port {}: Dev {}, If 0, Class=Printer, Driver=norvusb, 12M  {} ({})",
                                b["usb_port"].get<unsigned>(), b["usb_port"].get<unsigned>(),
                                b["port_name"].get<std::string>().empty() ? "(no port)" : Text(b["port_name"]),
                                StateText(b)));
    const Json &p = b["printer"];
    if (p.is_null()) continue;
    lines.push_back(fmt::format("        |__ {}  {} ({})", Text(p["device_id"]), MakeAndModelOf(p), StateText(p)));
  }
  return lines;
}

// The bridges plugged in now; only the one of --port when it is given.
Json Bridges(Session &session, const CommonOptions &options) {
  Json bridges = Json::array();
  for (size_t i : session.Workbench().Plugged())
    if (!options.port || i == session.BridgeIndex()) bridges.push_back(Bridge(session, i));
  return bridges;
}

int RunEnum(const EnumOptions &options, Bench *bench) {
  Session session(options.common, bench);
  const Json bridges = Bridges(session, options.common);
  const Verdict verdict = session.Finish();
  const std::optional<std::string> error = ErrorLine(std::nullopt, verdict);
  if (options.common.json) {
    Json document{{"bridges", bridges}};
    // --tree: the drawn tree too, a line each.
    if (options.tree) document["tree"] = TreeLines(bridges, 1);
    AddVerdict(document, verdict);
    document["error"] = ErrorField(error, verdict);
    EmitJson(document, options.common);
  } else if (options.tree && !options.common.quiet) {
    for (const std::string &line : TreeLines(bridges, 1)) std::printf("%s\n", line.c_str());
  } else if (!options.common.quiet) {
    PrintReport(bridges);
  }
  FlushStandardOutput();
  return Conclude(error, verdict);
}

}  // namespace

Command AddEnumCommand(CLI::App &program) {
  auto options = std::make_shared<EnumOptions>();
  CLI::App *app = program.add_subcommand(
      "enum", "Show the device tree after plug and start: each bridge's names and state, its printer's identifiers");
  app->add_flag("--tree", options->tree, "Draw the device tree (root hub, bridges, printers) as lsusb -t does");
  AddCommonOptions(*app, options->common, common_option::kAll & ~(common_option::kOut | common_option::kPrinterRate));
  app->get_option("--port")->description("Show only this port's bridge and printer");
  return {app, &options->common, [options](Bench *bench) { return RunEnum(*options, bench); },
          [options] { *options = EnumOptions{}; }};
}

}  // namespace norvusb
