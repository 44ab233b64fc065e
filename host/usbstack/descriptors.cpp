#include "host/usbstack/descriptors.h"

#include "host/kernel/api/hostusb.h"

namespace host::usb {

const InterfaceDescriptor *ConfigurationLayout::Find(uint8_t number, uint8_t alternateSetting) const {
  for (const auto &interface : interfaces)
    if (interface.number == number && interface.alternateSetting == alternateSetting) return &interface;
  return nullptr;
}

namespace {

uint16_t Word(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

InterfaceDescriptor ReadInterface(std::span<const uint8_t> d) {
  InterfaceDescriptor interface;
  interface.number = d[2];
  interface.alternateSetting = d[3];
  interface.declaredEndpoints = d[4];
  interface.interfaceClass = d[5];
  interface.subClass = d[6];
  interface.protocol = d[7];
  return interface;
}

EndpointDescriptor ReadEndpoint(std::span<const uint8_t> d) {
  return EndpointDescriptor{d[2], d[3], Word(d, 4), d[6]};
}

}  // namespace

std::optional<ConfigurationLayout> ParseConfiguration(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return std::nullopt;
  ConfigurationLayout layout;
  layout.declaredInterfaces = bytes[4];
  layout.configurationValue = bytes[5];
  const size_t total = std::min<size_t>(Word(bytes, 2), bytes.size());
  size_t offset = bytes[0];
  InterfaceDescriptor *current = nullptr;
  while (offset + 2 <= total) {
    const uint8_t length = bytes[offset];
    if (length < 2 || offset + length > total) break;
    const auto d = bytes.subspan(offset, length);
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      layout.interfaces.push_back(ReadInterface(d));
      current = &layout.interfaces.back();
    } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && current &&
               current->endpoints.size() < current->declaredEndpoints) {
      current->endpoints.push_back(ReadEndpoint(d));
    }
    offset += length;
  }
  return layout;
}

}  // namespace host::usb
