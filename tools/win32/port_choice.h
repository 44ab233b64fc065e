// Which port a subcommand uses, and the words for one that cannot be opened.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/win32/system.h"

namespace norvusb::win32 {

// k of --port NorvUSBk (NorvUSB1 without it); throws ToolError (bad input).
unsigned ChosenPort(const std::optional<std::string> &port);
std::string PortName(unsigned number);
// Opens the port; throws ToolError: exit status 2 for a port that does not
// exist, 1 for one in use or that could not be opened.
std::unique_ptr<RealPort> Open(unsigned number);
// Why an open failed, in words.
std::string OpenFailureText(unsigned number, const Opened &opened);
// The numbers of the ports that exist now, in order.
std::vector<unsigned> ExistingPorts();
std::string NoPortText();

}  // namespace norvusb::win32
