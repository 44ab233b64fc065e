// Identifier building: BuildDeviceId (find the manufacturer and model in an
// IEEE 1284 device ID, join them, check them, format and widen the result)
// and Crc16Update on its own, on device IDs of the length printers report.
#include <string>

#include "bench/bench_machine.h"
#include "norvusb.h"

namespace {

// Realistic device IDs, short to long; the model field sits where printers
// put it (after the command set in the longer ones).
const std::string kDeviceIds[] = {
    "MFG:ACME;MDL:LX-100;",
    "MFG:Norv Labs;MDL:LinePrinter 9;CMD:PJL,PCL;CLS:PRINTER;DES:Norv Labs LinePrinter 9;",
    "MANUFACTURER:ACME CORPORATION;COMMAND SET:PJL,PML,PCLXL,POSTSCRIPT,PCL,PDF,URF;"
    "MODEL:LASER PRINTER 9 MFP;CLASS:PRINTER;DESCRIPTION:ACME CORPORATION LASER PRINTER 9 MFP;"
    "SERN:CN12345678;CID:ACME_LASER_PCL6;LEDMDIS:USB#FF#CC#00,USB#07#01#02;",
};

void BM_BuildDeviceId(benchmark::State &state) {
  host::Kernel kernel;  // the pool and the run-time library
  const std::string &text = kDeviceIds[state.range(0)];
  ANSI_STRING id;
  id.Buffer = const_cast<PCHAR>(text.c_str());
  id.Length = static_cast<USHORT>(text.size());
  id.MaximumLength = static_cast<USHORT>(text.size() + 1);
  for (auto _ : state) {
    UNICODE_STRING result{};
    if (!BuildDeviceId(&result, &id)) {
      state.SkipWithError("BuildDeviceId refused a valid device ID");
      return;
    }
    benchmark::DoNotOptimize(result.Buffer);
    RtlFreeUnicodeString(&result);
  }
  state.SetLabel(std::to_string(text.size()) + "-byte ID");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_BuildDeviceId)->DenseRange(0, 2);

// The check over joined texts of the sizes BuildDeviceId feeds it.
void BM_Crc16Update(benchmark::State &state) {
  const std::vector<uint8_t> data = bench::Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    ULONG check = 0;
    Crc16Update(data.data(), static_cast<ULONG>(data.size()), &check);
    benchmark::DoNotOptimize(check);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Update)->Arg(10)->Arg(31)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
