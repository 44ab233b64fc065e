#include "tools/manual.h"

#include <sstream>

#include <fmt/format.h>

namespace norvusb {

namespace {

// Help text as roff that keeps its lines and columns: backslashes escaped,
// and a line that starts with a period or a quote not taken for a request.
std::string Preformatted(const std::string &text) {
  std::string page = ".nf\n";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::string escaped;
    for (char c : line) escaped += c == '\\' ? std::string("\\e") : c == '-' ? std::string("\\-") : std::string(1, c);
    if (escaped.starts_with(".") || escaped.starts_with("'")) escaped.insert(0, "\\&");
    page += escaped + "\n";
  }
  return page + ".fi\n";
}

}  // namespace

std::string ManualPage(const CLI::App &program, const std::string &version) {
  const std::string description = program.get_description();
  std::string page = fmt::format(".TH NORVUSB 1 \"\" \"{}\" \"User Commands\"\n", version);
  page += ".SH NAME\nnorvusb \\- " + description.substr(description.find(" - ") + 3) + "\n";
  page += ".SH SYNOPSIS\n.B norvusb\n\\fISUBCOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]\n";
  page += ".SH DESCRIPTION\n" + Preformatted(program.help());
  for (const CLI::App *command : program.get_subcommands([](const CLI::App *) { return true; }))
    page += ".SH \"NORVUSB " + command->get_name() + "\"\n" + Preformatted(command->help());
  return page;
}

}  // namespace norvusb
