// Exploration speed: seeds per second of the three-bridge scenario that
// `make explore` runs (the seeded race test of writers, readers and
// device-control requests on three bridges). Each iteration is one seed: a
// fresh seeded machine, three bridges, the race test's workload on them
// (host/machine/workload.h: a writer of three requests' worth, a reader of
// 200 answer bytes in 64-byte reads and a thread of three device-control
// requests on each), then the shutdown with its leak check. The run fails
// if a request fails or a printer or reader misses a byte.
#include <string>
#include <vector>

#include "bench/bench_machine.h"
#include "host/machine/workload.h"

namespace {

constexpr size_t kBridges = 3;

void OneSeed(benchmark::State &state, uint64_t seed) {
  host::MachineOptions options;
  options.kernel.seed = seed;
  options.timing = host::usb::Timing::Instant;  // as the race test runs it
  host::Machine machine(std::move(options));
  for (size_t b = 0; b < kBridges; ++b) {
    host::BridgePlan plan;
    plan.bridge.identity.serialNumber = "NB1284-" + std::to_string(1000 + b);
    machine.Plug(std::move(plan));
  }
  const host::Workload load{.printBytes = size_t{3} * 4096, .answerBytes = 200, .patternSeed = uint32_t(seed)};
  const std::vector<std::string> faults = host::WritersReadersAndControls(machine, kBridges, load);
  if (!faults.empty()) state.SkipWithError(("seed " + std::to_string(seed) + ": " + faults.front()).c_str());
}

void BM_SeedsThreeBridges(benchmark::State &state) {
  uint64_t seed = 0;
  for (auto _ : state) OneSeed(state, ++seed);
  state.counters["seeds_per_s"] = benchmark::Counter(static_cast<double>(seed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SeedsThreeBridges)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
