// Exploration speed: seeds per second of the three-bridge scenario that
// `make explore` runs (the seeded race test of writers, readers and
// device-control requests on three bridges). Each iteration is one seed: a
// fresh seeded machine, three bridges, on each a writer of three requests'
// worth, a reader of 200 answer bytes in 64-byte reads and a thread of three
// device-control requests, then the shutdown with its leak check. The run
// fails if a request fails or a printer or reader misses a byte.
#include <string>
#include <vector>

#include "bench/bench_machine.h"
#include "include/bridge_ioctl.h"

namespace {

constexpr size_t kBridges = 3;
constexpr ULONG kRequest = 4096;  // the driver's default MaxTransferSize
constexpr size_t kAnswerBytes = 200;

// One bridge's three users; false when any request failed.
bool UseBridge(size_t index, host::DeviceHandle &port, std::vector<host::sched::Thread> &threads,
               const std::vector<uint8_t> &print, std::atomic<int> &failures, size_t &heard) {
  if (port.Open("\\\\.\\NorvUSB" + std::to_string(index + 1)) != STATUS_SUCCESS) return false;
  threads.emplace_back("writer", [&] {
    for (size_t done = 0; done < print.size();) {
      const ULONG size = ULONG(std::min<size_t>(kRequest, print.size() - done));
      host::IoResult r = port.Write(print.data() + done, size);
      if (r.status == STATUS_DEVICE_BUSY) continue;  // the other direction holds the one transfer
      if (r.status != STATUS_SUCCESS || r.information != size) ++failures;
      done += size;
    }
  });
  threads.emplace_back("reader", [&] {
    uint8_t buffer[64];
    while (heard < kAnswerBytes) {
      host::IoResult r = port.Read(buffer, sizeof buffer);
      if (r.status == STATUS_DEVICE_BUSY) continue;
      if (r.status != STATUS_SUCCESS) return void(++failures);
      heard += r.information;
    }
  });
  threads.emplace_back("control", [&] {
    uint8_t out[64];
    for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_NOP})
      if (port.DeviceControl(code, nullptr, 0, out, sizeof out).status != STATUS_SUCCESS) ++failures;
  });
  return true;
}

void OneSeed(benchmark::State &state, uint64_t seed) {
  host::MachineOptions options;
  options.kernel.seed = seed;
  options.timing = host::usb::Timing::Instant;  // as the race test runs it
  host::Machine machine(std::move(options));
  std::vector<std::vector<uint8_t>> prints;
  for (size_t b = 0; b < kBridges; ++b) {
    host::BridgePlan plan;
    plan.bridge.identity.serialNumber = "NB1284-" + std::to_string(1000 + b);
    machine.Plug(std::move(plan));
    machine.Printer(b).QueueBackChannel(std::vector<uint8_t>(kAnswerBytes, uint8_t(b + 1)));
    prints.push_back(bench::Pattern(3 * kRequest + 100 * b));
  }
  std::vector<host::DeviceHandle> ports(kBridges);
  std::vector<size_t> heard(kBridges, 0);
  std::vector<host::sched::Thread> threads;
  threads.reserve(3 * kBridges);
  std::atomic<int> failures{0};
  for (size_t b = 0; b < kBridges; ++b)
    if (!UseBridge(b, ports[b], threads, prints[b], failures, heard[b])) ++failures;
  for (auto &thread : threads) thread.Join();
  for (size_t b = 0; b < kBridges; ++b) {
    if (!machine.Printer(b).WaitForReceived(prints[b].size(), std::chrono::seconds(10)) ||
        machine.Printer(b).Received() != prints[b] || heard[b] != kAnswerBytes)
      ++failures;
    ports[b].Close();
  }
  if (failures > 0) state.SkipWithError(("seed " + std::to_string(seed) + ": a request failed or a byte went missing").c_str());
}

void BM_SeedsThreeBridges(benchmark::State &state) {
  uint64_t seed = 0;
  for (auto _ : state) OneSeed(state, ++seed);
  state.counters["seeds_per_s"] = benchmark::Counter(static_cast<double>(seed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SeedsThreeBridges)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
