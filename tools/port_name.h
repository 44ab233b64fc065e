// Port names as people type them: NorvUSB1, norvusb12 (the platform's names
// compare without regard to case).
#pragma once

#include <optional>
#include <string_view>

namespace norvusb {

// k for "NorvUSBk" (k from 1, no leading zero); nullopt for anything else.
std::optional<unsigned> PortNumberOf(std::string_view name);

}  // namespace norvusb
