#include "tools/win32/port_choice.h"

#include <fmt/format.h>

#include "tools/errors.h"
#include "tools/port_name.h"

namespace norvusb::win32 {

unsigned ChosenPort(const std::optional<std::string> &port) {
  if (!port) return 1;
  const auto number = PortNumberOf(*port);
  if (!number) BadInput(fmt::format("--port {}: expected a port name such as NorvUSB1", *port));
  if (*number > kMaxPorts)
    BadInput(fmt::format("no such port: {} (ports now: {})", *port, PortsNow()));
  return *number;
}

std::string PortName(unsigned number) { return fmt::format("NorvUSB{}", number); }

std::string OpenFailureText(unsigned number, const Opened &opened) {
  switch (opened.failure) {
    case OpenFailure::NoSuchPort: return fmt::format("no such port: {} (ports now: {})", PortName(number), PortsNow());
    case OpenFailure::InUse: return fmt::format("{} is in use by another program", PortName(number));
    default: return fmt::format("cannot open {}: {}", PortName(number), opened.words);
  }
}

std::unique_ptr<RealPort> Open(unsigned number) {
  Opened opened = OpenPort(number);
  if (opened.port) return std::move(opened.port);
  const std::string text = OpenFailureText(number, opened);
  if (opened.failure == OpenFailure::NoSuchPort) BadInput(text);
  Fail(text);
}

std::vector<unsigned> ExistingPorts() {
  std::vector<unsigned> numbers;
  for (unsigned number = 1; number <= kMaxPorts; ++number)
    if (OpenPort(number).failure != OpenFailure::NoSuchPort) numbers.push_back(number);
  return numbers;
}

std::string NoPortText() {
  return "no NorvUSB port exists now: is the cable plugged in and its driver installed?";
}

}  // namespace norvusb::win32
