// The driver's memory per bridge: pool blocks and bytes it holds for an idle
// started bridge, with the port open, and while a write is in flight, for
// two MaxTransferSize values. Counted from the kernel's pool tracking: blocks
// with the driver's tag, and all blocks (the kernel and the bus beside it).
#include <algorithm>

#include "bench/bench_machine.h"
#include "norvusb.h"

namespace {

struct PoolUse {
  size_t blocks = 0;
  size_t bytes = 0;
};

PoolUse DriverPoolUse() {
  PoolUse use;
  for (const host::PoolBlockInfo &block : host::OutstandingPoolBlocks()) {
    if (block.tag != NORVUSB_POOL_TAG) continue;
    ++use.blocks;
    use.bytes += block.size;
  }
  return use;
}

// range(0): MaxTransferSize. Each iteration is one write of that size on the
// full-speed bus, sampled while it is in flight.
void BM_PoolDuringPrint(benchmark::State &state) {
  const auto maxTransferSize = static_cast<uint32_t>(state.range(0));
  // Plugged but not yet open: the machine is built by hand so that the idle
  // bridge can be measured before the rig opens its port.
  host::MachineOptions options;
  options.timing = host::usb::Timing::FullSpeed;
  options.driverSettings = {{"MaxTransferSize", maxTransferSize}};
  host::Machine machine(std::move(options));
  const PoolUse boot = DriverPoolUse();
  const size_t bootAllBytes = host::GetPoolStats().outstandingBytes;
  host::BridgePlan plan;
  plan.printer.keepInMemory = false;
  machine.Plug(std::move(plan));
  const PoolUse idle = DriverPoolUse();
  const size_t idleAllBytes = host::GetPoolStats().outstandingBytes;

  PoolUse open;
  PoolUse inFlight;
  size_t inFlightAllBlocks = 0;
  {
    host::DeviceHandle port;
    if (port.Open("\\\\.\\NorvUSB1") != STATUS_SUCCESS) {
      state.SkipWithError("cannot open the port");
      return;
    }
    open = DriverPoolUse();
    const std::vector<uint8_t> data = bench::Pattern(maxTransferSize);
    for (auto _ : state) {
      auto write = port.StartWrite(data.data(), maxTransferSize);
      const PoolUse sample = DriverPoolUse();
      const size_t allBlocks = host::GetPoolStats().outstandingBlocks;
      const bool sampledInFlight = !write->Done();
      host::IoResult result = write->Await();
      if (result.status != STATUS_SUCCESS || result.information != maxTransferSize) {
        state.SkipWithError("write failed");
        return;
      }
      if (sampledInFlight && sample.bytes >= inFlight.bytes) {
        inFlight = sample;
        inFlightAllBlocks = allBlocks;
      }
    }
  }
  if (inFlight.blocks == 0) {
    state.SkipWithError("no write was seen in flight");
    return;
  }
  const host::PoolStats stats = host::GetPoolStats();
  state.counters["drv_blocks_idle"] = static_cast<double>(idle.blocks - boot.blocks);
  state.counters["drv_bytes_idle"] = static_cast<double>(idle.bytes - boot.bytes);
  state.counters["drv_blocks_open"] = static_cast<double>(open.blocks - boot.blocks);
  state.counters["drv_bytes_open"] = static_cast<double>(open.bytes - boot.bytes);
  state.counters["drv_blocks_inflight"] = static_cast<double>(inFlight.blocks - boot.blocks);
  state.counters["drv_bytes_inflight"] = static_cast<double>(inFlight.bytes - boot.bytes);
  state.counters["all_blocks_inflight"] = static_cast<double>(inFlightAllBlocks);
  state.counters["all_bytes_bridge_idle"] = static_cast<double>(idleAllBytes - bootAllBytes);
  state.counters["pool_peak_bytes"] = static_cast<double>(stats.peakBytes);
}
BENCHMARK(BM_PoolDuringPrint)->Arg(4096)->Arg(65536)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
