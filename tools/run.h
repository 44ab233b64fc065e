// norvusb run: the parts a test reaches on their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

namespace norvusb {

// A step's words as a shell splits them: blanks separate, '...' and "..."
// keep everything (backslashes included), a backslash outside quotes keeps
// the next character, and # at the start of a word begins a comment.
// Throws ToolError (bad input) for a quote left open.
std::vector<std::string> SplitStep(std::string_view line);

// The parser of a session's steps: every job a subcommand does, and the
// session's own steps. A session builds one and parses each line with it.
class StepParser {
 public:
  StepParser();
  StepParser(const StepParser &) = delete;
  StepParser &operator=(const StepParser &) = delete;

  // Parses the words (at least one) into their subcommand's options; throws
  // ToolError (bad input) with one clear line. Null when the step asked for
  // its help, which is printed (as a JSON document when `session` says so).
  const Command *Parse(std::vector<std::string> words, const CommonOptions &session);
  // Parses one line of a session as a step, without running it: the words
  // and the options are checked as the session checks them. Throws ToolError
  // (bad input) with the line the session would show.
  void Check(std::string_view line);

 private:
  void ShowHelp(const CommonOptions &session, bool all);
  static void RefuseMachineOptions(const CLI::App &app);

  CLI::App parser_;
  std::vector<Command> commands_;
  size_t jobs_ = 0;
};

}  // namespace norvusb
