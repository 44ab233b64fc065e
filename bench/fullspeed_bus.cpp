// The full-speed bus model: how fast a print moves in model time (the time a
// real USB 1.1 bus would take) and how much of the bus it uses, for several
// MaxTransferSize values and printer rates. The driver keeps one transfer in
// flight; the bus completes a transfer at the end of the frame it finished
// in, and the driver's next request makes the frame that follows, so a
// request costs the frames its packets need. A printer in IEEE 1284
// compatibility mode (about 150 KB/s) is slower than the bus, and the
// bridge's FIFO makes the bus wait for it.
//
// Time reported is model time (UseManualTime); the counters come from model
// time and the bus's per-port statistics. Model time is virtual, so the
// figures cannot depend on the machine's speed. Every case runs twice, with
// free-running threads (seeded:0) and seeded (seeded:1, NORVUSB_SEED picks
// the schedule): the machine settles at each frame boundary, so the two
// agree and neither depends on the machine's load.
#include <cmath>
#include <cstdlib>

#include "bench/bench_machine.h"

namespace {

// Bytes per iteration: about a second of model time at the expected rate, at
// least a few requests.
size_t BytesPerIteration(uint32_t maxTransferSize, uint64_t rate) {
  const size_t byRate = rate != 0 ? rate : (maxTransferSize <= 512 ? 64 * 1024 : 1024 * 1024);
  return std::max<size_t>(byRate / maxTransferSize, 4) * maxTransferSize;
}

// range(0): MaxTransferSize (also the request size); range(1): printer rate in
// bytes per second, 0 for a printer that takes data as fast as it comes;
// range(2): 1 seeded, 0 free-running.
void BM_PrintFullSpeed(benchmark::State &state) {
  const auto maxTransferSize = static_cast<uint32_t>(state.range(0));
  const auto rate = static_cast<uint64_t>(state.range(1));
  bench::RigOptions options{.timing = host::usb::Timing::FullSpeed, .maxTransferSize = maxTransferSize};
  if (state.range(2) != 0) options.seed = bench::ModelSeed();
  if (rate != 0) options.printerRate = rate;
  bench::Rig rig(options);
  if (!rig.Ready(state)) return;
  const std::vector<uint8_t> data = bench::Pattern(maxTransferSize);
  const size_t perIteration = BytesPerIteration(maxTransferSize, rate);
  const host::usb::Port port = rig.machine().Port(0);

  // Fill the pipe first (mode switch done, FIFO at its steady level), so
  // that the iterations measure the steady state.
  if (!rig.Print(state, data, std::max<size_t>(8192, maxTransferSize))) return;

  const host::usb::PortStats first = rig.machine().Bus().Stats(port);
  int64_t modelTotal = 0;
  for (auto _ : state) {
    const int64_t start = host::clock::Now();
    if (!rig.Print(state, data, perIteration)) return;
    const int64_t elapsed = host::clock::Now() - start;
    modelTotal += elapsed;
    state.SetIterationTime(bench::ModelSeconds(elapsed));
  }
  const host::usb::PortStats last = rig.machine().Bus().Stats(port);

  const double bytes = static_cast<double>(perIteration) * static_cast<double>(state.iterations());
  const double seconds = bench::ModelSeconds(modelTotal);
  const double requests = bytes / maxTransferSize;
  const double framesUsed = static_cast<double>(last.framesUsed - first.framesUsed);
  const double packets = static_cast<double>(last.bulkPackets - first.bulkPackets);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));  // per model second, as the time is model time
  state.counters["model_KBps"] = bytes / seconds / 1000.0;
  // Share of the 19 x 64 bytes that the frames of the elapsed model time could carry.
  state.counters["bus_util"] = bytes / (seconds * 1000.0 * bench::kFrameBytes);
  // Frames per request against the fewest the packets need: the difference
  // is what keeping one transfer in flight costs.
  state.counters["model_ms_per_req"] = seconds * 1000.0 / requests;
  state.counters["min_frames_per_req"] = std::ceil(maxTransferSize / bench::kFrameBytes);
  state.counters["frames_with_data_per_req"] = framesUsed / requests;
  state.counters["naks_per_packet"] = static_cast<double>(last.naks - first.naks) / std::max(packets, 1.0);
}
BENCHMARK(BM_PrintFullSpeed)
    ->ArgNames({"MaxTransferSize", "printerBps", "seeded"})
    ->ArgsProduct({{64, 512, 4096, 16384, 65536}, {0}, {0, 1}})
    ->Args({4096, 150000, 0})
    ->Args({4096, 150000, 1})
    ->Args({65536, 150000, 0})
    ->Args({65536, 150000, 1})
    ->Args({65536, 500000, 0})
    ->Args({65536, 500000, 1})
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
