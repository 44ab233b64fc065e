// The bridge's vendor replies in words, as docs/hardware.md describes them.
// The byte layouts come from the firmware's own decoders (bridge_protocol.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tools/decoded.h"

namespace norvusb {

// The 8-byte reply of sub-command 2, 3, 4, 5 or 6.
Decoded DecodeVendorReply(uint16_t subCommand, std::span<const uint8_t> reply);
// "0x58 on line, no error" and so on.
std::string StatusLinesText(uint8_t lines);
// The device-ID text the driver hands back (text first, zero-filled), with the
// length field it reported in Information.
Decoded DecodeDeviceId(std::span<const uint8_t> buffer, size_t information);
// The text up to the first null (the driver zero-fills the rest).
std::string DeviceIdText(std::span<const uint8_t> buffer);

}  // namespace norvusb
