// Running an outside program from a test (tshark reading a capture) and
// cutting its field output apart.
#pragma once

#include <string>
#include <vector>

namespace support {

// The command's standard output; empty when it cannot be started.
std::string RunCommand(const std::string &command);
// The fields of `text` between separators; a trailing separator ends an
// empty last field, as tshark prints one.
std::vector<std::string> Split(const std::string &text, char separator);

}  // namespace support
