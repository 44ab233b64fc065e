#include "tools/options.h"

#include <charconv>

#include <fmt/format.h>

#include "host/pnp/pnp_manager.h"
#include "tools/errors.h"
#include "tools/port_name.h"

namespace norvusb {

namespace {

struct SettingRule {
  const char *name;
  uint32_t min;
  uint32_t max;
};

// The largest transfer the bus gives a pipe; the driver's bounce buffer of 0
// bytes would be a zero-size allocation.
constexpr SettingRule kSettingRules[] = {
    {"MaxTransferSize", 1, 1u << 20},
    {"IFSetting", 0, 255},
    {"AltSetting", 0, 255},
};

std::optional<uint64_t> ParseNumber(const std::string &text) {
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// The parser would take "-1" for 2^64 - 1 and a number past 2^64 for the
// largest: a seed is written as a whole number within 64 bits.
CLI::Validator WholeNumber() {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size())
          return fmt::format("{}: the value must be a whole number from 0 to {}", text.empty() ? "''" : text,
                             UINT64_MAX);
        return "";
      },
      "N");
}

}  // namespace

void AddCommonOptions(CLI::App &command, CommonOptions &options, unsigned which) {
  namespace o = common_option;
  if (which & o::kMachine) {
    command.add_option("--device-id", options.deviceIds,
                       "The printer's IEEE 1284 device ID; repeat for each bridge (the last one repeats)")
        ->type_name("TEXT")
        ->allow_extra_args(false);
    command.add_option("--bridges", options.bridges, "Number of bridges to plug in, each with a printer")
        ->check(CLI::Range(1u, 32u));
    command.add_option("--set", options.settings,
                       "Registry value under the driver key before the bridge is added "
                       "(MaxTransferSize, IFSetting, AltSetting)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    command
        .add_option("--timing", options.timing,
                    "Bus timing: full-speed (1 ms frames, as fast as the host computes them), real-time (the same "
                    "frames at the wall clock's pace, to watch a job) or instant (no bus time, for scripts)")
        ->check(CLI::IsMember({"full-speed", "real-time", "instant"}));
    command.add_option("--seed", options.seed,
                       "Run the machine's threads one at a time in an order this number decides, so that a run "
                       "(its model time, its figures) repeats exactly")
        ->type_name("N")
        ->check(WholeNumber());
    command.add_option("--pcap", options.pcap, "Capture all USB traffic to this USBPcap file (- for standard output)")->type_name("PATH");
  }
  if (which & o::kPort)
    command
        .add_option("-d,--port", options.port,
                    "The port to use, NorvUSB1 ... NorvUSBn (default NorvUSB1); -d as lp names its destination")
        ->type_name("NAME");
  if (which & o::kOut)
    command.add_option("--out", options.out, "Write what the printer received to this file (- for standard output)")->type_name("PATH");
  if (which & o::kPrinterRate)
    command.add_option("--printer-rate", options.printerRate, "Printer speed in bytes per second (default unlimited)")
        ->type_name("BYTES_PER_S")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  if (which & o::kReport) {
    command.add_flag("--json", options.json, "Print one JSON document on standard output instead of the report");
    command.add_flag("-q,--quiet", options.quiet, "No progress bar and no report; errors still show");
  }
}

std::vector<Setting> ParseSettings(const std::vector<std::string> &settings) {
  std::vector<Setting> parsed;
  for (const std::string &item : settings) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos) BadInput(fmt::format("--set {}: expected NAME=VALUE", item));
    const std::string name = item.substr(0, equals);
    const SettingRule *rule = nullptr;
    for (const auto &candidate : kSettingRules)
      if (host::pnp::ids::EqualIds(candidate.name, name)) rule = &candidate;
    if (rule == nullptr)
      BadInput(fmt::format("--set {}: unknown value name (MaxTransferSize, IFSetting or AltSetting)", name));
    const auto value = ParseNumber(item.substr(equals + 1));
    if (!value || *value < rule->min || *value > rule->max)
      BadInput(fmt::format("--set {}: the value must be a number from {} to {}", item, rule->min, rule->max));
    parsed.push_back({rule->name, static_cast<uint32_t>(*value)});
  }
  return parsed;
}

uint64_t ParseByteCount(const std::string &option, const std::string &text) {
  constexpr uint64_t kMax = uint64_t{1} << 62;
  const auto value = ParseNumber(text);
  if (!value || *value > kMax)
    BadInput(fmt::format("{} {}: expected a number of bytes from 0 to {}", option, text, kMax));
  return *value;
}

void CheckSeconds(const std::string &option, double seconds, const std::string &typed) {
  constexpr double kTick = 1e-7;  // the model clock's unit
  if (!(seconds >= kTick && seconds <= kMaxSeconds))  // NaN too
    BadInput(fmt::format("{} {}: the value must be a number of seconds from 0.0000001 (the model clock's tick) "
                         "to {:.0f} (about 31 years, within what the model clock can count)",
                         option, typed.empty() ? fmt::format("{:g}", seconds) : typed, kMaxSeconds));
}

unsigned ParsePort(const std::optional<std::string> &port, unsigned bridges) {
  if (!port) return 1;
  const std::string &name = *port;
  if (name.empty()) BadInput("--port '': expected a port name such as NorvUSB1");
  const auto number = PortNumberOf(name);
  if (!number) BadInput(fmt::format("--port {}: expected a port name such as NorvUSB1", name));
  if (*number > bridges)
    BadInput(fmt::format("--port {}: no such port; {} bridge(s) give NorvUSB1 to NorvUSB{}", name, bridges, bridges));
  return static_cast<unsigned>(*number);
}

host::MachineOptions MachineOptionsFor(const CommonOptions &options) {
  host::MachineOptions machine;
  machine.timing = options.timing == "instant" ? host::usb::Timing::Instant : host::usb::Timing::FullSpeed;
  // Model time never runs ahead of the wall clock.
  if (options.timing == "real-time") machine.kernel.pace = 1.0;
  machine.kernel.seed = options.seed;
  for (const Setting &setting : ParseSettings(options.settings))
    machine.driverSettings.emplace_back(setting.name, setting.value);
  return machine;
}

std::vector<host::BridgePlan> BridgePlansFor(const CommonOptions &options) {
  std::vector<host::BridgePlan> plans(options.bridges);
  for (size_t i = 0; i < plans.size(); ++i) {
    auto &printer = plans[i].printer;
    if (!options.deviceIds.empty()) printer.deviceId = options.deviceIds[std::min(i, options.deviceIds.size() - 1)];
    printer.bytesPerSecond = options.printerRate;
    // The tools see the data as it passes (Printer::SetObserver); a copy of
    // it all would grow with the document.
    printer.keepInMemory = false;
  }
  return plans;
}

std::string InterfaceHint(const CommonOptions &options) {
  uint32_t interface = 0, alternate = 0;
  for (const Setting &setting : ParseSettings(options.settings)) {
    if (setting.name == std::string("IFSetting")) interface = setting.value;
    if (setting.name == std::string("AltSetting")) alternate = setting.value;
  }
  if (interface == 0 && alternate == 0) return "";
  return fmt::format(": --set chose interface {}, alternate setting {}, which the bridge does not offer (it has "
                     "interface 0, alternate setting 0: norvusb ioctl get-configuration-descriptor); the driver "
                     "started without pipes and refuses every transfer",
                     interface, alternate);
}

uint32_t MaxTransferSizeOf(const CommonOptions &options) {
  uint32_t size = kDefaultMaxTransferSize;
  for (const Setting &setting : ParseSettings(options.settings))
    if (setting.name == std::string("MaxTransferSize")) size = setting.value;
  return size;
}

}  // namespace norvusb
