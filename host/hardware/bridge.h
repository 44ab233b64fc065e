// The bridge's firmware: a USB device with a printer interface, the vendor
// command set (bridge_protocol.h), a FIFO between the bulk OUT pipe and the
// printer port, and the transfer mode that decides which pipe moves.
//
// Options make it misbehave the ways real bridges do, so that tests can show
// the driver copes: lying descriptors (descriptors.h), wrong-sized or missing
// vendor replies, device IDs with a false length or no terminating null.
//
// Thread-safe: the USB stack's host-controller thread calls the UsbDevice
// side while tests change faults or look at the state from other threads.
// Lock order: the bridge's lock, then the printer's; the printer never calls
// the bridge.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/hardware/bridge_protocol.h"
#include "host/hardware/byte_fifo.h"
#include "host/hardware/descriptors.h"
#include "host/hardware/printer.h"
#include "host/usbstack/usb_device.h"

namespace host::hardware {

// A vendor sub-command that misbehaves.
struct VendorFault {
  enum class Kind {
    Stall,       // the request is refused; nothing happens
    NoAnswer,    // the device does not answer at all (Handshake::None); nothing happens
    NakForever,  // the device NAKs every attempt; nothing happens
    ReplySize,   // the command acts, but its reply is exactly `replySize` bytes, whatever wLength asks
  };
  Kind kind = Kind::Stall;
  size_t replySize = 0;
  uint64_t times = 0;  // how many requests it hits; 0 = every one

  static VendorFault Stall(uint64_t times = 0) { return {Kind::Stall, 0, times}; }
  static VendorFault NoAnswer(uint64_t times = 0) { return {Kind::NoAnswer, 0, times}; }
  static VendorFault NakForever(uint64_t times = 0) { return {Kind::NakForever, 0, times}; }
  static VendorFault Reply(size_t size, uint64_t times = 0) { return {Kind::ReplySize, size, times}; }
};

// Bytes that pad a reply longer than the command's own (VendorFault::ReplySize).
inline constexpr uint8_t kOverrunFill = 0xA5;

// How the device-ID reply (sub-command 1) is framed.
struct DeviceIdFraming {
  bool prefixCountsItself = true;         // IEEE 1284: the length includes its own two bytes
  std::optional<uint16_t> claimedLength;  // a length prefix that lies
  std::optional<uint8_t> padding;         // fill the reply up to wLength: no terminating null reaches the host
};

// What a bulk IN request gets in reverse mode when the printer has nothing to say.
enum class EmptyRead {
  Nak,               // wait: the read stays pending until data comes (as printer-class devices do)
  ZeroLengthPacket,  // end the transfer at once with what it has
};

struct BridgeConfig {
  DeviceIdentity identity;
  ConfigurationDescriptorSet configuration = PrinterConfiguration();
  size_t fifoSize = 4096;
  EmptyRead emptyRead = EmptyRead::Nak;
  DeviceIdFraming deviceIdFraming;
  std::map<uint16_t, VendorFault> vendorFaults;  // by sub-command
  uint8_t firmwareMajor = 1;
  uint8_t firmwareMinor = 2;
};

class Bridge : public host::usb::UsbDevice {
 public:
  // Throws std::invalid_argument for a null printer or a FIFO size of 0.
  explicit Bridge(std::shared_ptr<Printer> printer, BridgeConfig config = {});

  // ---- the USB wire
  std::vector<uint8_t> DeviceDescriptor() override;
  std::vector<uint8_t> ConfigurationDescriptor() override;
  void SetConfiguration(uint8_t configurationValue) override;
  void SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
  host::usb::ControlReply Control(const host::usb::SetupPacket &setup, std::span<const uint8_t> outData) override;
  host::usb::Handshake PacketOut(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
  host::usb::Handshake PacketIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) override;
  host::usb::Handshake DataOut(uint8_t endpointAddress, std::span<const uint8_t> packet, host::usb::DataPid pid) override;
  host::usb::Handshake DataOutBurst(uint8_t endpointAddress, std::span<const uint8_t> data, size_t maxPacket,
                                    host::usb::DataPid pid, size_t &acked) override;
  host::usb::Handshake DataIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length,
                              host::usb::DataPid &pid) override;
  void ClearHalt(uint8_t endpointAddress) override;
  void BusReset() override;
  void AdvanceTo(int64_t now) override;
  bool Busy() override;

  // ---- for tests and tools
  Printer &printer() const { return *printer_; }
  const BridgeConfig &config() const { return config_; }
  void SetVendorFault(uint16_t subCommand, VendorFault fault);
  void ClearVendorFaults();
  // Halts an endpoint as a device does after an error; ClearHalt ends it.
  void Halt(uint8_t endpointAddress);
  bool Halted(uint8_t endpointAddress) const;
  uint8_t Configuration() const;  // 0: unconfigured
  std::optional<uint8_t> AlternateSetting(uint8_t interfaceNumber) const;
  uint8_t TransferMode() const;
  uint16_t PortConfiguration() const;
  size_t FifoLevel() const;
  // Back to the power-on state (after a disconnect): unconfigured, forward
  // mode, default port configuration, FIFO emptied.
  void PowerCycle();

 private:
  using Reply = host::usb::ControlReply;

  Reply StandardLocked(const host::usb::SetupPacket &setup);
  Reply VendorLocked(const host::usb::SetupPacket &setup);
  std::optional<std::vector<uint8_t>> SubCommandLocked(uint16_t subCommand, uint16_t argument, uint16_t length);
  std::vector<uint8_t> DeviceIdReplyLocked(uint16_t length) const;
  std::optional<VendorFault> TakeFaultLocked(uint16_t subCommand);
  bool SetConfigurationLocked(uint8_t value);
  bool SetInterfaceLocked(uint8_t interfaceNumber, uint8_t alternateSetting);
  void BusResetLocked();
  const EndpointDescriptor *ActiveEndpointLocked(uint8_t address) const;
  const EndpointDescriptor *DataEndpointLocked(uint8_t address, bool in) const;
  // `pumpEach`: the printer gets its turn before and after the packet;
  // otherwise only when the FIFO has no room for it.
  host::usb::Handshake PacketOutLocked(uint8_t endpointAddress, std::span<const uint8_t> packet, bool pumpEach = true);
  host::usb::Handshake DataOutLocked(uint8_t endpointAddress, std::span<const uint8_t> packet, host::usb::DataPid pid,
                                     bool pumpEach);
  host::usb::Handshake PacketInLocked(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length);
  void ClearHaltLocked(uint8_t endpointAddress);
  void PumpLocked();
  uint8_t StatusLinesLocked() const;

  const std::shared_ptr<Printer> printer_;
  const BridgeConfig config_;

  mutable host::Mutex mutex_;
  std::map<uint16_t, VendorFault> faults_;
  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alternateSettings_;  // interface number -> active setting
  std::set<uint8_t> halted_;
  host::usb::DeviceToggles toggles_;
  uint8_t transferMode_ = kModeForward;
  uint16_t portConfiguration_ = kDefaultPortConfiguration;
  uint16_t initialisations_ = 0;
  ByteFifo fifo_;
  int64_t now_ = 0;
  bool zeroLengthOwed_ = false;  // a full IN packet emptied the back channel: end the message
};

}  // namespace host::hardware
