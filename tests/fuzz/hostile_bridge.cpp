// A bridge that answers as the fuzz input says: every control transfer, bulk
// packet and descriptor read of its start sequence and of the I/O after it
// takes the next byte of a script, which may let the firmware answer or
// replace its answer with a stall, a NAK, silence, a short or zero-length
// reply, or more bytes than were asked for. Rules of the USB stack's fault
// injector, also from the input, fail requests, stall them, delay them or
// pull the cable as a request of a given kind arrives. Once the script is
// used up the firmware answers for itself, so that every NAK pattern ends.
//
// The machine boots once per process; each input plugs one hostile bridge,
// prints, reads and asks the device-control interface, unplugs it, and then
// the pool must hold the blocks it held before the input: a leak of any path
// the answers led to is a finding, as is a bug check, a hang, a request
// returned as pending or a memory error. The registry is put back as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "host/pnp/pnp_manager.h"
#include "host/io/user_io.h"
#include "host/machine/machine.h"
#include "include/bridge_ioctl.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/machine_once.h"

namespace {

namespace hw = host::hardware;
namespace usb = host::usb;

// What one script byte does to an answer; the low bits carry a length.
enum class Answer : uint8_t { Firmware, Stall, Nak, Silence, Short, Babble, ZeroLength, Count };

class HostileBridge : public hw::Bridge {
 public:
  // An empty back channel ends a read at once, so that a read waits only
  // where the script makes it.
  HostileBridge(std::shared_ptr<hw::Printer> printer, std::vector<uint8_t> script)
      : hw::Bridge(std::move(printer), Config()), script_(std::move(script)) {}

  std::vector<uint8_t> DeviceDescriptor() override { return Bent(hw::Bridge::DeviceDescriptor()); }
  std::vector<uint8_t> ConfigurationDescriptor() override { return Bent(hw::Bridge::ConfigurationDescriptor()); }

  usb::ControlReply Control(const usb::SetupPacket &setup, std::span<const uint8_t> outData) override {
    const uint8_t step = Next();
    switch (Kind(step)) {
      case Answer::Stall: return {usb::Handshake::Stall, {}};
      case Answer::Nak: return {usb::Handshake::Nak, {}};
      case Answer::Silence: return {usb::Handshake::None, {}};
      default: break;
    }
    usb::ControlReply reply = hw::Bridge::Control(setup, outData);
    reply.data = Reshaped(step, std::move(reply.data));
    return reply;
  }

  usb::Handshake DataOut(uint8_t endpoint, std::span<const uint8_t> packet, usb::DataPid pid) override {
    const usb::Handshake handshake = Handshake(Next());
    return handshake == usb::Handshake::Ack ? hw::Bridge::DataOut(endpoint, packet, pid) : handshake;
  }

  usb::Handshake DataIn(uint8_t endpoint, std::span<uint8_t> packet, size_t &length, usb::DataPid &pid) override {
    const uint8_t step = Next();
    const usb::Handshake handshake = Handshake(step);
    if (handshake != usb::Handshake::Ack) return handshake;
    const usb::Handshake answered = hw::Bridge::DataIn(endpoint, packet, length, pid);
    if (answered != usb::Handshake::Ack) return answered;
    // The packet's bytes stay the firmware's; only the length it claims lies.
    if (Kind(step) == Answer::ZeroLength) length = 0;
    if (Kind(step) == Answer::Short) length = std::min<size_t>(length, Length(step));
    if (Kind(step) == Answer::Babble) length = packet.size() + 1 + Length(step);
    return answered;
  }

 private:
  static hw::BridgeConfig Config() {
    hw::BridgeConfig config;
    config.emptyRead = hw::EmptyRead::ZeroLengthPacket;
    return config;
  }
  static Answer Kind(uint8_t step) { return Answer(step % uint8_t(Answer::Count)); }
  static size_t Length(uint8_t step) { return step / uint8_t(Answer::Count); }

  static usb::Handshake Handshake(uint8_t step) {
    switch (Kind(step)) {
      case Answer::Stall: return usb::Handshake::Stall;
      case Answer::Nak: return usb::Handshake::Nak;
      case Answer::Silence: return usb::Handshake::None;
      default: return usb::Handshake::Ack;
    }
  }

  // A reply cut to the step's length, emptied, or run on past what was asked.
  static std::vector<uint8_t> Reshaped(uint8_t step, std::vector<uint8_t> data) {
    if (Kind(step) == Answer::ZeroLength) data.clear();
    if (Kind(step) == Answer::Short) data.resize(std::min(data.size(), Length(step)));
    if (Kind(step) == Answer::Babble) data.resize(data.size() + 1 + Length(step), 0xEE);
    return data;
  }

  std::vector<uint8_t> Bent(std::vector<uint8_t> descriptor) { return Reshaped(Next(), std::move(descriptor)); }

  // The next script byte; 0 (the firmware's own answer) once it is used up.
  uint8_t Next() {
    std::lock_guard lock(mutex_);
    return at_ < script_.size() ? script_[at_++] : 0;
  }

  host::Mutex mutex_;
  const std::vector<uint8_t> script_;
  size_t at_ = 0;
};

void AddFaults(FuzzedDataProvider &input, usb::FaultInjector &faults) {
  const size_t rules = input.ConsumeIntegralInRange<size_t>(0, 3);
  for (size_t i = 0; i < rules; ++i) {
    const auto kind = usb::RequestKind(input.ConsumeIntegralInRange<int>(0, int(usb::RequestKind::PortReset)));
    usb::Fault fault;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: fault = usb::Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING); break;
      case 1: fault = usb::Fault::Stall(); break;
      case 2: fault = usb::Fault::DelayBy(input.ConsumeIntegralInRange<int64_t>(0, 50'000'000)); break;
      default: fault = usb::Fault::Disconnect();
    }
    const auto nth = input.ConsumeIntegralInRange<uint64_t>(1, 40);
    faults.Add(kind, fault, nth, input.ConsumeIntegralInRange<uint64_t>(1, 4));
  }
}

constexpr int64_t kWaitUnits = 2 * 10'000'000;  // model time a data request may take before it is cancelled

void Finish(const std::shared_ptr<host::PendingIo> &io, size_t length) {
  if (!io->Wait(kWaitUnits)) io->Cancel();
  const host::IoResult result = io->Await();
  FUZZ_EXPECT(result.status != STATUS_PENDING);
  FUZZ_EXPECT(result.information <= length);
}

void Control(host::DeviceHandle &port, ULONG code, ULONG length) {
  std::vector<uint8_t> reply(length);
  const host::IoResult result = port.DeviceControl(code, nullptr, 0, reply.data(), length);
  FUZZ_EXPECT(result.status != STATUS_PENDING);
  FUZZ_EXPECT(result.information <= length);
  if (!NT_SUCCESS(result.status)) FUZZ_EXPECT(result.information == 0);
}

void UseThePort() {
  host::DeviceHandle port;
  if (port.Open("\\\\.\\NorvUSB1") != STATUS_SUCCESS) return;
  std::vector<uint8_t> page(300, 'h');
  Finish(port.StartWrite(page.data(), ULONG(page.size())), page.size());
  std::vector<uint8_t> back(100);
  Finish(port.StartRead(back.data(), ULONG(back.size())), back.size());
  Control(port, IOCTL_BRIDGE_GET_DEVICE_ID, 1024);
  Control(port, IOCTL_BRIDGE_VENDOR_6, 8);
  Control(port, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, 64);
  Finish(port.StartWrite(page.data(), ULONG(page.size())), page.size());
}

// One hostile bridge from plug to unplug; returns when the machine is idle.
void PlugAndUse(FuzzedDataProvider &input) {
  hw::PrinterOptions printerOptions;
  printerOptions.keepInMemory = false;
  auto printer = std::make_shared<hw::Printer>(printerOptions);
  // The rules first, then the script: the rest of the input.
  std::vector<uint8_t> rules = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 24));
  auto bridge = std::make_shared<HostileBridge>(printer, input.ConsumeRemainingBytes<uint8_t>());
  host::Machine &machine = fuzz::MachineOnce();
  const usb::Port port = machine.Bus().Attach(bridge, [&](usb::FaultInjector &faults) {
    FuzzedDataProvider ruleInput(rules.data(), rules.size());
    AddFaults(ruleInput, faults);
  });
  machine.WaitIdle();
  UseThePort();
  if (machine.Bus().Attached(port)) machine.Bus().Detach(port);
  machine.WaitIdle();
  // The manager's logs of requests would grow with every input.
  host::pnp::ClearPnpRequestLog();
  host::pnp::ClearPowerRequestLog();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const fuzz::Baseline baseline = [] {
    const uint8_t none[1] = {0};
    FuzzedDataProvider input(none, 0);
    PlugAndUse(input);
    return fuzz::Baseline();
  }();
  FuzzedDataProvider input(data, size);
  PlugAndUse(input);
  baseline.Check();
  FUZZ_EXPECT(host::LookupDevice(u"\\Device\\NorvUSB1") == nullptr);
  return 0;
}
