// USB descriptors as the bridge hands them back through the device-control
// interface, decoded field by field the way lsusb -v shows them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tools/decoded.h"

namespace norvusb {

// Walks the bytes descriptor by descriptor (bLength, bDescriptorType) and
// decodes device, configuration, interface and endpoint descriptors; any
// other type is shown by its header, and bytes that do not make a whole
// descriptor end the walk with a "truncated" entry.
std::vector<Decoded> DecodeDescriptors(std::span<const uint8_t> bytes);

}  // namespace norvusb
