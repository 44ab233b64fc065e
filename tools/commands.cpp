#include "tools/commands.h"

#include <cctype>
#include <regex>
#include <sstream>

#include <fmt/format.h>

#include "tools/errors.h"

namespace norvusb {

std::vector<Command> AddJobCommands(CLI::App &program) {
  return {AddPrintCommand(program), AddEnumCommand(program), AddIoctlCommand(program), AddReadCommand(program),
          AddStatusCommand(program)};
}

std::vector<std::string> NormalisedArguments(std::vector<std::string> args, const std::vector<Command> &commands) {
  if (!args.empty() && args.front() == "help") {
    args.erase(args.begin());
    args.insert(args.size() > 0 ? args.begin() + 1 : args.begin(), "--help");
    return args;
  }
  const auto names = [&](const std::string &word) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const Command &command) { return command.app->check_name(word); });
  };
  const auto first = std::find_if(args.begin(), args.end(), [&](const std::string &word) {
    return !word.starts_with("-") && names(word);
  });
  // The program's own flags stay where they are: `norvusb --help status` is the program's help.
  const bool ownFlags = std::any_of(args.begin(), first, [](const std::string &word) {
    return word == "-h" || word == "--help" || word == "--help-all" || word == "-V" || word == "--version";
  });
  if (first == args.end() || first == args.begin() || ownFlags) return args;
  std::rotate(args.begin(), first, first + 1);
  return args;
}

void CheckSubcommand(const std::string &word, const std::vector<Command> &commands) {
  if (word.starts_with("-")) return;  // an option of the program itself
  std::string names;
  for (const Command &command : commands) {
    if (command.app->check_name(word)) return;
    names += (names.empty() ? "" : ", ") + command.app->get_name();
  }
  BadInput(fmt::format("unknown subcommand \"{}\"; one of: {}", word, names));
}

void ForgetParse(CLI::App &parser, const std::vector<Command> &commands) {
  parser.clear();
  for (const Command &command : commands) command.reset();
}

namespace {

struct Rewrite {
  std::regex pattern;
  const char *format;  // $1, $2: the pattern's groups
};

// The argument library's messages, said as the program says its own.
const std::vector<Rewrite> &Rewrites() {
  static const std::vector<Rewrite> rewrites = {
      {std::regex("Could not convert: (\\S+) = (.*)"), "$1 $2: not a number the option takes"},
      {std::regex("Requires at least 1 subcommands?|A subcommand is required"),
       "a subcommand is required (norvusb --help lists them)"},
      {std::regex("(\\S+): (\\S+): (the value must be .*)"), "$1 $2: $3"},  // a check of the text as typed
      {std::regex("(\\S+) is required"), "$1 is required"},
      {std::regex("Expected exactly (\\d+) arguments? to (\\S+), got (\\d+)"), "$2 takes $1 value(s), got $3"},
      {std::regex("(\\S+): (\\d+) required (\\S+) missing"), "$1 needs a value ($3)"},
      {std::regex("(\\S+): Value  not in range (\\S+) to (\\S+)"), "$1 '': the value must be a number from $2 to $3"},
      {std::regex("(\\S+): Value (\\S+) not in range (\\S+) to (\\S+)"), "$1 $2: the value must be a number from $3 to $4"},
      {std::regex("(\\S+): (\\S+) not in \\{(.*)\\}"), "$1 $2: the value must be one of $3"},
  };
  return rewrites;
}

}  // namespace

namespace {

// The words the parser did not expect, in the order given (its message has
// them last first), said as what the subcommand does not take.
std::string Unexpected(const std::string &message, const CLI::App &program, const std::string &prefix) {
  std::vector<std::string> words;
  std::istringstream in(message.substr(message.find(": ") + 2));
  for (std::string word; in >> word;) words.insert(words.begin(), word);
  std::string command = prefix;
  for (const CLI::App *sub : program.get_subcommands()) command += (command.empty() ? "" : " ") + sub->get_name();
  const std::string &first = words.empty() ? message : words.front();
  if (first.starts_with("-"))
    return fmt::format("{} takes no option {} ({} --help lists what it takes)", command, first, command);
  return fmt::format("{} takes no argument \"{}\" ({} --help lists what it takes)", command, first, command);
}

}  // namespace

std::string ParseErrorText(const CLI::ParseError &error, const CLI::App &program, const std::string &prefix) {
  const std::string message = error.what();
  if (dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr) return Unexpected(message, program, prefix);
  for (const Rewrite &rewrite : Rewrites())
    if (std::regex_match(message, rewrite.pattern)) return std::regex_replace(message, rewrite.pattern, rewrite.format);
  // Anything else keeps its words, in lower case like the program's own lines.
  std::string text = message;
  if (!text.empty() && std::isupper(static_cast<unsigned char>(text[0])) &&
      !(text.size() > 1 && std::isupper(static_cast<unsigned char>(text[1]))))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace norvusb
