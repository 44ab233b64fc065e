#include "tools/port_name.h"

#include <cctype>

namespace norvusb {

std::optional<unsigned> PortNumberOf(std::string_view name) {
  constexpr std::string_view kPrefix = "NorvUSB";
  if (name.size() <= kPrefix.size()) return std::nullopt;
  for (size_t i = 0; i < kPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(kPrefix[i])))
      return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size());
  if (digits.front() == '0') return std::nullopt;
  unsigned number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    // A number too large for any port stays too large.
    number = number > 100000000u ? 1000000000u : number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

}  // namespace norvusb
