// Text that leaves the program: JSON that carries any bytes, and user text
// made safe for a terminal. No file or platform here, so that norvusb.exe
// writes its documents with the same code.
#pragma once

#include <string>
#include <string_view>

#include "tools/decoded.h"

namespace norvusb {

// Bytes as UTF-8 for JSON: valid UTF-8 passes unchanged, every other byte
// becomes the four characters \xHH (as Python's "backslashreplace" writes it).
std::string Utf8Escaped(std::string_view bytes);
// Text from the user (a file name, a -t title) for the terminal: valid UTF-8
// passes, control characters (C0, DEL, C1) and bytes that are not UTF-8
// become \e \r \n \xHH, so that none reaches the terminal raw.
std::string TerminalSafe(std::string_view text);
// A copy of `document` with every string and key so escaped.
Json JsonSafe(const Json &document);
// The document, escaped and indented, on standard output.
void PrintJson(const Json &document);

}  // namespace norvusb
