// The printer's IEEE 1284 device ID as a tool reads it through the port.
// The driver hands back the text without its two-byte length field, and an
// Information that is the field, capped at the room the buffer has: when the
// text fills that room, only a second request with the largest buffer shows
// the device's own field, and whether the text was cut.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/port.h"

namespace norvusb {

// The largest buffer the driver fills: one control transfer on the default
// pipe, at most 4,096 bytes. A field this large or larger reads as this: the
// text fills what one transfer brings, and the device's may go on.
inline constexpr uint32_t kLargestDeviceIdBuffer = 4096;

struct DeviceIdLength {
  uint64_t field = 0;  // the device's length field: the text and its two length bytes (kLargestDeviceIdBuffer: at least that)
  bool cut = false;    // the text did not fit a buffer of the length asked for, or may not have
};

// Learns the device's length field after a request with a `bufferLength`
// buffer that succeeded with `information`; asks again only when the text
// filled the buffer.
DeviceIdLength DeviceIdLengthOf(Port &port, uint32_t bufferLength, uint64_t information);

struct DeviceIdReply {
  std::vector<uint8_t> buffer;  // as handed back, zero-filled
  uint64_t information = 0;
  DeviceIdLength length;
};

// One request with a `bufferLength` buffer, then DeviceIdLengthOf; nullopt
// when the driver refused it or had nothing.
std::optional<DeviceIdReply> ReadDeviceId(Port &port, uint32_t bufferLength);

// "(cut to the 1022 bytes a 1024-byte buffer holds; the device's text is
// 2000 bytes)" for a cut text; "" otherwise.
std::string CutNote(const DeviceIdLength &length, uint32_t bufferLength);

}  // namespace norvusb
