#include "host/usbstack/usb_ids.h"

#include <cstdio>

#include "host/kernel/api/hostusb.h"
#include "host/usbstack/descriptors.h"

namespace host::usb {

namespace {

constexpr uint16_t kLanguageEnglishUs = 0x0409;

std::string Format(const char *format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// The serial number string descriptor, in the characters an instance ID may hold.
std::optional<std::string> SerialNumber(UsbDevice &device, uint8_t index) {
  if (index == 0) return std::nullopt;
  SetupPacket setup{0x80, 6, static_cast<uint16_t>(USB_STRING_DESCRIPTOR_TYPE << 8 | index), kLanguageEnglishUs, 255};
  const ControlReply reply = device.Control(setup, {});
  const auto &d = reply.data;
  if (reply.handshake != Handshake::Ack || d.size() < 4 || d[1] != USB_STRING_DESCRIPTOR_TYPE) return std::nullopt;
  const size_t length = std::min<size_t>(d[0], d.size());
  std::string serial;
  for (size_t i = 2; i + 1 < length; i += 2) {
    const unsigned c = d[i] | d[i + 1] << 8;
    serial.push_back(c > 0x20 && c < 0x7F && c != ',' ? static_cast<char>(c) : '_');
  }
  if (serial.empty()) return std::nullopt;
  return serial;
}

}  // namespace

DeviceIdentity IdentifyDevice(UsbDevice &device, uint32_t port) {
  std::vector<uint8_t> d = device.DeviceDescriptor();
  d.resize(std::max<size_t>(d.size(), sizeof(USB_DEVICE_DESCRIPTOR)), 0);
  const unsigned vendor = d[8] | d[9] << 8, product = d[10] | d[11] << 8, revision = d[12] | d[13] << 8;

  DeviceIdentity identity;
  identity.deviceId = Format("USB\\VID_%04X&PID_%04X", vendor, product);
  identity.hardwareIds = {identity.deviceId + Format("&REV_%04X", revision), identity.deviceId};

  unsigned cls = d[4], sub = d[5], prot = d[6];
  if (cls == 0) {  // the class is the first interface's
    const auto configuration = device.ConfigurationDescriptor();
    const auto layout = ParseConfiguration(configuration);
    if (layout && !layout->interfaces.empty()) {
      const auto &first = layout->interfaces.front();
      cls = first.interfaceClass, sub = first.subClass, prot = first.protocol;
    }
  }
  identity.compatibleIds = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", cls, sub, prot),
                            Format("USB\\Class_%02X&SubClass_%02X", cls, sub), Format("USB\\Class_%02X", cls)};

  if (auto serial = SerialNumber(device, d[16])) {
    identity.instanceId = *serial;
    identity.uniqueId = true;
  } else {
    identity.instanceId = std::to_string(port);
  }
  return identity;
}

}  // namespace host::usb
