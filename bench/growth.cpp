// Costs as bridges grow: a machine with 1, 8, 32 and 127 bridges on one bus
// (127 being the most one bus addresses). Per bridge: the model time from
// plug to port ready, the real time of a plug and of an unplug, the driver's
// pool blocks and bytes, and the host's heap; per frame: the real time the
// bus takes with the other bridges idle. Every figure should stay flat as
// the bridges grow: nothing may walk all ports or names per plug or frame.
//
// The frame is measured on bridge 1 alone: its printer takes 4 KB a model
// second, so after one 4 KiB write the bus runs frames for that printer
// with no request queued, and the rest of the machine is idle. The frame's
// time is taken with bridge 1 plugged alone and again with all N, in the
// same run; `idle_bridge_cpu_ns_per_frame` is the difference over N - 1,
// in CPU time of the whole process, which the machine's load inflates far
// less than real time.
// The run fails if a write fails, a printer misses a byte, or the driver
// holds pool after every bridge is gone.
#include <malloc.h>

#include <time.h>

#include <chrono>

#include "bench/bench_machine.h"
#include "host/kernel/scheduler.h"
#include "norvusb.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PoolUse {
  double blocks = 0;
  double bytes = 0;
};

PoolUse DriverPoolUse() {
  PoolUse use;
  for (const host::PoolBlockInfo &block : host::OutstandingPoolBlocks()) {
    if (block.tag != NORVUSB_POOL_TAG) continue;
    ++use.blocks;
    use.bytes += static_cast<double>(block.size);
  }
  return use;
}

double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of every thread of the process: what a plug or a frame costs,
// which a loaded machine does not inflate as it does real time.
double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct FrameCost {
  double realNs = 0;
  double cpuNs = 0;
};

constexpr int64_t kFrameUnits = 10'000;
constexpr int64_t kTimedFrames = 500;
constexpr uint64_t kSlowPrinterRate = 4096;  // bytes per model second: a 4 KiB FIFO lasts a second
constexpr size_t kWarmPlugs = 160;

// Real and CPU nanoseconds per bus frame while bridge 1's printer drains its FIFO:
// one 4 KiB write, then frames with no request queued at all.
FrameCost FrameNanoseconds(benchmark::State &state, host::Machine &machine, host::DeviceHandle &port) {
  const std::vector<uint8_t> data = bench::Pattern(4096);
  const host::IoResult r = port.Write(data.data(), static_cast<ULONG>(data.size()));
  if (r.status != STATUS_SUCCESS || r.information != data.size()) {
    state.SkipWithError("the slow printer's write failed");
    return {};
  }
  host::sched::Delay(20 * kFrameUnits, "the write's last frames");
  const uint64_t framesBefore = machine.Bus().Stats().frames;
  const Clock::time_point start = Clock::now();
  const double cpuStart = CpuSeconds();
  host::sched::Delay(kTimedFrames * kFrameUnits, "frames of an idle bus");
  const double elapsed = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds() - cpuStart;
  const uint64_t frames = machine.Bus().Stats().frames - framesBefore;
  // The FIFO must still be draining, or the frames stopped before the end.
  if (frames < kTimedFrames || !machine.Bridge(kWarmPlugs).Busy()) {
    state.SkipWithError("the bus did not run frames for the whole window");
    return {};
  }
  // Let the FIFO drain, so that the next measurement starts from the same place.
  host::sched::Delay(2 * 10'000'000, "the FIFO to drain");
  return {elapsed * 1e9 / static_cast<double>(frames), cpu * 1e9 / static_cast<double>(frames)};
}

host::BridgePlan PlanFor(bool slow) {
  host::BridgePlan plan;
  plan.printer.keepInMemory = false;
  if (slow) plan.printer.bytesPerSecond = kSlowPrinterRate;
  return plan;
}

// range(0): bridges.
void BM_Bridges(benchmark::State &state) {
  const auto bridges = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    host::MachineOptions options;
    options.timing = host::usb::Timing::FullSpeed;
    host::Machine machine(std::move(options));
    // Bridges plugged and unplugged first: what the first plugs make once
    // (the driver's service key, the kernel's tables, the pool's quarantine
    // of 4,096 freed blocks filling up) is not a bridge's.
    for (size_t warm = 0; warm < kWarmPlugs; ++warm) {
      machine.Plug(PlanFor(false));
      machine.Unplug(warm);
    }
    const PoolUse boot = DriverPoolUse();
    const double heapBoot = HeapBytes();

    int64_t plugModel = 0;
    double plugReal = 0;
    double plugCpu = 0;
    auto plug = [&](bool slow) {
      const int64_t model = host::clock::Now();
      const Clock::time_point real = Clock::now();
      const double cpu = CpuSeconds();
      machine.Plug(PlanFor(slow));
      plugCpu += CpuSeconds() - cpu;
      plugReal += Seconds(Clock::now() - real);
      plugModel += host::clock::Now() - model;
    };
    plug(true);
    // The heap of plugged bridges, not of the first one's write: leaves out
    // what printing makes (its FIFO), which idle bridges never have.
    double heapPlugged = HeapBytes() - heapBoot;
    host::DeviceHandle port;
    if (port.Open("\\\\.\\" + machine.View(kWarmPlugs).portName) != STATUS_SUCCESS) return state.SkipWithError("no port");
    const FrameCost frameAlone = FrameNanoseconds(state, machine, port);
    const double heapBeforeRest = HeapBytes();
    for (size_t b = 1; b < bridges; ++b) plug(false);
    heapPlugged += HeapBytes() - heapBeforeRest;
    const FrameCost frameAll = FrameNanoseconds(state, machine, port);
    if (machine.Printer(kWarmPlugs).ReceivedCount() != 2 * 4096) return state.SkipWithError("the printer missed bytes");
    port.Close();

    const PoolUse plugged = DriverPoolUse();
    double unplugReal = 0;
    double unplugCpu = 0;
    for (size_t b = kWarmPlugs; b < kWarmPlugs + bridges; ++b) {
      const Clock::time_point real = Clock::now();
      const double cpu = CpuSeconds();
      machine.Unplug(b);
      unplugCpu += CpuSeconds() - cpu;
      unplugReal += Seconds(Clock::now() - real);
    }
    const PoolUse gone = DriverPoolUse();
    if (gone.blocks != boot.blocks || gone.bytes != boot.bytes)
      return state.SkipWithError("the driver kept pool after every bridge was unplugged");

    const auto n = static_cast<double>(bridges);
    state.counters["plug_model_ms"] = bench::ModelSeconds(plugModel) * 1000.0 / n;
    state.counters["plug_real_us"] = plugReal * 1e6 / n;
    state.counters["unplug_real_us"] = unplugReal * 1e6 / n;
    state.counters["plug_cpu_us"] = plugCpu * 1e6 / n;
    state.counters["unplug_cpu_us"] = unplugCpu * 1e6 / n;
    state.counters["drv_blocks"] = (plugged.blocks - boot.blocks) / n;
    state.counters["drv_bytes"] = (plugged.bytes - boot.bytes) / n;
    state.counters["host_bytes"] = heapPlugged / n;
    state.counters["frame_real_ns"] = frameAll.realNs;
    state.counters["frame_cpu_ns"] = frameAll.cpuNs;
    state.counters["frame_alone_cpu_ns"] = frameAlone.cpuNs;
    if (bridges > 1) state.counters["idle_bridge_cpu_ns_per_frame"] = (frameAll.cpuNs - frameAlone.cpuNs) / (n - 1);
  }
}
BENCHMARK(BM_Bridges)->Arg(1)->Arg(8)->Arg(32)->Arg(127)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
