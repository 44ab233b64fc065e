// Identifier rules of the PnP manager: what a bus may return as a device ID,
// an instance ID or a hardware/compatible ID list, and the parent ID prefix
// that makes instance paths unique.
#include <cctype>
#include <cstdio>

#include "host/pnp/pnp_manager.h"

namespace host::pnp::ids {

namespace {

// A character the platform accepts in an identifier: printable ASCII, and
// never a comma (INF syntax uses it as a separator).
bool AcceptedChar(char16_t c) { return c >= 0x20 && c <= 0x7F && c != u','; }

}  // namespace

std::optional<std::string> Normalise(const std::u16string &id, Kind kind) {
  if (id.empty() || id.size() >= kMaxDeviceIdLen) return std::nullopt;
  std::string out;
  out.reserve(id.size());
  for (char16_t c : id) {
    if (!AcceptedChar(c)) return std::nullopt;
    out.push_back(c == u' ' ? '_' : static_cast<char>(c));
  }
  const size_t separator = out.find('\\');
  switch (kind) {
    case Kind::DeviceId:
      // "<bus>\<device>": both parts present.
      if (separator == std::string::npos || separator == 0 || separator + 1 == out.size()) return std::nullopt;
      break;
    case Kind::InstanceId:
      if (separator != std::string::npos) return std::nullopt;
      break;
    case Kind::HardwareId:
      break;
  }
  return out;
}

std::optional<std::vector<std::string>> ParseMultiSz(const WCHAR *list, size_t maxChars) {
  std::vector<std::string> entries;
  if (list == nullptr) return entries;
  size_t i = 0;
  while (i < maxChars) {
    size_t end = i;
    while (end < maxChars && list[end] != 0) ++end;
    if (end == maxChars) return std::nullopt;  // runs off the buffer: not terminated
    if (end == i) return entries;              // the empty entry ends the list
    auto entry = Normalise(std::u16string(list + i, list + end), Kind::HardwareId);
    if (!entry) return std::nullopt;
    entries.push_back(*entry);
    i = end + 1;
  }
  return std::nullopt;
}

std::string ParentIdPrefix(const std::string &parentInstancePath, int parentDepth) {
  // The platform's form "<level>&<hash of the parent's instance path>&<n>".
  uint64_t hash = 0;
  for (unsigned char c : parentInstancePath) hash = (hash * 37 + static_cast<unsigned>(std::toupper(c))) % 1000000007u;
  char text[48];
  std::snprintf(text, sizeof text, "%x&%x&%x", static_cast<unsigned>(parentDepth + 1),
                static_cast<unsigned>((hash * 314159269u) % 1000000007u), 0u);
  return text;
}

bool EqualIds(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace host::pnp::ids
