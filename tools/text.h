// Small text helpers shared by the subcommands: hex dumps, status codes,
// byte counts, and printable renderings of printer data.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "host/kernel/api/hostwdm.h"

namespace norvusb {

// "04 01 00 17" (bytes separated by spaces); "" for none.
std::string HexBytes(std::span<const uint8_t> bytes);
// "0x00000000".
std::string StatusHex(NTSTATUS status);
// "0xC000000D (STATUS_INVALID_PARAMETER)"; the name only where it is known.
std::string StatusText(NTSTATUS status);
// "132.8 KiB" style, for people.
std::string HumanBytes(double bytes);
// Printer data as readable text: printable ASCII as is, CR/LF/FF/ESC and
// others as C-style escapes (\r \n \f \e \xHH).
std::string Escaped(std::span<const uint8_t> bytes);
// Text from a device (an ID, or an identifier built from one) for the
// terminal: the same escapes for control bytes and bytes above 0x7E, so that
// none reaches the terminal raw; backslashes, which identifiers are built
// with, stay as they are.
std::string Printable(std::string_view text);
// The reverse of Escaped for command-line input, with \t and \0 as well;
// throws ToolError (bad input) naming `option` for a malformed escape.
std::string Unescaped(const std::string &option, const std::string &text);
// A device node's problem code in words: "10 (CM_PROB_FAILED_START: the device cannot start)".
std::string ProblemText(uint32_t problem);
// Model time (100 ns units) as seconds.
inline double Seconds(int64_t units) { return static_cast<double>(units) / 1e7; }
inline int64_t Units(double seconds) { return static_cast<int64_t>(seconds * 1e7); }

}  // namespace norvusb
