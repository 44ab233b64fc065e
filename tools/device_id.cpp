#include "tools/device_id.h"

#include <algorithm>

#include <fmt/format.h>

#include "include/bridge_ioctl.h"

namespace norvusb {

namespace {

constexpr uint32_t kLengthFieldSize = 2;

// The text bytes a buffer of `bufferLength` holds after the driver strips the field.
uint64_t TextRoom(uint32_t bufferLength) {
  return std::min(bufferLength, kLargestDeviceIdBuffer) - std::min(bufferLength, kLengthFieldSize);
}

// The device's length field as the largest buffer shows it. Information is
// the field capped at the 4094 bytes of text that buffer holds, so a text of
// 4093 or 4094 bytes reads as 4094; the text itself then tells: the bytes the
// device did not send read as zero, and its text ends at its last byte that
// is not. A text that fills the whole buffer shows as the largest field.
uint64_t LargestBufferField(Port &port) {
  std::vector<uint8_t> buffer(kLargestDeviceIdBuffer);
  const PortIo result = port.Control(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, buffer.data(), kLargestDeviceIdBuffer);
  if (result.status < 0) return 0;
  const uint64_t room = TextRoom(kLargestDeviceIdBuffer);
  if (result.information < room) return result.information;
  const auto last = std::find_if(buffer.rbegin() + static_cast<ptrdiff_t>(buffer.size() - room), buffer.rend(),
                                 [](uint8_t byte) { return byte != 0; });
  const uint64_t text = static_cast<uint64_t>(buffer.rend() - last);
  return std::max<uint64_t>(result.information, text + kLengthFieldSize);
}

}  // namespace

DeviceIdLength DeviceIdLengthOf(Port &port, uint32_t bufferLength, uint64_t information) {
  const uint64_t room = TextRoom(bufferLength);
  if (information < room) return {information, false};
  // Information was capped at the room: the field may be larger.
  const uint64_t field = std::max(information, LargestBufferField(port));
  return {field, field > room + kLengthFieldSize || field >= kLargestDeviceIdBuffer};
}

std::optional<DeviceIdReply> ReadDeviceId(Port &port, uint32_t bufferLength) {
  DeviceIdReply reply;
  reply.buffer.resize(bufferLength);
  const PortIo result = port.Control(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, reply.buffer.data(), bufferLength);
  if (result.status < 0 || result.information == 0) return std::nullopt;
  reply.information = result.information;
  reply.length = DeviceIdLengthOf(port, bufferLength, result.information);
  return reply;
}

std::string CutNote(const DeviceIdLength &length, uint32_t bufferLength) {
  if (!length.cut) return "";
  const std::string whole = length.field >= kLargestDeviceIdBuffer
                                ? fmt::format("at least {} bytes, all that one control transfer brings",
                                              kLargestDeviceIdBuffer - kLengthFieldSize)
                                : fmt::format("{} bytes", length.field - kLengthFieldSize);
  return fmt::format("(cut to the {} bytes a {}-byte buffer holds; the device's text is {})", TextRoom(bufferLength),
                     bufferLength, whole);
}

}  // namespace norvusb
