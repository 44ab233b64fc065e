// The stack's own reading of a configuration descriptor set. Descriptors come
// from devices and drivers, so nothing here trusts a count it cannot check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace host::usb {

struct EndpointDescriptor {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};

struct InterfaceDescriptor {
  uint8_t number = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  uint8_t declaredEndpoints = 0;             // bNumEndpoints
  std::vector<EndpointDescriptor> endpoints;  // those actually present, at most declaredEndpoints
};

struct ConfigurationLayout {
  uint8_t configurationValue = 0;
  uint8_t declaredInterfaces = 0;  // bNumInterfaces
  std::vector<InterfaceDescriptor> interfaces;  // every alternate setting, in descriptor order
  const InterfaceDescriptor *Find(uint8_t number, uint8_t alternateSetting) const;
};

// Reads a configuration descriptor set of `bytes` (which may be longer than
// wTotalLength; the walk stops at the smaller). Null when the header itself is
// unusable (too short, wrong type); a malformed descriptor later in the set
// ends the walk with what was read so far.
std::optional<ConfigurationLayout> ParseConfiguration(std::span<const uint8_t> bytes);

}  // namespace host::usb
