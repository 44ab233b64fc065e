// The device-control interface of a booted machine: arbitrary codes, input
// and output lengths and input bytes reach the open port, a few requests per
// input. The output buffer is exactly the length announced, so that a write
// past it is an address-sanitizer finding. The machine boots once per
// process; after an input that changed the bridge's state (interface,
// transfer mode, port configuration) the start state is restored, and every
// input ends with a print that must still reach the printer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "host/io/user_io.h"
#include "host/machine/machine.h"
#include "include/bridge_ioctl.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr ULONG kKnownCodes[] = {
    IOCTL_BRIDGE_RESET_PIPE, IOCTL_BRIDGE_ABORT_PIPES, IOCTL_BRIDGE_RESET_DEVICE,
    IOCTL_BRIDGE_SELECT_INTERFACE, IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR,
    IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, IOCTL_BRIDGE_NOP,
    IOCTL_BRIDGE_VENDOR_2, IOCTL_BRIDGE_VENDOR_3, IOCTL_BRIDGE_VENDOR_6, IOCTL_BRIDGE_SET_TRANSFER_MODE,
    IOCTL_BRIDGE_GET_DEVICE_ID, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_CLEAR_HALTS,
    // Neighbours that must be refused: an unused function, another method, past the block.
    NORVUSB_CTL(0x80A), IOCTL_BRIDGE_RESET_PIPE | 1, NORVUSB_CTL(0x81C), NORVUSB_CTL(0x800), NORVUSB_CTL(0x814)};

bool Known(ULONG code) {
  for (size_t i = 0; i < 16; ++i)
    if (kKnownCodes[i] == code) return true;
  return false;
}

bool ChangesState(ULONG code) {
  return code == IOCTL_BRIDGE_SELECT_INTERFACE || code == IOCTL_BRIDGE_SET_TRANSFER_MODE ||
         code == IOCTL_BRIDGE_VENDOR_2 || code == IOCTL_BRIDGE_VENDOR_3;
}

struct Booted {
  Booted() {
    fuzz::CrashOnBugCheck();
    host::MachineOptions options;
    options.timing = host::usb::Timing::Instant;
    machine = std::make_unique<host::Machine>(std::move(options));
    host::BridgePlan plan;
    plan.printer.keepInMemory = false;
    machine->Plug(std::move(plan));
    FUZZ_EXPECT(port.Open("\\\\.\\NorvUSB1") == STATUS_SUCCESS);
    // Touch every path once now, so that the kernel's static state they use
    // exists before the exit handler is registered, and outlives the shutdown.
    uint8_t reply[8];
    FUZZ_EXPECT(port.DeviceControl(IOCTL_BRIDGE_VENDOR_6, nullptr, 0, reply, 8).information == 8);
    const uint8_t page[64] = {};
    FUZZ_EXPECT(port.Write(page, sizeof page).information == sizeof page);
    FUZZ_EXPECT(port.Close() == STATUS_SUCCESS);
    FUZZ_EXPECT(port.Open("\\\\.\\NorvUSB1") == STATUS_SUCCESS);
  }
  ~Booted() { port.Close(); }

  std::unique_ptr<host::Machine> machine;
  host::DeviceHandle port;  // closed before the machine goes
};

Booted *booted = nullptr;

// The machine shuts down at exit on the thread that booted it, while that
// thread is still one of the machine's: thread-locals go in the reverse order
// of their making, so one made after the boot goes before the kernel's own.
// Its threads (host controller, PnP worker) are joined, the leak checks run.
struct ShutDownAtExit {
  ~ShutDownAtExit() {
    delete booted;
    booted = nullptr;
  }
};

Booted &Machine() {
  if (booted == nullptr) {
    booted = new Booted;
    thread_local ShutDownAtExit shutDown;
    (void)shutDown;
  }
  return *booted;
}

host::IoResult Control(ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
  // Exactly sized blocks; none at all for a length of 0.
  std::unique_ptr<uint8_t[]> output(outputLength != 0 ? new uint8_t[outputLength] : nullptr);
  return Machine().port.DeviceControl(code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                      output.get(), outputLength);
}

void CheckResult(ULONG code, ULONG outputLength, const host::IoResult &result) {
  FUZZ_EXPECT(result.information <= outputLength);
  if (!Known(code)) {
    FUZZ_EXPECT(result.status == STATUS_INVALID_PARAMETER && result.information == 0);
    return;
  }
  FUZZ_EXPECT(result.status == STATUS_SUCCESS || result.status == STATUS_INVALID_PARAMETER ||
              (code == IOCTL_BRIDGE_CLEAR_HALTS && result.information == 0));
  if (result.status != STATUS_SUCCESS) FUZZ_EXPECT(result.information == 0);
}

// Interface 0 setting 0, forward mode, the port configuration of a start;
// the port is opened again, since a selection clears the pipes' open marks
// until the next open.
void RestoreStartState() {
  uint8_t reply[8];
  const uint8_t select[2] = {0, 0};
  const uint8_t forward = 0;
  const uint8_t portConfig[2] = {0x04, 0x01};
  auto &port = Machine().port;
  FUZZ_EXPECT(port.DeviceControl(IOCTL_BRIDGE_SELECT_INTERFACE, select, 2, nullptr, 0).status == STATUS_SUCCESS);
  FUZZ_EXPECT(port.DeviceControl(IOCTL_BRIDGE_SET_TRANSFER_MODE, &forward, 1, reply, 8).information == 8);
  FUZZ_EXPECT(port.DeviceControl(IOCTL_BRIDGE_VENDOR_2, portConfig, 2, reply, 8).information == 8);
  FUZZ_EXPECT(port.Close() == STATUS_SUCCESS);
  FUZZ_EXPECT(port.Open("\\\\.\\NorvUSB1") == STATUS_SUCCESS);
}

// The port still prints.
void CheckPrints() {
  static const std::vector<uint8_t> page(100, 'x');
  auto &printer = Machine().machine->Printer(0);
  const uint64_t before = printer.ReceivedCount();
  const host::IoResult result = Machine().port.Write(page.data(), ULONG(page.size()));
  if (result.status != STATUS_SUCCESS)
    std::fprintf(stderr, "write: status 0x%08X, %zu bytes\n", unsigned(result.status), size_t(result.information));
  FUZZ_EXPECT(result.status == STATUS_SUCCESS && result.information == page.size());
  FUZZ_EXPECT(printer.WaitForReceived(before + page.size(), std::chrono::seconds(10)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Machine();
  FuzzedDataProvider input(data, size);
  bool changed = false;
  for (int request = 0; request < 4 && input.remaining_bytes() > 0; ++request) {
    const ULONG code = input.ConsumeBool()
                           ? kKnownCodes[input.ConsumeIntegralInRange<size_t>(0, std::size(kKnownCodes) - 1)]
                           : input.ConsumeIntegral<uint32_t>();
    const auto inputLength = input.ConsumeIntegralInRange<ULONG>(0, 1100);
    const auto outputLength = input.ConsumeIntegralInRange<ULONG>(0, 1100);
    std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(inputLength);
    bytes.resize(inputLength);
    const host::IoResult result = Control(code, std::move(bytes), outputLength);
    CheckResult(code, outputLength, result);
    changed = changed || ChangesState(code);
  }
  if (changed) RestoreStartState();
  CheckPrints();
  return 0;
}
