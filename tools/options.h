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

struct CommonOptions {
  std::vector<std::string> deviceIds;          // --device-id, one per bridge; the last repeats
  unsigned bridges = 1;                        // --bridges
  std::optional<std::string> port;             // --port NorvUSBk; none: NorvUSB1
  std::vector<std::string> settings;           // --set NAME=VALUE
  std::string timing = "full-speed";           // --timing
  std::optional<std::string> out;              // --out: what the printer received; "-" standard output
  std::optional<std::string> pcap;             // --pcap: USBPcap capture; "-" standard output
  std::optional<uint64_t> printerRate;         // --printer-rate
  bool json = false;
  bool quiet = false;
};

// The registry values a driver key may be given before its bridge is added.
struct Setting {
  std::string name;
  uint32_t value = 0;
};

void AddCommonOptions(CLI::App &command, CommonOptions &options);

// Checks what the parser could not (names, ranges, combinations) and throws
// ToolError (bad input) with one clear line.
std::vector<Setting> ParseSettings(const std::vector<std::string> &settings);
// A count of bytes for `option`: a whole number (decimal or 0x hex) up to
// 2^62; throws ToolError (bad input) for anything else, negatives included.
uint64_t ParseByteCount(const std::string &option, const std::string &text);
// "NorvUSB3" -> 3; throws for anything else or a port beyond --bridges.
unsigned ParsePort(const std::optional<std::string> &port, unsigned bridges);

host::MachineOptions MachineOptionsFor(const CommonOptions &options);
std::vector<host::BridgePlan> BridgePlansFor(const CommonOptions &options);

// The driver's default when "MaxTransferSize" is not set.
inline constexpr uint32_t kDefaultMaxTransferSize = 4096;
uint32_t MaxTransferSizeOf(const CommonOptions &options);

}  // namespace norvusb
