// The bridge's vendor replies in words, as docs/hardware.md describes them.
// The byte layouts come from the firmware's own decoders (bridge_protocol.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/decoded.h"
#include "tools/device_id.h"

namespace norvusb {

// The 8-byte reply of sub-command 2, 3, 4, 5 or 6.
Decoded DecodeVendorReply(uint16_t subCommand, std::span<const uint8_t> reply);
// "0x58 on line, no error" and so on.
std::string StatusLinesText(uint8_t lines);
// The printer's state as lpstat users read it, from its status lines: "ready",
// or what holds it: "off line", "paper out", "error", "busy".
std::vector<std::string> PrinterStates(uint8_t lines);
// What holds the printer, for a progress line: "printer off line", ...; ""
// when it is ready.
std::string HoldupOf(uint8_t lines);
// The device-ID text the driver hands back (text first, zero-filled), with the
// device's length field and whether the text was cut to the buffer.
Decoded DecodeDeviceId(std::span<const uint8_t> buffer, const DeviceIdLength &length);
// The value of a "KEY:value;" field of a device ID text; "" when absent.
std::string DeviceIdField(std::string_view text, std::string_view key);
// "Norv Labs LinePrinter 9": the manufacturer and model fields (MFG or
// MANUFACTURER, MDL or MODEL), as the text has them.
std::string MakeAndModel(std::string_view text);
// The text up to the first null (the driver zero-fills the rest).
std::string DeviceIdText(std::span<const uint8_t> buffer);

}  // namespace norvusb
