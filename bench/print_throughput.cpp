// Print throughput through the whole stack with instant USB timing: a user
// write goes through the I/O manager, the driver, the USB stack and the
// bridge to the printer, with no frame waits. What is left is the host
// machine's own cost per request, in real bytes per second.
//
// The CPU column counts every thread of the process (the host controller's
// too), so it shows what a request costs whatever else the machine runs;
// the real time adds what other programs take of the processors. Beside
// each size, the same run times the copies any write of that size has to
// make, and prints the ratio.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "bench/bench_machine.h"
#include "host/kernel/scheduler.h"

namespace {

constexpr size_t kFifoBytes = 4096;  // the bridge's FIFO
constexpr size_t kPacketBytes = 64;  // a full-speed bulk packet

double CpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Seconds {
  double real = 0;
  double cpu = 0;
};

// Seconds per request of the copies a write cannot do without: the caller's
// bytes into the driver's bounce buffer, then from there into the bridge's
// FIFO packet by packet. The median of several batches, in real time and in
// this thread's CPU time.
Seconds CopiesPerRequest(size_t size) {
  const std::vector<uint8_t> caller = bench::Pattern(size);
  std::vector<uint8_t> bounce(size), fifo(kFifoBytes);
  const int perBatch = static_cast<int>(std::max<size_t>(1, (1u << 22) / size));
  std::vector<double> batches, cpuBatches;
  for (int batch = 0; batch < 15; ++batch) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < perBatch; ++i) {
      std::memcpy(bounce.data(), caller.data(), size);
      for (size_t at = 0; at < size; at += kPacketBytes)
        std::memcpy(fifo.data() + at % kFifoBytes, bounce.data() + at, std::min(kPacketBytes, size - at));
      benchmark::DoNotOptimize(fifo.data());
      benchmark::ClobberMemory();
    }
    batches.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / perBatch);
    cpuBatches.push_back((CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / perBatch);
  }
  auto median = [](std::vector<double> &values) {
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
  };
  return {median(batches), median(cpuBatches)};
}

// One write of range(0) bytes per iteration, MaxTransferSize 64 KiB so that
// every size goes down as one request.
void BM_PrintInstant(benchmark::State &state) {
  const size_t size = static_cast<size_t>(state.range(0));
  bench::Rig rig({.timing = host::usb::Timing::Instant, .maxTransferSize = 65536});
  if (!rig.Ready(state)) return;
  const std::vector<uint8_t> data = bench::Pattern(size);
  const uint64_t before = rig.machine().Printer(0).ReceivedCount();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  for (auto _ : state) {
    if (!rig.Print(state, data, size)) return;
  }
  const auto requests = static_cast<double>(state.iterations());
  const double perRequest = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / requests;
  const double cpuPerRequest = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart) / requests;
  const uint64_t written = static_cast<uint64_t>(state.iterations()) * size;
  // Every byte acknowledged on the bus reaches the printer.
  if (!rig.machine().Printer(0).WaitForReceived(before + written, std::chrono::seconds(10))) {
    state.SkipWithError("the printer did not receive every byte written");
    return;
  }
  const Seconds copies = CopiesPerRequest(size);
  state.SetBytesProcessed(static_cast<int64_t>(written));
  state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["copies_us"] = copies.real * 1e6;
  state.counters["x_copies"] = perRequest / copies.real;  // real time per request over the copies' time
  // The same in CPU time (every thread of the process against the copying
  // thread's), which the machine's load does not inflate.
  state.counters["x_copies_cpu"] = cpuPerRequest / copies.cpu;
}
BENCHMARK(BM_PrintInstant)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->Arg(65536)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

// The Wine suite's print test, on the host machine: the same 1 MiB (the
// same generator and seed as tests/wine/client) in 4 KiB writes, the
// driver's default MaxTransferSize. make bench-wine sets it beside the real
// image under Wine.
std::vector<uint8_t> WineSuiteDocument(uint64_t seed = 0x1284) {
  std::vector<uint8_t> bytes(1 << 20);
  uint64_t x = seed;
  for (auto &v : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

void BM_PrintMiB(benchmark::State &state) {
  bench::Rig rig({.timing = host::usb::Timing::Instant, .maxTransferSize = 4096});
  if (!rig.Ready(state)) return;
  const std::vector<uint8_t> document = WineSuiteDocument();
  for (auto _ : state) {
    for (size_t at = 0; at < document.size(); at += 4096) {
      const host::IoResult result = rig.port().Write(document.data() + at, 4096);
      if (result.status != STATUS_SUCCESS || result.information != 4096) {
        state.SkipWithError("a write failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
  state.counters["requests"] = static_cast<double>(document.size() / 4096);
}
BENCHMARK(BM_PrintMiB)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The Wine suite's eight-bridge print: eight bridges each print their own
// 1 MiB (the suite's generator, seeds 0x1284 to 0x128B) at once, in 4 KiB
// writes, instant timing. Real time per iteration is the time for all eight;
// make bench-wine sets the aggregate rate beside the image under Wine. The
// run fails unless every printer got its document byte for byte.
void BM_EightBridgesMiB(benchmark::State &state) {
  constexpr size_t kBridges = 8;
  host::Machine machine({.timing = host::usb::Timing::Instant, .driverSettings = {{"MaxTransferSize", 4096}}});
  std::vector<std::vector<uint8_t>> documents;
  std::vector<host::DeviceHandle> ports(kBridges);
  for (size_t b = 0; b < kBridges; ++b) {
    machine.Plug();
    documents.push_back(WineSuiteDocument(0x1284 + b));
    if (ports[b].Open("\\\\.\\" + machine.View(b).portName) != STATUS_SUCCESS)
      return state.SkipWithError("a port did not open");
  }
  std::atomic<int> failures{0};
  for (auto _ : state) {
    for (size_t b = 0; b < kBridges; ++b) machine.Printer(b).ClearReceived();
    std::vector<host::sched::Thread> writers;
    for (size_t b = 0; b < kBridges; ++b)
      writers.emplace_back("writer", [&, b] {
        for (size_t at = 0; at < documents[b].size(); at += 4096) {
          const host::IoResult r = ports[b].Write(documents[b].data() + at, 4096);
          if (r.status != STATUS_SUCCESS || r.information != 4096) return void(++failures);
        }
      });
    for (auto &writer : writers) writer.Join();
    state.PauseTiming();
    for (size_t b = 0; b < kBridges; ++b)
      if (failures > 0 || !machine.Printer(b).WaitForReceived(1 << 20, std::chrono::seconds(10)) ||
          machine.Printer(b).Received() != documents[b])
        return state.SkipWithError("bytes lost");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBridges * (1 << 20)));
  state.counters["MiB_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * kBridges),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EightBridgesMiB)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
