// norvusb enum: the device tree after plug and start, every identifier the
// driver gave the system for each bridge and its printer.
#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "host/kernel/pnp_manager.h"
#include "host/kernel/registry.h"
#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/output.h"
#include "tools/session.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

namespace pnp = host::pnp;

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

// The device ID as the driver reads it for a tool: through the port.
Json Ieee1284Id(const std::string &portName) {
  if (portName.empty()) return nullptr;
  host::DeviceHandle port;
  if (!NT_SUCCESS(port.Open("\\\\.\\" + portName))) return nullptr;
  std::vector<uint8_t> buffer(1024);
  const host::IoResult result =
      port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, buffer.data(), static_cast<ULONG>(buffer.size()));
  if (!NT_SUCCESS(result.status) || result.information == 0) return nullptr;
  return DeviceIdText(buffer);
}

Json Printer(const pnp::DeviceNodeInfo &node, const std::string &portName) {
  return Json{{"ieee1284_id", Ieee1284Id(portName)},
              {"device_id", node.deviceId},
              {"hardware_ids", node.hardwareIds},
              {"compatible_ids", node.compatibleIds},
              {"instance_id", node.instanceId},
              {"instance_path", node.instancePath},
              {"state", pnp::DeviceStateName(node.state)},
              {"problem", node.problem},
              {"capabilities", Capabilities(node.capabilities)}};
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
  bridge["hardware_ids"] = node ? node->hardwareIds : std::vector<std::string>{};
  const auto child = view.printerInstancePath ? pnp::FindDevice(*view.printerInstancePath) : std::nullopt;
  bridge["printer"] = child ? Printer(*child, view.portName) : Json(nullptr);
  return bridge;
}

std::string Listed(const Json &list) {
  if (list.empty()) return "(none)";
  std::string text;
  for (const auto &item : list) text += (text.empty() ? "" : ", ") + item.get<std::string>();
  return text;
}

std::string Text(const Json &value) { return value.is_null() ? "(none)" : value.get<std::string>(); }

void PrintReport(const Json &bridges) {
  for (const Json &b : bridges) {
    std::printf("%s\n", fmt::format("{}  {}  -> {}", Text(b["port_name"]), Text(b["dos_link"]),
                                    Text(b["device_name"])).c_str());
    const auto line = [](const char *name, const std::string &value) {
      std::printf("  %-22s %s\n", name, value.c_str());
    };
    line("bridge", Text(b["instance_path"]));
    line("state", Text(b["state"]));
    line("hardware IDs", Listed(b["hardware_ids"]));
    line("Port Name (driver key)", Text(b["port_name"]) + "  " + Text(b["driver_key"]));
    line("Port Name (device key)", Text(b["device_key_port_name"]) + "  " + Text(b["device_key"]));
    line("settings", SettingsText(b["settings"]));
    const Json &p = b["printer"];
    if (p.is_null()) {
      line("printer", "(none reported)");
      continue;
    }
    line("printer", Text(p["instance_path"]));
    line("  state", Text(p["state"]));
    line("  IEEE 1284 ID", Text(p["ieee1284_id"]));
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
}

int RunEnum(const CommonOptions &options) {
  Session session(options);
  Json bridges = Json::array();
  for (size_t i = 0; i < session.Machine().BridgeCount(); ++i) bridges.push_back(Bridge(session, i));
  const Verdict verdict = session.Finish();
  if (options.json) {
    const Json document{{"bridges", bridges},
                        {"pool_blocks_leaked", verdict.poolBlocksLeaked},
                        {"verifier_violations", verdict.violations.size()}};
    PrintJson(document);
  } else if (!options.quiet) {
    PrintReport(bridges);
  }
  return ExitStatusFor(verdict);
}

}  // namespace

Command AddEnumCommand(CLI::App &program) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App *app = program.add_subcommand(
      "enum", "Show the device tree after plug and start: each bridge's names and state, its printer's identifiers");
  AddCommonOptions(*app, *options);
  return {app, [options] { return RunEnum(*options); }};
}

}  // namespace norvusb
