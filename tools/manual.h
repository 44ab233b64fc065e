// The manual page, made from the same help text as --help, so that the two
// cannot say different things.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace norvusb {

// The program's manual page (section 1, roff) from the help of `program`
// and of each of its subcommands.
std::string ManualPage(const CLI::App &program, const std::string &version);

}  // namespace norvusb
