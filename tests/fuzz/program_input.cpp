// The norvusb program's own input: a command line (the input's words,
// separated by null bytes) or a session script (its lines), parsed as the
// program parses them, with the checks that need no machine: settings,
// port, the machine's options and bridges. Nothing is run, so no input can
// reach a file. Bad input must end in a ToolError with a message, which the
// program prints as one clear line; any other exception, a crash or a
// memory error is a finding.
//
// The parsers are built once per process, as a session builds its step
// parser once: building one costs far more than a parse. Each parse starts
// from the options' defaults, as a new parser's would.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "tests/fuzz/fuzz_support.h"
#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/options.h"
#include "tools/run.h"

namespace {

void CheckRefusal(const norvusb::ToolError &error) {
  FUZZ_EXPECT(error.what()[0] != '\0');
  FUZZ_EXPECT(error.ExitCode() == norvusb::exit_code::kBadInput);
}

// The program's parser, as main() builds it.
struct ProgramParser {
  ProgramParser() {
    program.require_subcommand(1);
    commands = norvusb::AddJobCommands(program);
    commands.push_back(norvusb::AddRunCommand(program));
  }
  CLI::App program{"norvusb"};
  std::vector<norvusb::Command> commands;
};

// What main() does before it runs the job, then the option checks the job
// makes before its machine boots.
void ParseCommandLine(std::vector<std::string> words) {
  static ProgramParser parser;
  CLI::App &program = parser.program;
  norvusb::ForgetParse(program, parser.commands);
  try {
    if (!words.empty()) norvusb::CheckSubcommand(words.front(), parser.commands);
    std::reverse(words.begin(), words.end());  // the parser takes them last first
    program.parse(words);
    for (const norvusb::Command &command : parser.commands) {
      if (!command.app->parsed()) continue;
      const norvusb::CommonOptions &common = *command.common;
      FUZZ_EXPECT(norvusb::ParsePort(common.port, common.bridges) <= common.bridges);
      norvusb::MachineOptionsFor(common);
      FUZZ_EXPECT(norvusb::BridgePlansFor(common).size() == common.bridges);
      FUZZ_EXPECT(norvusb::MaxTransferSizeOf(common) >= 1);
      norvusb::InterfaceHint(common);
    }
  } catch (const CLI::Success &) {
    // --help or --version
  } catch (const CLI::ParseError &error) {
    FUZZ_EXPECT(!norvusb::ParseErrorText(error, program).empty());
  } catch (const norvusb::ToolError &error) {
    CheckRefusal(error);
  }
}

void ParseScript(std::string_view script) {
  static norvusb::StepParser steps;
  while (!script.empty()) {
    const size_t end = std::min(script.find('\n'), script.size());
    try {
      steps.Check(script.substr(0, end));
    } catch (const norvusb::ToolError &error) {
      CheckRefusal(error);
    }
    script.remove_prefix(std::min(end + 1, script.size()));
  }
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\0'), text.size());
    words.emplace_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Help and a step's progress lines go nowhere.
  static FILE *quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    ParseCommandLine(Words(text));
  } else {
    ParseScript(text);
  }
  return 0;
}
