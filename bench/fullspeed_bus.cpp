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
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "bench/bench_machine.h"
#include "host/kernel/scheduler.h"

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

// ---------------------------------------------------------------- bridges sharing the bus

constexpr int kPacketsPerFrame = 19;
constexpr int64_t kFrameUnits = 10'000;  // 1 ms

// What a round-robin frame schedule allows, worked out packet by packet:
// every bridge keeps one transfer of `packets` packets in flight and sends
// the next in the frame after its last packet; each frame gives one packet
// to each bridge with a transfer in turn, from where the last frame stopped,
// until its 19 slots are used or every transfer has ended. The share of the
// slots used, over many frames after all start together.
double RoundRobinBound(size_t bridges, int packets) {
  constexpr long kFrames = 75'600;  // whole periods of the schedules for 1 to 8 bridges
  std::vector<int> left(bridges, packets);
  size_t next = 0;
  long moved = 0;
  for (long frame = 0; frame < kFrames; ++frame) {
    std::vector<bool> waiting(bridges, false);  // ended this frame: the next transfer waits for the next
    size_t inTurn = bridges;
    for (int slots = kPacketsPerFrame; slots > 0 && inTurn > 0; next = (next + 1) % bridges) {
      if (waiting[next]) continue;
      --slots;
      ++moved;
      if (--left[next] == 0) {
        waiting[next] = true;
        left[next] = packets;
        --inTurn;
      }
    }
  }
  return static_cast<double>(moved) / (static_cast<double>(kFrames) * kPacketsPerFrame);
}

// Waits until the middle of the frame `frames` frames on: the bus runs its
// frames on their boundaries, so a sample taken here sees whole frames.
void WaitMidFrame(int64_t frames) {
  const int64_t now = host::clock::Now();
  const int64_t target = (now / kFrameUnits + frames) * kFrameUnits + kFrameUnits / 2;
  host::sched::Delay(target - now, "the middle of a bus frame");
}

// range(0): bridges, each printing 4 KiB requests (the driver's default
// MaxTransferSize) as fast as its writes complete, to a printer without a
// rate; range(1): 1 seeded, 0 free-running. The window is the frames
// counted after a warm-up; the packets each bridge moved in it come from
// the bus's per-port counts, sampled between frames.
void BM_BridgesSharingTheBus(benchmark::State &state) {
  const auto bridges = static_cast<size_t>(state.range(0));
  constexpr ULONG kRequest = 4096;
  constexpr int64_t kWarmupFrames = 50;
  constexpr int64_t kWindowFrames = 1512;  // whole periods of the schedules for 1 to 8 bridges (4, 7, 14, 27 frames)
  host::MachineOptions options;
  options.timing = host::usb::Timing::FullSpeed;
  if (state.range(1) != 0) options.kernel.seed = bench::ModelSeed();
  host::Machine machine(std::move(options));
  std::vector<host::DeviceHandle> ports(bridges);
  for (size_t b = 0; b < bridges; ++b) {
    host::BridgePlan plan;
    plan.printer.keepInMemory = false;
    machine.Plug(std::move(plan));
    if (ports[b].Open("\\\\.\\" + machine.View(b).portName) != STATUS_SUCCESS)
      return state.SkipWithError("a port did not open");
  }
  const std::vector<uint8_t> data = bench::Pattern(kRequest);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<uint64_t> written(bridges, 0);
  std::vector<uint64_t> packets(bridges, 0);
  for (auto _ : state) {
    std::vector<host::sched::Thread> writers;
    for (size_t b = 0; b < bridges; ++b)
      writers.emplace_back("writer", [&, b] {
        while (!stop) {
          const host::IoResult r = ports[b].Write(data.data(), kRequest);
          if (r.status != STATUS_SUCCESS || r.information != kRequest) return void(++failures);
          written[b] += kRequest;
        }
      });
    WaitMidFrame(kWarmupFrames);
    std::vector<uint64_t> first(bridges);
    for (size_t b = 0; b < bridges; ++b) first[b] = machine.Bus().Stats(machine.Port(b)).bulkPackets;
    WaitMidFrame(kWindowFrames);
    for (size_t b = 0; b < bridges; ++b)
      packets[b] = machine.Bus().Stats(machine.Port(b)).bulkPackets - first[b];
    stop = true;
    for (auto &writer : writers) writer.Join();
    state.SetIterationTime(bench::ModelSeconds(kWindowFrames * kFrameUnits));
  }
  // Every byte written reached its printer.
  for (size_t b = 0; b < bridges; ++b)
    if (failures > 0 || !machine.Printer(b).WaitForReceived(written[b], std::chrono::seconds(10)) ||
        machine.Printer(b).ReceivedCount() != written[b])
      return state.SkipWithError(("bridge " + std::to_string(b + 1) + " lost bytes").c_str());
  uint64_t total = 0;
  uint64_t least = UINT64_MAX;
  for (uint64_t moved : packets) {
    total += moved;
    least = std::min(least, moved);
  }
  const double slots = static_cast<double>(kWindowFrames) * kPacketsPerFrame;
  state.counters["bus_util"] = static_cast<double>(total) / slots;
  state.counters["bound_util"] = RoundRobinBound(bridges, kRequest / 64);
  state.counters["min_fair_share"] = static_cast<double>(least) * static_cast<double>(bridges) / static_cast<double>(total);
  state.counters["model_KBps"] = static_cast<double>(total) * 64.0 / bench::ModelSeconds(kWindowFrames * kFrameUnits) / 1000.0;
}
BENCHMARK(BM_BridgesSharingTheBus)
    ->ArgNames({"bridges", "seeded"})
    ->ArgsProduct({{1, 2, 4, 8, 32}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
