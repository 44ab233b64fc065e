#include "host/hardware/descriptors.h"

#include <algorithm>
#include <set>

namespace host::hardware {
namespace {

void Put16(std::vector<uint8_t> &out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// Appends descriptors and remembers where each begins, so that one can be
// given a false bLength afterwards.
class DescriptorWriter {
 public:
  std::vector<uint8_t> &Begin(uint8_t length, uint8_t type) {
    starts_.push_back(bytes_.size());
    bytes_.push_back(length);
    bytes_.push_back(type);
    return bytes_;
  }
  void ZeroLength(size_t index) {
    if (index < starts_.size()) bytes_[starts_[index]] = 0;
  }
  std::vector<uint8_t> &Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<size_t> starts_;
};

void WriteInterface(DescriptorWriter &w, const InterfaceDescriptor &i) {
  auto &out = w.Begin(9, kDescriptorInterface);
  out.push_back(i.number);
  out.push_back(i.alternateSetting);
  out.push_back(i.claimedEndpoints.value_or(static_cast<uint8_t>(i.endpoints.size())));
  out.push_back(i.interfaceClass);
  out.push_back(i.interfaceSubClass);
  out.push_back(i.interfaceProtocol);
  out.push_back(0);  // iInterface
  for (const auto &e : i.endpoints) {
    auto &ep = w.Begin(7, kDescriptorEndpoint);
    ep.push_back(e.address);
    ep.push_back(e.attributes);
    Put16(ep, e.maxPacketSize);
    ep.push_back(e.interval);
  }
}

InterfaceDescriptor PrinterInterface(uint8_t out, uint8_t in, uint8_t attributes, uint16_t packet, uint8_t interval) {
  InterfaceDescriptor i;
  i.endpoints = {{out, attributes, packet, interval}, {in, attributes, packet, interval}};
  return i;
}

}  // namespace

uint8_t ConfigurationDescriptorSet::InterfaceCount() const {
  std::set<uint8_t> numbers;
  for (const auto &i : interfaces) numbers.insert(i.number);
  return static_cast<uint8_t>(numbers.size());
}

const InterfaceDescriptor *ConfigurationDescriptorSet::Find(uint8_t number, uint8_t alternateSetting) const {
  auto it = std::find_if(interfaces.begin(), interfaces.end(), [&](const InterfaceDescriptor &i) {
    return i.number == number && i.alternateSetting == alternateSetting;
  });
  return it == interfaces.end() ? nullptr : &*it;
}

std::vector<uint8_t> SerializeDeviceDescriptor(const DeviceIdentity &d) {
  std::vector<uint8_t> out{18, kDescriptorDevice};
  Put16(out, d.bcdUsb);
  out.push_back(d.deviceClass);
  out.push_back(d.deviceSubClass);
  out.push_back(d.deviceProtocol);
  out.push_back(d.maxPacketSize0);
  Put16(out, d.vendorId);
  Put16(out, d.productId);
  Put16(out, d.bcdDevice);
  out.push_back(d.manufacturer.empty() ? 0 : kStringManufacturer);
  out.push_back(d.product.empty() ? 0 : kStringProduct);
  out.push_back(d.serialNumber ? kStringSerial : 0);
  out.push_back(d.numConfigurations);
  return out;
}

std::vector<uint8_t> SerializeConfiguration(const ConfigurationDescriptorSet &set) {
  DescriptorWriter w;
  auto &head = w.Begin(9, kDescriptorConfiguration);
  Put16(head, 0);  // wTotalLength, filled in below
  head.push_back(set.claimedInterfaces.value_or(set.InterfaceCount()));
  head.push_back(set.value);
  head.push_back(0);  // iConfiguration
  head.push_back(set.attributes);
  head.push_back(set.maxPower);
  for (const auto &i : set.interfaces) WriteInterface(w, i);
  auto &bytes = w.Bytes();
  bytes.insert(bytes.end(), set.trailer.begin(), set.trailer.end());
  const uint16_t total = set.claimedTotalLength.value_or(static_cast<uint16_t>(std::min<size_t>(bytes.size(), 0xFFFF)));
  bytes[2] = static_cast<uint8_t>(total);
  bytes[3] = static_cast<uint8_t>(total >> 8);
  if (set.zeroLengthDescriptor) w.ZeroLength(*set.zeroLengthDescriptor);
  return bytes;
}

std::optional<std::vector<uint8_t>> SerializeString(const DeviceIdentity &identity, uint8_t index) {
  if (index == 0) return std::vector<uint8_t>{4, kDescriptorString, 0x09, 0x04};  // English (United States)
  const std::string *text = nullptr;
  if (index == kStringManufacturer && !identity.manufacturer.empty()) text = &identity.manufacturer;
  if (index == kStringProduct && !identity.product.empty()) text = &identity.product;
  if (index == kStringSerial && identity.serialNumber) text = &*identity.serialNumber;
  if (text == nullptr) return std::nullopt;
  // bLength is one byte: at most 126 UTF-16 units fit.
  const size_t units = std::min<size_t>(text->size(), 126);
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * units), kDescriptorString};
  for (size_t k = 0; k < units; ++k) Put16(out, static_cast<uint8_t>((*text)[k]));
  return out;
}

ConfigurationDescriptorSet PrinterConfiguration() {
  ConfigurationDescriptorSet set;
  set.interfaces = {PrinterInterface(0x01, 0x82, kEndpointBulk, 64, 0)};
  return set;
}

ConfigurationDescriptorSet TwoInterfaceConfiguration() {
  ConfigurationDescriptorSet set = PrinterConfiguration();
  InterfaceDescriptor second = PrinterInterface(0x03, 0x84, kEndpointBulk, 64, 0);
  second.number = 1;
  second.interfaceClass = 0xFF;
  second.interfaceSubClass = 0;
  second.interfaceProtocol = 0;
  set.interfaces.push_back(second);
  return set;
}

ConfigurationDescriptorSet AlternateSettingConfiguration() {
  ConfigurationDescriptorSet set = PrinterConfiguration();
  InterfaceDescriptor alternate = PrinterInterface(0x03, 0x84, kEndpointBulk, 32, 0);
  alternate.alternateSetting = 1;
  set.interfaces.push_back(alternate);
  return set;
}

ConfigurationDescriptorSet InterruptPipeConfiguration() {
  ConfigurationDescriptorSet set;
  set.interfaces = {PrinterInterface(0x01, 0x82, kEndpointInterrupt, 64, 1)};
  return set;
}

}  // namespace host::hardware
