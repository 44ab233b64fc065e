// Shared setup of the benchmarks: a booted host machine with one bridge and
// its port open, and model-time helpers. Each benchmark run boots its own
// machine (only one kernel lives at a time) and shuts it down at the end, so
// the shutdown's leak check covers every run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/kernel/scheduler.h"
#include "host/io/user_io.h"
#include "host/machine/machine.h"

namespace bench {

inline constexpr int64_t kUnitsPerSecond = 10'000'000;  // model time is in 100 ns units
inline constexpr double kFrameBytes = 19.0 * 64.0;      // full-speed bulk budget of one 1 ms frame

struct RigOptions {
  host::usb::Timing timing = host::usb::Timing::Instant;
  uint32_t maxTransferSize = 4096;  // the driver's "MaxTransferSize" setting
  std::optional<uint64_t> printerRate;  // bytes per model second; nullopt: unlimited
  // Seeded scheduling (one thread at a time, switches chosen by this seed);
  // none: free-running threads. The bus lets the machine settle at each
  // frame boundary, so model-time figures are the same either way.
  std::optional<uint64_t> seed;
};

// A machine with one bridge plugged in and its port open. Members go in
// reverse order: the handle is closed before the machine shuts down.
class Rig {
 public:
  explicit Rig(const RigOptions &options) {
    host::MachineOptions machineOptions;
    machineOptions.timing = options.timing;
    machineOptions.kernel.seed = options.seed;
    machineOptions.driverSettings = {{"MaxTransferSize", options.maxTransferSize}};
    machine_ = std::make_unique<host::Machine>(std::move(machineOptions));
    host::BridgePlan plan;
    plan.printer.deviceId = "MFG:ACME;MDL:LX-100;CMD:PJL,PCL;CLS:PRINTER;";
    plan.printer.bytesPerSecond = options.printerRate;
    plan.printer.keepInMemory = false;  // only count: long runs must not grow the sink
    machine_->Plug(std::move(plan));
    openStatus_ = port_.Open("\\\\.\\NorvUSB1");
  }
  ~Rig() { port_.Close(); }
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  // False (with the benchmark marked as failed) when the port did not open.
  bool Ready(benchmark::State &state) const {
    if (openStatus_ == STATUS_SUCCESS) return true;
    state.SkipWithError(("cannot open \\\\.\\NorvUSB1: status " + std::to_string(openStatus_)).c_str());
    return false;
  }

  host::Machine &machine() { return *machine_; }
  host::DeviceHandle &port() { return port_; }

  // Writes `total` bytes in requests of `chunk` bytes; false (benchmark
  // failed) on the first request that does not move all its bytes.
  bool Print(benchmark::State &state, const std::vector<uint8_t> &data, size_t total) {
    for (size_t done = 0; done < total;) {
      const ULONG chunk = static_cast<ULONG>(std::min(data.size(), total - done));
      host::IoResult result = port_.Write(data.data(), chunk);
      if (result.status != STATUS_SUCCESS || result.information != chunk) {
        state.SkipWithError(("write failed: status " + std::to_string(result.status) + ", " +
                             std::to_string(result.information) + " bytes")
                                .c_str());
        return false;
      }
      done += chunk;
    }
    return true;
  }

 private:
  std::unique_ptr<host::Machine> machine_;
  host::DeviceHandle port_;
  NTSTATUS openStatus_ = STATUS_UNSUCCESSFUL;
};

inline std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  return data;
}

// The schedule seed of the model-time benchmarks: NORVUSB_SEED, else 1284.
inline uint64_t ModelSeed() { return host::sched::SeedFromEnvironment().value_or(1284); }

inline double ModelSeconds(int64_t units) { return static_cast<double>(units) / kUnitsPerSecond; }

}  // namespace bench
