// The bridge's USB descriptors as plain records, their byte form, and the
// shapes tests ask for (more interfaces, alternate settings, interrupt pipes,
// counts that lie).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host::hardware {

inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;

inline constexpr uint8_t kEndpointBulk = 2;
inline constexpr uint8_t kEndpointInterrupt = 3;
inline constexpr uint8_t kEndpointDirectionIn = 0x80;

// Our own vendor and product numbers.
inline constexpr uint16_t kBridgeVendorId = 0x6E75;
inline constexpr uint16_t kBridgeProductId = 0x1284;

struct DeviceIdentity {
  uint16_t bcdUsb = 0x0110;
  uint8_t deviceClass = 0;  // per interface
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 64;
  uint16_t vendorId = kBridgeVendorId;
  uint16_t productId = kBridgeProductId;
  uint16_t bcdDevice = 0x0102;
  std::string manufacturer = "Norv Labs";
  std::string product = "NorvUSB Parallel Bridge";
  std::optional<std::string> serialNumber = "NB1284-0001";  // nullopt: no serial string; the machine numbers each bridge
  uint8_t numConfigurations = 1;
};

struct EndpointDescriptor {
  uint8_t address = 0;
  uint8_t attributes = kEndpointBulk;
  uint16_t maxPacketSize = 64;
  uint8_t interval = 0;

  bool In() const { return (address & kEndpointDirectionIn) != 0; }
  // Bulk or interrupt: the pipes that carry the printer's data.
  bool Data() const {
    const uint8_t type = attributes & 3;
    return type == kEndpointBulk || type == kEndpointInterrupt;
  }
};

struct InterfaceDescriptor {
  uint8_t number = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 7;  // printer
  uint8_t interfaceSubClass = 1;
  uint8_t interfaceProtocol = 2;  // bidirectional
  std::vector<EndpointDescriptor> endpoints;
  std::optional<uint8_t> claimedEndpoints;  // bNumEndpoints when it lies
};

struct ConfigurationDescriptorSet {
  uint8_t value = 1;
  uint8_t attributes = 0x80;  // bus-powered
  uint8_t maxPower = 50;      // 100 mA
  std::vector<InterfaceDescriptor> interfaces;
  std::optional<uint16_t> claimedTotalLength;  // wTotalLength when it lies
  std::optional<uint8_t> claimedInterfaces;    // bNumInterfaces when it lies
  // Index of a descriptor (0 = the configuration descriptor itself, then each
  // interface and endpoint in order) sent with bLength 0.
  std::optional<size_t> zeroLengthDescriptor;
  // Bytes sent after the last endpoint (class-specific or junk descriptors).
  std::vector<uint8_t> trailer;

  // The number of distinct interface numbers: bNumInterfaces when honest.
  uint8_t InterfaceCount() const;
  const InterfaceDescriptor *Find(uint8_t number, uint8_t alternateSetting) const;
};

std::vector<uint8_t> SerializeDeviceDescriptor(const DeviceIdentity &identity);
// The whole set, every byte the device has, whatever wTotalLength claims.
std::vector<uint8_t> SerializeConfiguration(const ConfigurationDescriptorSet &set);
// String descriptor `index` (0 = the language list), or nullopt if none.
std::optional<std::vector<uint8_t>> SerializeString(const DeviceIdentity &identity, uint8_t index);

// String indexes the device descriptor names (0 = no string).
inline constexpr uint8_t kStringManufacturer = 1;
inline constexpr uint8_t kStringProduct = 2;
inline constexpr uint8_t kStringSerial = 3;

// The default: one printer interface, bulk OUT 0x01 and bulk IN 0x82, 64-byte packets.
ConfigurationDescriptorSet PrinterConfiguration();
// Interface 0 as the default, plus interface 1 (vendor class) with bulk OUT
// 0x03 and bulk IN 0x84.
ConfigurationDescriptorSet TwoInterfaceConfiguration();
// Interface 0 with alternate setting 0 as the default and alternate setting 1
// carrying bulk OUT 0x03 and bulk IN 0x84 with 32-byte packets.
ConfigurationDescriptorSet AlternateSettingConfiguration();
// The default interface with interrupt OUT 0x01 and interrupt IN 0x82 (interval 1 ms).
ConfigurationDescriptorSet InterruptPipeConfiguration();

}  // namespace host::hardware
