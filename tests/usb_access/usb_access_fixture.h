// A whole machine with one bridge whose wire the test watches: the bridge
// firmware sits behind a pass-through device that records every request it
// sees and, at that moment, the driver's pool blocks. While the device serves
// a request the driver's thread is blocked in its synchronous submission, so
// the blocks the driver built for that request are all still allocated.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/hardware/bridge.h"
#include "host/hardware/printer.h"
#include "norvusb.h"
#include "tests/support/machine_fixture.h"

namespace usbaccess {

// What the device was asked for, and the driver's blocks allocated since the
// spy was armed, as they stood then.
struct WireEvent {
  enum class Kind { DeviceDescriptor, ConfigurationDescriptor, SetConfiguration, Control, ClearHalt };
  Kind kind = Kind::Control;
  host::usb::SetupPacket setup;  // Control only
  uint8_t configurationValue = 0;  // SetConfiguration only
  uint8_t endpoint = 0;            // ClearHalt only
  std::vector<host::PoolBlockInfo> newDriverBlocks;

  bool HasBlockOfSize(size_t size) const;
};

class SpyDevice final : public host::usb::UsbDevice {
 public:
  explicit SpyDevice(std::shared_ptr<host::hardware::Bridge> bridge) : bridge_(std::move(bridge)) {}

  // From now on, events list only driver blocks allocated after this call.
  void Arm();
  std::vector<WireEvent> Events() const;
  std::vector<WireEvent> Events(WireEvent::Kind kind) const;
  std::vector<host::usb::SetupPacket> VendorSetups() const;
  void ClearEvents();
  // Replaces the device descriptor the stack reads (a lying device).
  void OverrideDeviceDescriptor(std::vector<uint8_t> bytes);

  std::vector<uint8_t> DeviceDescriptor() override;
  std::vector<uint8_t> ConfigurationDescriptor() override;
  void SetConfiguration(uint8_t configurationValue) override;
  void SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
  host::usb::ControlReply Control(const host::usb::SetupPacket &setup, std::span<const uint8_t> outData) override;
  host::usb::Handshake PacketOut(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
  host::usb::Handshake PacketIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) override;
  host::usb::Handshake DataOut(uint8_t endpointAddress, std::span<const uint8_t> packet, host::usb::DataPid pid) override;
  host::usb::Handshake DataIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length,
                              host::usb::DataPid &pid) override;
  void ClearHalt(uint8_t endpointAddress) override;
  void BusReset() override;
  void AdvanceTo(int64_t now) override;

 private:
  void Record(WireEvent event);

  const std::shared_ptr<host::hardware::Bridge> bridge_;
  mutable std::mutex mutex_;
  uint64_t armedSerial_ = 0;
  std::vector<WireEvent> events_;
  std::optional<std::vector<uint8_t>> deviceDescriptor_;
};

// Driver pool blocks ('Ddk ') outstanding now.
std::vector<host::PoolBlockInfo> DriverBlocks();
// Size of the outstanding pool block at this address; 0 when there is none.
size_t BlockSizeAt(const void *address);

class UsbAccessTest : public MachineFixture {
 protected:
  void TearDown() override;
  // Pulls the spied bridge and shuts the machine down (leak checks included).
  void ShutDown();

  // Boots (instant timing unless options say otherwise) and plugs one bridge
  // behind the spy; returns once the PnP manager is idle.
  void PlugSpied(host::hardware::BridgeConfig config = {}, host::hardware::PrinterOptions printer = {});
  void PlugSpied(host::MachineOptions options, host::hardware::BridgeConfig config,
                 host::hardware::PrinterOptions printer = {});

  PDEVICE_OBJECT Bridge() const;  // the bridge's function device object
  FdoExtension &Extension() const;
  host::usb::FaultInjector &Faults();
  uint64_t Seen(host::usb::RequestKind kind);
  std::string InstancePath() const;

  host::DeviceHandle OpenPort();
  // A device-control request on an open handle.
  host::IoResult Control(host::DeviceHandle &port, ULONG code, std::vector<uint8_t> input, std::vector<uint8_t> &output);

  std::shared_ptr<host::hardware::Printer> printer_;
  std::shared_ptr<host::hardware::Bridge> bridge_;
  std::shared_ptr<SpyDevice> spy_;
  host::usb::Port port_ = 0;
};

}  // namespace usbaccess
