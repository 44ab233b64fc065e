// The printer's PJL listener: picks "@PJL" command lines out of the data it
// prints and answers the queries among them on the back channel, in PJL's
// reply shape (the command echoed, the answer lines, a form feed).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host::hardware {

// The reply to one command line (without its line end), or nullopt when the
// line is not a query this printer answers. The printer reads a query only
// while it takes data, so its status is always the ready one.
std::optional<std::string> PjlAnswer(std::string_view line, std::string_view model);

class PjlListener {
 public:
  // Lines longer than this are not PJL commands; they are skipped.
  static constexpr size_t kMaxLine = 256;

  // Scans printed bytes; each completed query line appends its reply to `replies`.
  void Scan(std::span<const uint8_t> data, std::string_view model, std::vector<uint8_t> &replies);
  // Forgets a partly received line (printer initialised).
  void Reset();

 private:
  std::string line_;
  bool overlong_ = false;
};

}  // namespace host::hardware
