// Print throughput through the whole stack with instant USB timing: a user
// write goes through the I/O manager, the driver, the USB stack and the
// bridge to the printer, with no frame waits. What is left is the host
// machine's own cost per request, in real bytes per second.
#include "bench/bench_machine.h"

namespace {

// One write of range(0) bytes per iteration, MaxTransferSize 64 KiB so that
// every size goes down as one request.
void BM_PrintInstant(benchmark::State &state) {
  const size_t size = static_cast<size_t>(state.range(0));
  bench::Rig rig({.timing = host::usb::Timing::Instant, .maxTransferSize = 65536});
  if (!rig.Ready(state)) return;
  const std::vector<uint8_t> data = bench::Pattern(size);
  const uint64_t before = rig.machine().Printer(0).ReceivedCount();
  for (auto _ : state) {
    if (!rig.Print(state, data, size)) return;
  }
  const uint64_t written = static_cast<uint64_t>(state.iterations()) * size;
  // Every byte acknowledged on the bus reaches the printer.
  if (!rig.machine().Printer(0).WaitForReceived(before + written, std::chrono::seconds(10))) {
    state.SkipWithError("the printer did not receive every byte written");
    return;
  }
  state.SetBytesProcessed(static_cast<int64_t>(written));
  state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PrintInstant)->Arg(64)->Arg(512)->Arg(4096)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
