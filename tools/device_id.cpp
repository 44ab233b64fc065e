#include "tools/device_id.h"

#include <algorithm>

#include <fmt/format.h>

#include "include/bridge_ioctl.h"

namespace norvusb {

namespace {

constexpr ULONG kLengthFieldSize = 2;

// The text bytes a buffer of `bufferLength` holds after the driver strips the field.
uint64_t TextRoom(ULONG bufferLength) {
  return std::min(bufferLength, kLargestDeviceIdBuffer) - std::min(bufferLength, kLengthFieldSize);
}

uint64_t AskInformation(host::DeviceHandle &port, ULONG bufferLength) {
  std::vector<uint8_t> buffer(bufferLength);
  const host::IoResult result = port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, buffer.data(), bufferLength);
  return NT_SUCCESS(result.status) ? result.information : 0;
}

}  // namespace

DeviceIdLength DeviceIdLengthOf(host::DeviceHandle &port, ULONG bufferLength, uint64_t information) {
  const uint64_t room = TextRoom(bufferLength);
  if (information < room) return {information, false};
  // Information was capped at the room: the field may be larger.
  const uint64_t field = std::max(information, AskInformation(port, kLargestDeviceIdBuffer));
  return {field, field > room + kLengthFieldSize};
}

std::optional<DeviceIdReply> ReadDeviceId(host::DeviceHandle &port, ULONG bufferLength) {
  DeviceIdReply reply;
  reply.buffer.resize(bufferLength);
  const host::IoResult result =
      port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, reply.buffer.data(), bufferLength);
  if (!NT_SUCCESS(result.status) || result.information == 0) return std::nullopt;
  reply.information = result.information;
  reply.length = DeviceIdLengthOf(port, bufferLength, result.information);
  return reply;
}

std::string CutNote(const DeviceIdLength &length, ULONG bufferLength) {
  if (!length.cut) return "";
  return fmt::format("(cut to the {} bytes a {}-byte buffer holds; the device's text is {} bytes)",
                     TextRoom(bufferLength), bufferLength, length.field - kLengthFieldSize);
}

}  // namespace norvusb
