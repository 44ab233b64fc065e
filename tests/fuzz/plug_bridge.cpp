// A bridge whose identity, descriptors, device-ID framing, vendor faults and
// driver settings come from the fuzz input is plugged into the process's
// machine and started; if it became a port, a write, a read and two
// device-control requests go to it; then it is unplugged, and the pool must
// hold what it held before the input (the machine's shutdown at exit checks
// the objects too); the registry is put back as it was. A refused start is fine; a bug check, a hang, a leak or
// a memory error is a finding.
//
// Half the inputs describe the descriptor set as records (with counts that
// lie, zero-length descriptors, trailing bytes); the other half hand the
// configuration descriptor set to the host as raw bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "host/io/user_io.h"
#include "host/machine/machine.h"
#include "include/bridge_ioctl.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/machine_once.h"
#include "host/pnp/pnp_manager.h"

namespace {

namespace hw = host::hardware;

// A bridge that sends raw bytes as its configuration descriptor set while
// its firmware keeps the default printer interface.
class RawDescriptorBridge : public hw::Bridge {
 public:
  RawDescriptorBridge(std::shared_ptr<hw::Printer> printer, hw::BridgeConfig config, std::vector<uint8_t> raw)
      : hw::Bridge(std::move(printer), std::move(config)), raw_(std::move(raw)) {}
  std::vector<uint8_t> ConfigurationDescriptor() override { return raw_; }

 private:
  const std::vector<uint8_t> raw_;
};

template <typename T>
std::optional<T> Maybe(FuzzedDataProvider &input) {
  if (!input.ConsumeBool()) return std::nullopt;
  return input.ConsumeIntegral<T>();
}

uint16_t PacketSize(FuzzedDataProvider &input) {
  static constexpr uint16_t kSizes[] = {64, 64, 32, 16, 8, 0, 1, 63, 512, 1023};
  return input.ConsumeBool() ? input.PickValueInArray(kSizes) : input.ConsumeIntegral<uint16_t>();
}

hw::EndpointDescriptor Endpoint(FuzzedDataProvider &input) {
  hw::EndpointDescriptor endpoint;
  static constexpr uint8_t kAddresses[] = {0x01, 0x82, 0x03, 0x84, 0x00, 0x80};
  endpoint.address = input.ConsumeBool() ? input.PickValueInArray(kAddresses) : input.ConsumeIntegral<uint8_t>();
  endpoint.attributes = input.ConsumeBool() ? hw::kEndpointBulk : input.ConsumeIntegral<uint8_t>();
  endpoint.maxPacketSize = PacketSize(input);
  endpoint.interval = input.ConsumeIntegral<uint8_t>();
  return endpoint;
}

hw::InterfaceDescriptor Interface(FuzzedDataProvider &input) {
  hw::InterfaceDescriptor interface;
  interface.number = input.ConsumeIntegralInRange<uint8_t>(0, 3);
  interface.alternateSetting = input.ConsumeIntegralInRange<uint8_t>(0, 2);
  if (input.ConsumeBool()) {
    interface.interfaceClass = input.ConsumeIntegral<uint8_t>();
    interface.interfaceSubClass = input.ConsumeIntegral<uint8_t>();
    interface.interfaceProtocol = input.ConsumeIntegral<uint8_t>();
  }
  const size_t endpoints = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < endpoints; ++i) interface.endpoints.push_back(Endpoint(input));
  interface.claimedEndpoints = Maybe<uint8_t>(input);
  return interface;
}

hw::ConfigurationDescriptorSet Configuration(FuzzedDataProvider &input) {
  hw::ConfigurationDescriptorSet set;
  if (input.ConsumeBool()) return hw::PrinterConfiguration();
  set.value = input.ConsumeIntegral<uint8_t>();
  set.attributes = input.ConsumeIntegral<uint8_t>();
  const size_t interfaces = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < interfaces; ++i) set.interfaces.push_back(Interface(input));
  set.claimedTotalLength = Maybe<uint16_t>(input);
  set.claimedInterfaces = Maybe<uint8_t>(input);
  if (input.ConsumeBool()) set.zeroLengthDescriptor = input.ConsumeIntegralInRange<size_t>(0, 8);
  set.trailer = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 64));
  return set;
}

hw::DeviceIdentity Identity(FuzzedDataProvider &input) {
  hw::DeviceIdentity identity;  // vendor and product stay the bridge's, so the driver loads
  if (!input.ConsumeBool()) return identity;
  identity.bcdUsb = input.ConsumeIntegral<uint16_t>();
  identity.deviceClass = input.ConsumeIntegral<uint8_t>();
  identity.maxPacketSize0 = input.ConsumeIntegral<uint8_t>();
  identity.numConfigurations = input.ConsumeIntegral<uint8_t>();
  if (input.ConsumeBool()) identity.serialNumber.reset();
  return identity;
}

void VendorFaults(FuzzedDataProvider &input, hw::BridgeConfig &config) {
  const size_t faults = input.ConsumeIntegralInRange<size_t>(0, 3);
  for (size_t i = 0; i < faults; ++i) {
    const auto subCommand = input.ConsumeIntegralInRange<uint16_t>(1, 6);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: config.vendorFaults[subCommand] = hw::VendorFault::Stall(); break;
      case 1: config.vendorFaults[subCommand] = hw::VendorFault::NoAnswer(1); break;
      case 2: config.vendorFaults[subCommand] = hw::VendorFault::NakForever(1); break;
      default:
        config.vendorFaults[subCommand] = hw::VendorFault::Reply(input.ConsumeIntegralInRange<size_t>(0, 1100));
    }
  }
}

hw::BridgeConfig Config(FuzzedDataProvider &input) {
  hw::BridgeConfig config;
  config.identity = Identity(input);
  config.configuration = Configuration(input);
  config.fifoSize = input.ConsumeIntegralInRange<size_t>(1, 8192);
  config.emptyRead = input.ConsumeBool() ? hw::EmptyRead::Nak : hw::EmptyRead::ZeroLengthPacket;
  config.deviceIdFraming.prefixCountsItself = input.ConsumeBool();
  config.deviceIdFraming.claimedLength = Maybe<uint16_t>(input);
  config.deviceIdFraming.padding = Maybe<uint8_t>(input);
  VendorFaults(input, config);
  return config;
}

// Settings as an INF's AddReg would write them; each one may be missing.
std::vector<std::pair<std::string, uint32_t>> DriverSettings(FuzzedDataProvider &input) {
  std::vector<std::pair<std::string, uint32_t>> settings;
  if (input.ConsumeBool()) {
    static constexpr uint32_t kSizes[] = {0, 1, 64, 4096, 65536, 1u << 20, 0xFFFFFFFF};
    // Arbitrary sizes up to 1 MiB: the driver allocates the setting's size
    // at every open, and the host's pool grants what a real pool would refuse.
    settings.emplace_back("MaxTransferSize", input.ConsumeBool() ? input.PickValueInArray(kSizes)
                                                                 : input.ConsumeIntegralInRange<uint32_t>(0, 1u << 20));
  }
  if (input.ConsumeBool()) settings.emplace_back("IFSetting", input.ConsumeIntegralInRange<uint32_t>(0, 3));
  if (input.ConsumeBool()) settings.emplace_back("AltSetting", input.ConsumeIntegralInRange<uint32_t>(0, 3));
  return settings;
}

constexpr int64_t kWaitUnits = 2 * 10'000'000;  // 2 s of model time for a data request

// A request that does not finish in time is cancelled; it must then finish.
void Finish(const std::shared_ptr<host::PendingIo> &io) {
  if (!io->Wait(kWaitUnits)) io->Cancel();
  const host::IoResult result = io->Await();
  FUZZ_EXPECT(result.status != STATUS_PENDING);
}

void UseThePort() {
  host::DeviceHandle port;
  if (port.Open("\\\\.\\NorvUSB1") != STATUS_SUCCESS) return;
  std::vector<uint8_t> page(300, 'p');
  Finish(port.StartWrite(page.data(), ULONG(page.size())));
  std::vector<uint8_t> back(100);
  Finish(port.StartRead(back.data(), ULONG(back.size())));
  std::vector<uint8_t> reply(1024);
  host::IoResult id = port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, reply.data(), ULONG(reply.size()));
  FUZZ_EXPECT(id.status == STATUS_SUCCESS && id.information <= reply.size());
  host::IoResult endpoints =
      port.DeviceControl(IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, nullptr, 0, reply.data(), ULONG(reply.size()));
  FUZZ_EXPECT(endpoints.status == STATUS_SUCCESS && endpoints.information <= reply.size());
}

// Plugs `bridge` with `settings` in its new driver key, uses it, unplugs it.
void PlugAndUse(host::Machine &machine, const std::shared_ptr<hw::Bridge> &bridge,
                const std::vector<std::pair<std::string, uint32_t>> &settings) {
  host::pnp::ClearDriverDefaults(host::Machine::kService);
  for (const auto &[name, value] : settings) host::pnp::SetDriverDefault(host::Machine::kService, name, value);
  // Plugged through the bus itself, as the machine does, so that the raw
  // bridge can stand in for the firmware's own descriptors.
  const host::usb::Port port = machine.Bus().Attach(bridge);
  machine.WaitIdle();
  UseThePort();
  machine.Bus().Detach(port);
  machine.WaitIdle();
  // The manager's logs of requests would grow with every input.
  host::pnp::ClearPnpRequestLog();
  host::pnp::ClearPowerRequestLog();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  host::Machine &machine = fuzz::MachineOnce();
  static const fuzz::Baseline baseline = [&] {
    PlugAndUse(machine, std::make_shared<hw::Bridge>(std::make_shared<hw::Printer>()), {});
    return fuzz::Baseline();
  }();
  FuzzedDataProvider input(data, size);
  const bool raw = input.ConsumeBool();
  const auto settings = DriverSettings(input);

  hw::BridgeConfig config;
  std::vector<uint8_t> rawDescriptors;
  if (raw) {
    config.identity = Identity(input);
    rawDescriptors = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
  } else {
    config = Config(input);
  }
  hw::PrinterOptions printerOptions;
  printerOptions.deviceId = input.ConsumeRandomLengthString(1200);
  printerOptions.keepInMemory = false;

  std::shared_ptr<hw::Printer> printer;
  std::shared_ptr<hw::Bridge> bridge;
  try {
    printer = std::make_shared<hw::Printer>(printerOptions);
    bridge = raw ? std::make_shared<RawDescriptorBridge>(printer, config, std::move(rawDescriptors))
                 : std::make_shared<hw::Bridge>(printer, config);
  } catch (const std::invalid_argument &) {
    return 0;  // the model refuses this hardware; nothing to plug in
  }

  PlugAndUse(machine, bridge, settings);
  baseline.Check();
  return 0;
}
