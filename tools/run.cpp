// norvusb run: a session of steps on one machine, from a script or typed in.
// Each step is a line of the same words as a subcommand; it is parsed into
// that subcommand's options and run by its own code against the machine the
// session keeps, so that steps build on each other.
#include "tools/run.h"

#include <editline/readline.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/output.h"
#include "tools/interrupt.h"
#include "tools/report.h"
#include "tools/session.h"

namespace norvusb {

namespace {

struct RunOptions {
  CommonOptions common;
  std::string script = "-";
  bool keepGoing = false;
};

// Adds one character of a word, starting the word if need be.
void Append(std::vector<std::string> &words, bool &inWord, char c) {
  if (!inWord) words.emplace_back();
  inWord = true;
  words.back() += c;
}

// The closing quote of a quoted part that starts after `open`; throws if none.
size_t ClosingQuote(std::string_view line, size_t open) {
  const size_t close = line.find(line[open], open + 1);
  if (close == std::string_view::npos) BadInput(fmt::format("no closing {} quote", line[open]));
  return close;
}

}  // namespace

std::vector<std::string> SplitStep(std::string_view line) {
  std::vector<std::string> words;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\'' || c == '"') {
      // Quotes keep everything, backslashes included, so that escapes such
      // as '\e' reach the option as written.
      const size_t close = ClosingQuote(line, i);
      if (!inWord) words.emplace_back();
      inWord = true;
      words.back() += line.substr(i + 1, close - i - 1);
      i = close;
    } else if (c == '\\' && i + 1 < line.size()) {
      Append(words, inWord, line[++i]);
    } else {
      Append(words, inWord, c);
    }
  }
  return words;
}

// The parser has no name of its own: a step is written without "norvusb".
StepParser::StepParser() : parser_("A step of norvusb run", "") {
  parser_.require_subcommand(1);
  commands_ = AddJobCommands(parser_);
  jobs_ = commands_.size();
  // The machine is the session's: a step's help does not offer what the step refuses.
  for (const Command &job : commands_)
    for (const char *name : common_option::kMachineNames)
      if (CLI::Option *option = job.app->get_option_no_throw(name)) option->group("");
  for (Command &step : AddSessionSteps(parser_)) commands_.push_back(std::move(step));
}

const Command *StepParser::Parse(std::vector<std::string> words, const CommonOptions &session) {
  CheckSubcommand(words.front(), commands_);
  ForgetParse(parser_, commands_);
  std::reverse(words.begin(), words.end());  // the parser takes them last first
  try {
    parser_.parse(words);
  } catch (const CLI::CallForHelp &) {
    ShowHelp(session, false);
    return nullptr;
  } catch (const CLI::CallForAllHelp &) {
    ShowHelp(session, true);
    return nullptr;
  } catch (const CLI::ParseError &error) {
    BadInput(ParseErrorText(error, parser_, ""));
  }
  for (size_t i = 0; i < commands_.size(); ++i) {
    if (!commands_[i].app->parsed()) continue;
    if (i < jobs_) RefuseMachineOptions(*commands_[i].app);
    return &commands_[i];
  }
  BadInput("no step given");
}

void StepParser::Check(std::string_view line) {
  const std::vector<std::string> words = SplitStep(line);
  if (!words.empty()) Parse(words, CommonOptions{});
}

// The help of the step's subcommand, as `norvusb SUBCOMMAND --help` shows it.
void StepParser::ShowHelp(const CommonOptions &session, bool all) {
  const std::vector<CLI::App *> given = parser_.get_subcommands();
  const CLI::App &app = given.empty() ? parser_ : *given.front();
  const std::string text = app.help("", all ? CLI::AppFormatMode::All : CLI::AppFormatMode::Normal);
  if (session.json) {
    EmitJson(Json{{"help", text}, {"error", nullptr}}, session);
  } else {
    std::printf("%s", text.c_str());
  }
  FlushStandardOutput();
}

void StepParser::RefuseMachineOptions(const CLI::App &app) {
  for (const char *name : common_option::kMachineNames) {
    const CLI::Option *option = app.get_option_no_throw(name);
    if (option != nullptr && option->count() > 0)
      BadInput(fmt::format("{} shapes the machine: give it to norvusb run itself, or plug a bridge with the "
                           "plug step",
                           name));
  }
}

namespace {

// A failed step's error line, with where it came from; in JSON lines also a
// document when the step printed none, so that every step has one.
int StepFailed(const StepInfo &info, const std::string &message, int status, bool owesDocument) {
  if (owesDocument) {
    CommonOptions stepOutput;
    stepOutput.step = info;
    EmitJson(Json{{"error", message}}, stepOutput);
  }
  return ShowError(fmt::format("{}: {}", info.where, message), status);
}

// Runs one line; returns its exit status, nullopt for a line with no step.
// A failure is reported here, with the line it came from.
std::optional<int> RunStep(Bench &bench, StepParser &parser, const StepInfo &info, const RunOptions &options) {
  const size_t documentsBefore = DocumentsEmitted();
  try {
    const std::vector<std::string> words = SplitStep(info.text);
    if (words.empty()) return std::nullopt;
    CommonOptions shown = options.common;
    shown.step = info;
    const Command *parsed = parser.Parse(words, shown);
    if (parsed == nullptr) return exit_code::kOk;  // its help
    const Command &command = *parsed;
    command.common->step = info;
    command.common->json = command.common->json || options.common.json;
    command.common->quiet = command.common->quiet || options.common.quiet;
    // The machine is the session's: a step reports its timing and uses its settings.
    command.common->timing = options.common.timing;
    command.common->settings = options.common.settings;
    if (!command.common->json && !command.common->quiet) std::printf("== %s: %s\n", info.where.c_str(), info.text.c_str());
    return command.run(&bench);
  } catch (const ToolError &error) {
    return StepFailed(info, error.what(), error.ExitCode(), options.common.json && DocumentsEmitted() == documentsBefore);
  } catch (const std::exception &error) {
    // The machine's own refusal of a step ends the step, not the session.
    return StepFailed(info, error.what(), exit_code::kFailed,
                      options.common.json && DocumentsEmitted() == documentsBefore);
  }
}

struct Tally {
  size_t steps = 0;
  size_t failed = 0;
  int firstFailure = exit_code::kOk;
  bool interrupted = false;  // a signal ended the session (not a step at the prompt)
};

// The line the editor handed over, for PromptForLine.
struct Typed {
  bool done = false;
  std::optional<std::string> line;  // nullopt: the end of the input (Ctrl-D)
};
Typed *gTyped = nullptr;

void OnLineTyped(char *line) {
  gTyped->done = true;
  if (line != nullptr) {
    gTyped->line = line;
    if (*line != '\0') add_history(line);
    std::free(line);
  }
  // Until the next prompt the terminal is as the steps expect it: Ctrl-C is
  // a signal that stops the running step.
  rl_callback_handler_remove();
}

// A line typed at the prompt, with libedit's line editing and history (its
// readline interface). Ctrl-C at the prompt drops the line typed so far and
// prompts again; nullopt at the end of the input.
std::optional<std::string> PromptForLine() {
  constexpr const char *kPrompt = "norvusb> ";
  Typed typed;
  gTyped = &typed;
  rl_catch_signals = 0;  // the program's own handler sees Ctrl-C
  rl_outstream = stderr;  // standard output is for the reports
  rl_callback_handler_install(kPrompt, OnLineTyped);
  while (!typed.done) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, 100);
    if (Interrupted()) {
      ClearInterrupt();
      rl_replace_line("", 0);
      rl_callback_handler_remove();
      std::fprintf(stderr, "\n");
      rl_callback_handler_install(kPrompt, OnLineTyped);
      continue;
    }
    if (ready > 0) rl_callback_read_char();
  }
  gTyped = nullptr;
  return typed.line;
}

// The words only a session knows, which are not steps: help, quit, exit.
std::optional<std::string> SessionWord(const std::string &line) {
  try {
    const std::vector<std::string> words = SplitStep(line);
    if (words.size() == 1 && (words[0] == "help" || words[0] == "quit" || words[0] == "exit")) return words[0];
  } catch (const ToolError &) {
    // Not a word of the session: the step reports its own error.
  }
  return std::nullopt;
}

void ShowSessionHelp(const RunOptions &options) {
  const std::string text =
      "Steps, one a line, with the words and options of the subcommands:\n"
      "  print FILE...      print through the cable\n"
      "  enum               the device tree\n"
      "  ioctl REQUEST      one device-control request\n"
      "  read               read the printer's back channel\n"
      "  status             each port's state in words\n"
      "  plug               plug one more bridge in\n"
      "  unplug             pull a bridge's cable out (--port)\n"
      "  printer CONDITION  offline, paper-out, busy, error [on|off], or ready\n"
      "STEP --help lists a step's options. help shows this; quit or exit (or Ctrl-D) ends the session;\n"
      "Ctrl-C abandons the running step or the line being typed.\n";
  if (options.common.json) {
    std::printf("%s\n", Json{{"help", text}, {"error", nullptr}}.dump().c_str());
  } else {
    std::printf("%s", text.c_str());
  }
  FlushStandardOutput();
}

// Reads the steps one line at a time, so that a person typing them sees each
// report before writing the next.
Tally RunSteps(Bench &bench, std::istream &in, const std::string &name, bool interactive, const RunOptions &options) {
  Tally tally;
  StepParser parser;
  std::string line;
  for (size_t number = 1;; ++number) {
    if (interactive) {
      const std::optional<std::string> typed = PromptForLine();
      if (!typed) break;
      line = *typed;
    } else if (Interrupted() || !std::getline(in, line)) {
      break;
    }
    // A script saved with a byte-order mark (as some Windows editors do): it is no part of the first step.
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (const auto word = SessionWord(line)) {
      if (*word != "help") break;
      ShowSessionHelp(options);
      continue;
    }
    const std::optional<int> status = RunStep(bench, parser, {fmt::format("{}:{}", name, number), number, line}, options);
    if (!status) continue;
    ++tally.steps;
    if (*status == exit_code::kOk && !Interrupted()) continue;
    ++tally.failed;
    const int failure = *status == exit_code::kOk ? InterruptExitStatus() : *status;
    if (tally.firstFailure == exit_code::kOk) tally.firstFailure = failure;
    // At the prompt Ctrl-C abandons the step, not the session.
    if (interactive) {
      ClearInterrupt();
      continue;
    }
    if (Interrupted()) {
      tally.interrupted = true;
      break;
    }
    if (!options.keepGoing) break;
  }
  if (interactive) std::fprintf(stderr, "\n");
  return tally;
}

// The script's lines, checked before the machine boots: a folder or a file
// that cannot be read is said with its reason.
void OpenScript(std::ifstream &file, const std::string &script) {
  std::error_code ignored;
  if (std::filesystem::is_directory(script, ignored)) BadInput(fmt::format("cannot read {}: it is a folder", script));
  file.open(script);
  if (!file) BadInput(fmt::format("cannot read {}: {}", script, std::strerror(errno)));
}

int RunSession(const RunOptions &options) {
  const bool fromStdin = options.script == "-";
  std::ifstream file;
  std::vector<FileIdentity> inputs;
  if (!fromStdin) {
    OpenScript(file, options.script);
    if (const auto identity = IdentityOfPath(options.script)) inputs.push_back(*identity);
  } else {
    struct stat info{};
    if (fstat(STDIN_FILENO, &info) == 0 && S_ISDIR(info.st_mode)) BadInput("cannot read standard input: it is a folder");
    if (const auto identity = IdentityOfDescriptor(STDIN_FILENO, "-")) inputs.push_back(*identity);
  }
  Bench bench(options.common, nullptr, inputs);
  const bool interactive = fromStdin && isatty(STDIN_FILENO) == 1;
  const Tally tally = RunSteps(bench, fromStdin ? std::cin : file, fromStdin ? "stdin" : options.script,
                               interactive, options);
  const Verdict verdict = bench.Finish();
  Json summary{{"session", "end"}, {"steps", tally.steps}, {"failed", tally.failed}};
  AddVerdict(summary, verdict);
  std::optional<std::string> error;
  if (tally.failed) error = fmt::format("{} of {} step(s) failed", tally.failed, tally.steps);
  if (tally.interrupted) error = fmt::format("{}; {}", InterruptText(), *error);
  error = ErrorLine(error, verdict);
  summary["interrupted"] = tally.interrupted;
  summary["error"] = ErrorField(error, verdict);
  if (options.common.json) {
    std::printf("%s\n", JsonSafe(summary).dump().c_str());
    NoteDocumentEmitted();
  } else if (!options.common.quiet) {
    std::printf("== end: %zu step(s), %zu failed%s; verifier %s\n", tally.steps, tally.failed,
                tally.interrupted ? ", interrupted" : "", VerdictText(summary).c_str());
  }
  FlushStandardOutput();
  // Each failed step has said why; the session's own line is for what only it knows.
  const int verifier = ExitStatusFor(verdict);
  if (!verdict.outputErrors.empty()) throw ToolError(exit_code::kFailed, *ErrorLine(std::nullopt, verdict));
  if (tally.interrupted) return tally.firstFailure;
  return tally.firstFailure != exit_code::kOk ? tally.firstFailure : verifier;
}

}  // namespace

Command AddRunCommand(CLI::App &program) {
  auto options = std::make_shared<RunOptions>();
  CLI::App *app = program.add_subcommand(
      "run", "Run a session: the steps of SCRIPT (or standard input), one a line, on one machine");
  app->add_option("SCRIPT", options->script, "The steps, one a line, # for comments; - or none: standard input")
      ->type_name("SCRIPT");
  app->add_flag("--keep-going", options->keepGoing, "Run every step even after one fails");
  AddCommonOptions(*app, options->common,
                   common_option::kMachine | common_option::kPrinterRate | common_option::kReport);
  return {app, &options->common, [options](Bench *) { return RunSession(*options); },
          [options] { *options = RunOptions{}; }};
}

}  // namespace norvusb
