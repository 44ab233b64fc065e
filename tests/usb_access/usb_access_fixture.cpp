#include "tests/usb_access/usb_access_fixture.h"

#include <algorithm>

#include "host/pnp/pnp_manager.h"

namespace usbaccess {

bool WireEvent::HasBlockOfSize(size_t size) const {
  return std::any_of(newDriverBlocks.begin(), newDriverBlocks.end(),
                     [size](const host::PoolBlockInfo &block) { return block.size == size; });
}

std::vector<host::PoolBlockInfo> DriverBlocks() {
  std::vector<host::PoolBlockInfo> blocks;
  for (const auto &block : host::OutstandingPoolBlocks())
    if (block.tag == NORVUSB_POOL_TAG) blocks.push_back(block);
  return blocks;
}

size_t BlockSizeAt(const void *address) {
  for (const auto &block : host::OutstandingPoolBlocks())
    if (block.address == address) return block.size;
  return 0;
}

namespace {
uint64_t LatestSerial() {
  uint64_t latest = 0;
  for (const auto &block : host::OutstandingPoolBlocks()) latest = std::max(latest, block.serial);
  return latest;
}
}  // namespace

void SpyDevice::Arm() {
  const uint64_t latest = LatestSerial();
  std::lock_guard lock(mutex_);
  armedSerial_ = latest;
  events_.clear();
}

void SpyDevice::Record(WireEvent event) {
  uint64_t armed;
  {
    std::lock_guard lock(mutex_);
    armed = armedSerial_;
  }
  for (const auto &block : DriverBlocks())
    if (block.serial > armed) event.newDriverBlocks.push_back(block);
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<WireEvent> SpyDevice::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<WireEvent> SpyDevice::Events(WireEvent::Kind kind) const {
  std::vector<WireEvent> matching;
  for (auto &event : Events())
    if (event.kind == kind) matching.push_back(event);
  return matching;
}

std::vector<host::usb::SetupPacket> SpyDevice::VendorSetups() const {
  std::vector<host::usb::SetupPacket> setups;
  for (const auto &event : Events(WireEvent::Kind::Control))
    if ((event.setup.bmRequestType & 0x60) == 0x40) setups.push_back(event.setup);
  return setups;
}

void SpyDevice::ClearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void SpyDevice::OverrideDeviceDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  deviceDescriptor_ = std::move(bytes);
}

std::vector<uint8_t> SpyDevice::DeviceDescriptor() {
  Record({WireEvent::Kind::DeviceDescriptor});
  std::lock_guard lock(mutex_);
  return deviceDescriptor_ ? *deviceDescriptor_ : bridge_->DeviceDescriptor();
}

std::vector<uint8_t> SpyDevice::ConfigurationDescriptor() {
  Record({WireEvent::Kind::ConfigurationDescriptor});
  return bridge_->ConfigurationDescriptor();
}

void SpyDevice::SetConfiguration(uint8_t configurationValue) {
  WireEvent event{WireEvent::Kind::SetConfiguration};
  event.configurationValue = configurationValue;
  Record(std::move(event));
  bridge_->SetConfiguration(configurationValue);
}

void SpyDevice::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
  bridge_->SetInterface(interfaceNumber, alternateSetting);
}

host::usb::ControlReply SpyDevice::Control(const host::usb::SetupPacket &setup, std::span<const uint8_t> outData) {
  WireEvent event{WireEvent::Kind::Control};
  event.setup = setup;
  Record(std::move(event));
  return bridge_->Control(setup, outData);
}

host::usb::Handshake SpyDevice::PacketOut(uint8_t endpointAddress, std::span<const uint8_t> packet) {
  return bridge_->PacketOut(endpointAddress, packet);
}

host::usb::Handshake SpyDevice::PacketIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) {
  return bridge_->PacketIn(endpointAddress, packet, length);
}

host::usb::Handshake SpyDevice::DataOut(uint8_t endpointAddress, std::span<const uint8_t> packet,
                                        host::usb::DataPid pid) {
  return bridge_->DataOut(endpointAddress, packet, pid);
}

host::usb::Handshake SpyDevice::DataIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length,
                                       host::usb::DataPid &pid) {
  return bridge_->DataIn(endpointAddress, packet, length, pid);
}

void SpyDevice::ClearHalt(uint8_t endpointAddress) {
  WireEvent event{WireEvent::Kind::ClearHalt};
  event.endpoint = endpointAddress;
  Record(std::move(event));
  bridge_->ClearHalt(endpointAddress);
}
void SpyDevice::BusReset() { bridge_->BusReset(); }
void SpyDevice::AdvanceTo(int64_t now) { bridge_->AdvanceTo(now); }

// ------------------------------------------------------------------ fixture

void UsbAccessTest::ShutDown() {
  // The spied bridge is not one of the machine's own slots: pull it first so
  // that the machine's shutdown finds it removed.
  if (machine_ && port_ != 0 && machine_->Bus().Attached(port_)) {
    machine_->Bus().Detach(port_);
    host::pnp::WaitIdle();
  }
  port_ = 0;
  ShutDownMachine();
}

void UsbAccessTest::TearDown() {
  ShutDown();
  MachineFixture::TearDown();
}

void UsbAccessTest::PlugSpied(host::hardware::BridgeConfig config, host::hardware::PrinterOptions printer) {
  PlugSpied(InstantOptions(), std::move(config), std::move(printer));
}

void UsbAccessTest::PlugSpied(host::MachineOptions options, host::hardware::BridgeConfig config,
                              host::hardware::PrinterOptions printer) {
  host::Machine &machine = Boot(std::move(options));
  printer_ = std::make_shared<host::hardware::Printer>(std::move(printer));
  bridge_ = std::make_shared<host::hardware::Bridge>(printer_, std::move(config));
  spy_ = std::make_shared<SpyDevice>(bridge_);
  spy_->Arm();
  port_ = machine.Bus().Attach(spy_);
  host::pnp::WaitIdle();
}

PDEVICE_OBJECT UsbAccessTest::Bridge() const {
  PDEVICE_OBJECT device = host::LookupDevice(u"\\Device\\NorvUSB1");
  EXPECT_NE(device, nullptr) << "the bridge has no function device";
  return device;
}

FdoExtension &UsbAccessTest::Extension() const { return *BridgeExtension(Bridge()); }

host::usb::FaultInjector &UsbAccessTest::Faults() { return machine_->Bus().Faults(port_); }

uint64_t UsbAccessTest::Seen(host::usb::RequestKind kind) { return Faults().Seen(kind); }

std::string UsbAccessTest::InstancePath() const {
  auto node = host::pnp::FindDeviceByPdo(machine_->Bus().Pdo(port_));
  return node ? node->instancePath : std::string();
}

host::DeviceHandle UsbAccessTest::OpenPort() {
  host::DeviceHandle port;
  EXPECT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  return port;
}

host::IoResult UsbAccessTest::Control(host::DeviceHandle &port, ULONG code, std::vector<uint8_t> input,
                                      std::vector<uint8_t> &output) {
  return port.DeviceControl(code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                            output.empty() ? nullptr : output.data(), ULONG(output.size()));
}

}  // namespace usbaccess
