#include "tools/usb_descriptors.h"

#include <fmt/format.h>

#include "host/hardware/descriptors.h"
#include "tools/text.h"

namespace norvusb {

namespace {

namespace hw = host::hardware;

uint16_t Word(std::span<const uint8_t> d, size_t at) { return static_cast<uint16_t>(d[at] | (d[at + 1] << 8)); }

std::string Bcd(uint16_t value) { return fmt::format("{:x}.{:02x}", value >> 8, value & 0xFF); }

const char *ClassName(uint8_t code) {
  switch (code) {
    case 0x00: return "(Defined at Interface level)";
    case 0x01: return "Audio";
    case 0x02: return "Communications";
    case 0x03: return "Human Interface Device";
    case 0x07: return "Printer";
    case 0x08: return "Mass Storage";
    case 0x09: return "Hub";
    case 0xFF: return "Vendor Specific Class";
    default: return "";
  }
}

std::string Shown(unsigned value, const std::string &meaning) {
  return meaning.empty() ? std::to_string(value) : fmt::format("{} {}", value, meaning);
}

void AddHeader(Decoded &out, std::span<const uint8_t> d) {
  out.Add("bLength", d[0], std::to_string(d[0]));
  out.Add("bDescriptorType", d[1], std::to_string(d[1]));
}

Decoded DeviceDescriptor(std::span<const uint8_t> d) {
  Decoded out{"device", "Device Descriptor:", {}};
  AddHeader(out, d);
  out.Add("bcdUSB", Bcd(Word(d, 2)), Bcd(Word(d, 2)));
  out.Add("bDeviceClass", d[4], Shown(d[4], ClassName(d[4])));
  out.Add("bDeviceSubClass", d[5], std::to_string(d[5]));
  out.Add("bDeviceProtocol", d[6], std::to_string(d[6]));
  out.Add("bMaxPacketSize0", d[7], std::to_string(d[7]));
  out.Add("idVendor", fmt::format("0x{:04x}", Word(d, 8)), fmt::format("0x{:04x}", Word(d, 8)));
  out.Add("idProduct", fmt::format("0x{:04x}", Word(d, 10)), fmt::format("0x{:04x}", Word(d, 10)));
  out.Add("bcdDevice", Bcd(Word(d, 12)), Bcd(Word(d, 12)));
  out.Add("iManufacturer", d[14], std::to_string(d[14]));
  out.Add("iProduct", d[15], std::to_string(d[15]));
  out.Add("iSerial", d[16], std::to_string(d[16]));
  out.Add("bNumConfigurations", d[17], std::to_string(d[17]));
  return out;
}

Decoded ConfigurationDescriptor(std::span<const uint8_t> d) {
  Decoded out{"configuration", "Configuration Descriptor:", {}};
  AddHeader(out, d);
  out.Add("wTotalLength", Word(d, 2), fmt::format("0x{:04x}", Word(d, 2)));
  out.Add("bNumInterfaces", d[4], std::to_string(d[4]));
  out.Add("bConfigurationValue", d[5], std::to_string(d[5]));
  out.Add("iConfiguration", d[6], std::to_string(d[6]));
  std::string attributes = fmt::format("0x{:02x}", d[7]);
  if (d[7] & 0x40) attributes += " Self Powered";
  if (!(d[7] & 0x40)) attributes += " (Bus Powered)";
  if (d[7] & 0x20) attributes += " Remote Wakeup";
  out.Add("bmAttributes", d[7], attributes);
  out.Add("MaxPower", d[8] * 2, fmt::format("{}mA", d[8] * 2));
  return out;
}

std::string InterfaceProtocolName(uint8_t interfaceClass, uint8_t protocol) {
  if (interfaceClass != 0x07) return "";
  switch (protocol) {
    case 1: return "Unidirectional";
    case 2: return "Bidirectional";
    case 3: return "IEEE 1284.4 compatible bidirectional";
    default: return "";
  }
}

Decoded InterfaceDescriptor(std::span<const uint8_t> d) {
  Decoded out{"interface", "Interface Descriptor:", {}};
  AddHeader(out, d);
  out.Add("bInterfaceNumber", d[2], std::to_string(d[2]));
  out.Add("bAlternateSetting", d[3], std::to_string(d[3]));
  out.Add("bNumEndpoints", d[4], std::to_string(d[4]));
  out.Add("bInterfaceClass", d[5], Shown(d[5], d[5] == 0 ? "" : ClassName(d[5])));
  out.Add("bInterfaceSubClass", d[6], Shown(d[6], d[5] == 0x07 && d[6] == 1 ? "Printer" : ""));
  out.Add("bInterfaceProtocol", d[7], Shown(d[7], InterfaceProtocolName(d[5], d[7])));
  out.Add("iInterface", d[8], std::to_string(d[8]));
  return out;
}

Decoded EndpointDescriptor(std::span<const uint8_t> d) {
  static constexpr const char *kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
  Decoded out{"endpoint", "Endpoint Descriptor:", {}};
  AddHeader(out, d);
  const uint8_t address = d[2];
  out.Add("bEndpointAddress", address,
          fmt::format("0x{:02x}  EP {} {}", address, address & 0x0F,
                      (address & hw::kEndpointDirectionIn) ? "IN" : "OUT"));
  out.Add("bmAttributes", d[3],
          fmt::format("{}  Transfer Type {}", d[3], kTypes[d[3] & 3]));
  const uint16_t packet = Word(d, 4);
  out.Add("wMaxPacketSize", packet,
          fmt::format("0x{:04x}  {}x {} bytes", packet, ((packet >> 11) & 3) + 1, packet & 0x7FF));
  out.Add("bInterval", d[6], std::to_string(d[6]));
  return out;
}

Decoded OtherDescriptor(std::span<const uint8_t> d) {
  Decoded out{"other", fmt::format("Descriptor of type {}:", d[1]), {}};
  AddHeader(out, d);
  out.Add("data", HexBytes(d.subspan(2)), HexBytes(d.subspan(2)));
  return out;
}

Decoded Truncated(std::span<const uint8_t> rest) {
  Decoded out{"truncated", "Bytes that make no whole descriptor:", {}};
  out.Add("data", HexBytes(rest), HexBytes(rest));
  return out;
}

// The smallest length each known type needs to be decoded.
size_t MinimumLength(uint8_t type) {
  switch (type) {
    case hw::kDescriptorDevice: return 18;
    case hw::kDescriptorConfiguration: return 9;
    case hw::kDescriptorInterface: return 9;
    case hw::kDescriptorEndpoint: return 7;
    default: return 2;
  }
}

Decoded DecodeOne(std::span<const uint8_t> d) {
  if (d.size() < MinimumLength(d[1])) return OtherDescriptor(d);
  switch (d[1]) {
    case hw::kDescriptorDevice: return DeviceDescriptor(d);
    case hw::kDescriptorConfiguration: return ConfigurationDescriptor(d);
    case hw::kDescriptorInterface: return InterfaceDescriptor(d);
    case hw::kDescriptorEndpoint: return EndpointDescriptor(d);
    default: return OtherDescriptor(d);
  }
}

}  // namespace

std::vector<Decoded> DecodeDescriptors(std::span<const uint8_t> bytes) {
  std::vector<Decoded> decoded;
  size_t at = 0;
  while (at < bytes.size()) {
    const auto rest = bytes.subspan(at);
    const size_t length = rest[0];
    if (rest.size() < 2 || length < 2 || length > rest.size()) {
      decoded.push_back(Truncated(rest));
      break;
    }
    decoded.push_back(DecodeOne(rest.first(length)));
    at += length;
  }
  return decoded;
}

}  // namespace norvusb
