// The options every subcommand shares, how they are declared on the command
// line, and what they become for the machine (its options, the bridges to
// plug in).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/machine/machine.h"

namespace norvusb {

// Where a step of `norvusb run` came from; set by the session, not an option.
struct StepInfo {
  std::string where;  // "steps.txt:3"
  size_t line = 0;
  std::string text;   // the step as written
};

struct CommonOptions {
  std::vector<std::string> deviceIds;          // --device-id, one per bridge; the last repeats
  unsigned bridges = 1;                        // --bridges
  std::optional<std::string> port;             // --port NorvUSBk; none: NorvUSB1
  std::vector<std::string> settings;           // --set NAME=VALUE
  std::string timing = "full-speed";           // --timing: full-speed, real-time or instant
  std::optional<uint64_t> seed;                // --seed: the seeded scheduler
  std::optional<std::string> out;              // --out: what the printer received; "-" standard output
  std::optional<std::string> pcap;             // --pcap: USBPcap capture; "-" standard output
  std::optional<uint64_t> printerRate;         // --printer-rate
  bool json = false;
  bool quiet = false;
  std::optional<StepInfo> step;
};

// Which of the common options a subcommand takes: those that mean nothing
// for it are refused, not ignored.
namespace common_option {
inline constexpr unsigned kMachine = 1u << 0;  // --device-id --bridges --set --timing --seed --pcap
inline constexpr unsigned kPort = 1u << 1;
inline constexpr unsigned kOut = 1u << 2;
inline constexpr unsigned kPrinterRate = 1u << 3;
inline constexpr unsigned kReport = 1u << 4;  // --json --quiet
inline constexpr unsigned kAll = kMachine | kPort | kOut | kPrinterRate | kReport;
// The options that shape the machine itself: a step of `run` cannot change them.
inline constexpr const char *kMachineNames[] = {"--device-id", "--bridges", "--set", "--timing", "--seed",
                                                "--pcap", "--printer-rate"};
}  // namespace common_option

// The registry values a driver key may be given before its bridge is added.
struct Setting {
  std::string name;
  uint32_t value = 0;
};

void AddCommonOptions(CLI::App &command, CommonOptions &options, unsigned which = common_option::kAll);

// Checks what the parser could not (names, ranges, combinations) and throws
// ToolError (bad input) with one clear line.
std::vector<Setting> ParseSettings(const std::vector<std::string> &settings);
// A count of bytes for `option`: a whole number (decimal or 0x hex) up to
// 2^62; throws ToolError (bad input) for anything else, negatives included.
uint64_t ParseByteCount(const std::string &option, const std::string &text);
// The longest time-out the model clock can count to from any moment of a
// run: it counts 100-ns units in 64 bits (about 29,000 years), and a
// deadline is the time now plus the time-out.
inline constexpr double kMaxSeconds = 1e9;
// Throws ToolError (bad input) unless `seconds` is a time-out the model clock
// can represent: at least one 100-ns tick and at most kMaxSeconds. `typed`
// is the value as written (1e999 reads as infinity), said in the error.
void CheckSeconds(const std::string &option, double seconds, const std::string &typed = "");
// "NorvUSB3" -> 3; throws for anything else or a port beyond --bridges.
unsigned ParsePort(const std::optional<std::string> &port, unsigned bridges);

host::MachineOptions MachineOptionsFor(const CommonOptions &options);
std::vector<host::BridgePlan> BridgePlansFor(const CommonOptions &options);

// Why the driver refuses every transfer (STATUS_INVALID_PARAMETER) when --set
// chose an interface or alternate setting the bridge does not offer: the
// driver selects it at start, starts even when that fails, and then has no
// pipe. Empty when IFSetting and AltSetting are the driver's 0.
std::string InterfaceHint(const CommonOptions &options);

// The driver's default when "MaxTransferSize" is not set.
inline constexpr uint32_t kDefaultMaxTransferSize = 4096;
uint32_t MaxTransferSizeOf(const CommonOptions &options);

}  // namespace norvusb
