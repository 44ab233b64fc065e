// Control path latency: a device-control request that makes a vendor
// control transfer round trip to the bridge (IOCTL_BRIDGE_VENDOR_6, the
// firmware information), and one that copies a stored descriptor
// (IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, no USB traffic).
//
// *_ModelTime runs on the full-speed bus, seeded, and reports model time per
// request (what a real bus would take: setup, data and status stages in
// frames);
// *_RealTime runs with instant timing and reports the host machine's own
// real time per request.
#include "bench/bench_machine.h"
#include "include/bridge_ioctl.h"

namespace {

struct ControlRequest {
  ULONG code;
  ULONG outputLength;  // also the Information a delivered reply must have
};

constexpr ControlRequest kVendor6{IOCTL_BRIDGE_VENDOR_6, 8};
constexpr ControlRequest kDeviceDescriptor{IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, 18};

bool Issue(benchmark::State &state, host::DeviceHandle &port, const ControlRequest &request) {
  uint8_t reply[64] = {};
  host::IoResult result = port.DeviceControl(request.code, nullptr, 0, reply, request.outputLength);
  if (result.status == STATUS_SUCCESS && result.information == request.outputLength) return true;
  state.SkipWithError(("device control failed: status " + std::to_string(result.status) + ", " +
                       std::to_string(result.information) + " bytes")
                          .c_str());
  return false;
}

void ModelTime(benchmark::State &state, const ControlRequest &request) {
  bench::Rig rig({.timing = host::usb::Timing::FullSpeed, .seed = bench::ModelSeed()});
  if (!rig.Ready(state)) return;
  const auto realStart = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const int64_t start = host::clock::Now();
    if (!Issue(state, rig.port(), request)) return;
    state.SetIterationTime(bench::ModelSeconds(host::clock::Now() - start));
  }
  const std::chrono::duration<double, std::micro> real = std::chrono::steady_clock::now() - realStart;
  state.counters["real_us_per_req"] = real.count() / static_cast<double>(state.iterations());
}

void RealTime(benchmark::State &state, const ControlRequest &request) {
  bench::Rig rig({.timing = host::usb::Timing::Instant});
  if (!rig.Ready(state)) return;
  const int64_t modelStart = host::clock::Now();
  for (auto _ : state) {
    if (!Issue(state, rig.port(), request)) return;
  }
  state.counters["model_us_per_req"] =
      bench::ModelSeconds(host::clock::Now() - modelStart) * 1e6 / static_cast<double>(state.iterations());
}

void BM_Vendor6_ModelTime(benchmark::State &state) { ModelTime(state, kVendor6); }
void BM_Vendor6_RealTime(benchmark::State &state) { RealTime(state, kVendor6); }
void BM_DeviceDescriptor_ModelTime(benchmark::State &state) { ModelTime(state, kDeviceDescriptor); }
void BM_DeviceDescriptor_RealTime(benchmark::State &state) { RealTime(state, kDeviceDescriptor); }

// A fixed count: a request without USB traffic takes no model time, and the
// library would otherwise run it a billion times looking for a measurable one.
constexpr int kModelIterations = 200;
BENCHMARK(BM_Vendor6_ModelTime)->UseManualTime()->Iterations(kModelIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Vendor6_RealTime)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeviceDescriptor_ModelTime)
    ->UseManualTime()
    ->Iterations(kModelIterations)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeviceDescriptor_RealTime)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
