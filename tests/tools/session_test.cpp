// norvusb run as a user runs it: steps that build on each other on one
// machine, from a script or standard input, with a report or a JSON line
// each; and the shipped example sessions.
#include <sstream>

#include "tests/tools/cli_runner.h"
#include "tools/errors.h"
#include "tools/run.h"

namespace {

// The JSON lines of standard output.
std::vector<nlohmann::json> JsonLines(const std::string &out) {
  std::vector<nlohmann::json> documents;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) documents.push_back(nlohmann::json::parse(line));
  return documents;
}

struct SplitCase {
  std::string line;
  std::vector<std::string> words;
};

class StepWords : public ::testing::TestWithParam<SplitCase> {};

TEST_P(StepWords, SplitAsAShellWould) { EXPECT_EQ(norvusb::SplitStep(GetParam().line), GetParam().words); }

INSTANTIATE_TEST_SUITE_P(
    Lines, StepWords,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"   # only a comment", {}},
                      SplitCase{"print a.ps  --port NorvUSB2", {"print", "a.ps", "--port", "NorvUSB2"}},
                      SplitCase{"read --send '\\e%-12345X@PJL\\r\\n'", {"read", "--send", "\\e%-12345X@PJL\\r\\n"}},
                      SplitCase{"plug --device-id \"MFG:A B;MDL:C#1;\"", {"plug", "--device-id", "MFG:A B;MDL:C#1;"}},
                      SplitCase{"print my\\ file.ps # the rest is a comment", {"print", "my file.ps"}},
                      SplitCase{"enum --device-id=a'b c'd", {"enum", "--device-id=ab cd"}},
                      SplitCase{"print x#y", {"print", "x#y"}}));

TEST(StepWordsErrors, QuoteLeftOpenIsBadInput) {
  try {
    norvusb::SplitStep("read --send 'abc");
    FAIL() << "no error";
  } catch (const norvusb::ToolError &error) {
    EXPECT_EQ(error.ExitCode(), norvusb::exit_code::kBadInput);
    EXPECT_NE(std::string(error.what()).find("quote"), std::string::npos) << error.what();
  }
}

using RunTest = CliTest;

TEST_F(RunTest, StepsBuildOnEachOther) {
  const auto doc = WriteFile("doc.bin", Document(6000));
  const auto script = WriteFile("steps", "# two printers, one plugged in later\n"
                                         "plug --device-id 'MFG:ACME;MDL:LX-100;'\n"
                                         "\n"
                                         "print " + doc.string() + " --port NorvUSB2 --out " + Path("two.prn").string() +
                                         "\n"
                                         "unplug --port NorvUSB1\n"
                                         "status\n"
                                         "print " + doc.string() + " --port NorvUSB2\n");
  const CliResult result = Run({"run", script.string(), "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 6u) << result.out;
  EXPECT_EQ(lines[0]["line"], 2);
  EXPECT_EQ(lines[0]["plugged"], "NorvUSB2");
  EXPECT_EQ(lines[1]["line"], 4);
  EXPECT_EQ(lines[1]["bytes_received"], 6000);
  EXPECT_EQ(lines[1]["match"], true);
  EXPECT_TRUE(lines[1]["pool_blocks_leaked"].is_null());  // counted when the session ends
  EXPECT_EQ(ReadFile(Path("two.prn")), Document(6000));
  EXPECT_EQ(lines[2]["unplugged"], "NorvUSB1");
  ASSERT_EQ(lines[3]["ports"].size(), 1u);  // only the second bridge is left
  EXPECT_EQ(lines[3]["ports"][0]["port"], "NorvUSB2");
  EXPECT_EQ(lines[3]["ports"][0]["make_and_model"], "ACME LX-100");
  // The second job on the same printer is compared with its own bytes only.
  EXPECT_EQ(lines[4]["match"], true);
  EXPECT_EQ(lines[5]["session"], "end");
  EXPECT_EQ(lines[5]["steps"], 5);
  EXPECT_EQ(lines[5]["failed"], 0);
  EXPECT_EQ(lines[5]["pool_blocks_leaked"], 0);
  EXPECT_EQ(lines[5]["verifier_violations"], 0);
}

TEST_F(RunTest, FirstFailureStopsTheSessionUnlessKeepGoing) {
  const auto script = WriteFile("steps", "status\nunplug --port NorvUSB7\nstatus\n");
  const CliResult stopped = Run({"run", script.string(), "--timing", "instant", "--json"});
  EXPECT_EQ(stopped.status, 2);
  EXPECT_ONE_ERROR_LINE(stopped, script.string() + ":2: --port NorvUSB7: no such port");
  auto lines = JsonLines(stopped.out);
  ASSERT_EQ(lines.size(), 3u) << stopped.out;  // status, the failed step, the end
  EXPECT_EQ(lines[1]["line"], 2);
  EXPECT_NE(lines[1]["error"].get<std::string>().find("no such port"), std::string::npos);
  EXPECT_EQ(lines[2]["failed"], 1);

  const CliResult kept = Run({"run", script.string(), "--timing", "instant", "--json", "--keep-going"});
  EXPECT_EQ(kept.status, 2);
  lines = JsonLines(kept.out);
  ASSERT_EQ(lines.size(), 4u) << kept.out;
  EXPECT_EQ(lines[3]["steps"], 3);
  EXPECT_EQ(lines[3]["failed"], 1);
}

// One row per step that cannot be: the session says which line and why.
struct BadStep {
  std::string step;
  std::string fragment;
};

class BadSteps : public CliTest, public ::testing::WithParamInterface<BadStep> {};

TEST_P(BadSteps, AreRefusedWithTheirLine) {
  const auto script = WriteFile("steps", "# first\n" + GetParam().step + "\n");
  const CliResult result = Run({"run", script.string(), "--timing", "instant", "--quiet"});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_ONE_ERROR_LINE(result, script.string() + ":2: ");
  EXPECT_NE(result.err.find(GetParam().fragment), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Every, BadSteps,
    ::testing::Values(BadStep{"enum --bridges 3", "--bridges shapes the machine"},
                      BadStep{"print x --timing instant", "--timing shapes the machine"},
                      BadStep{"run other.steps", "unknown subcommand \"run\""},
                      BadStep{"scan", "unknown subcommand \"scan\""},
                      BadStep{"printer sideways", "sideways"},
                      BadStep{"read --send 'open", "quote"},
                      BadStep{"enum --out x.prn", "--out"}),
    [](const auto &info) { return "Case" + std::to_string(info.index); });

TEST_F(RunTest, StandardInputWithHumanReports) {
  // A byte-order mark, as some editors save a script, is no part of the first step.
  const auto steps = WriteFile("steps", "\xEF\xBB\xBFioctl vendor-5\nprinter paper-out\nstatus\nprinter ready\nstatus\n");
  const CliResult result = Run({"run", "--timing", "instant"}, steps.string());
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char *expected : {"== stdin:1: ioctl vendor-5", "status_lines   0x58 ready, on line",
                               "NorvUSB1: printer paper out", "== stdin:5: status", "== end: 5 step(s), 0 failed"})
    EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
  EXPECT_EQ(result.err, "");  // no prompt when standard input is not a terminal
}

TEST_F(RunTest, PrinterConditionsInWords) {
  const auto steps = WriteFile("steps", "printer offline\nprinter offline off\nprinter paper-out\nprinter error\n"
                                        "printer ready\nprinter busy\n");
  const CliResult result = Run({"run", "-", "--timing", "instant", "--json"}, steps.string());
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 7u) << result.out;
  const std::vector<nlohmann::json> expected = {{"off line"}, {"ready"}, {"paper out"}, {"paper out", "error"},
                                                {"ready"}, {"busy"}};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i]["printer"], expected[i]) << lines[i];
}

// The shipped sessions, run from the project's folder as their comments say.
TEST_F(RunTest, ExampleTwoPrinters) {
  const CliResult result =
      RunFrom(NORVUSB_SOURCE_DIR, {"run", "examples/two-printers.steps", "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 9u) << result.out;
  EXPECT_EQ(lines[0]["plugged"], "NorvUSB2");
  EXPECT_EQ(lines[1]["bridges"].size(), 2u);
  EXPECT_EQ(lines[2]["status"], "0x00000000");
  EXPECT_EQ(lines[3]["match"], true);
  EXPECT_EQ(lines[4]["text"], "@PJL INFO ID\\r\\n\"LX-100\"\\r\\n\\f");
  EXPECT_EQ(lines[5]["unplugged"], "NorvUSB2");
  EXPECT_EQ(lines[6]["ports"].size(), 1u);
  EXPECT_EQ(lines[7]["match"], true);
  EXPECT_EQ(lines[8]["failed"], 0);
}

TEST_F(RunTest, ExampleOfflineJob) {
  const CliResult result = RunFrom(NORVUSB_SOURCE_DIR, {"run", "--keep-going", "examples/offline-job.steps",
                                                        "--timing", "instant", "--json"});
  EXPECT_EQ(result.status, 1);  // the first print, on purpose
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 7u) << result.out;
  EXPECT_EQ(lines[0]["ports"][0]["printer"], nlohmann::json::array({"ready"}));
  EXPECT_EQ(lines[1]["bytes_received"], 40000);
  EXPECT_EQ(lines[1]["complete"], false);
  EXPECT_EQ(lines[2]["ports"][0]["printer"], nlohmann::json::array({"off line"}));
  EXPECT_EQ(lines[3]["printer"], nlohmann::json::array({"ready"}));
  EXPECT_EQ(lines[3]["queued"], 0);  // what the bridge held was printed
  EXPECT_EQ(lines[4]["complete"], true);
  EXPECT_EQ(lines[6]["failed"], 1);
  EXPECT_EQ(lines[6]["pool_blocks_leaked"], 0);
}

}  // namespace

namespace {

// help lists the steps; quit (or exit) ends the session where it stands.
TEST_F(RunTest, HelpAndQuit) {
  const auto steps = WriteFile("steps", "help\nstatus\nquit\nstatus\n");
  const CliResult result = Run({"run", "--timing", "instant"}, steps.string());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("STEP --help lists a step's options"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("== end: 1 step(s), 0 failed"), std::string::npos) << result.out;
  const auto exited = WriteFile("steps2", "  exit  # done\nstatus\n");
  EXPECT_NE(Run({"run", "--timing", "instant"}, exited.string()).out.find("== end: 0 step(s)"), std::string::npos);
}

}  // namespace

namespace {

// USB addresses run from 1 to 127: the 128th bridge is refused in words.
TEST_F(RunTest, ABusHoldsAtMost127Devices) {
  std::string steps;
  for (int i = 0; i < 127; ++i) steps += "plug\n";
  const auto script = WriteFile("steps", steps);
  const CliResult result = Run({"run", script.string(), "--timing", "instant", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_ONE_ERROR_LINE(result, ":127: a USB bus holds at most 127 devices, and 127 bridges are plugged in");
  std::istringstream in(result.out);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[125]["usb_port"], 127);
  EXPECT_EQ(lines[125]["plugged"], "NorvUSB127");
}

}  // namespace

namespace {

// A step's options are its own: the next step that leaves one out gets the
// option's default, not what the step before it gave.
struct OptionsOfOneStep {
  std::string steps;
  size_t document;  // the JSON line to look at
  std::string field;
  nlohmann::json expected;
};

class StepOptions : public CliTest, public ::testing::WithParamInterface<OptionsOfOneStep> {};

TEST_P(StepOptions, DoNotCarryIntoTheNextStep) {
  const auto script = WriteFile("steps", GetParam().steps);
  const CliResult result = Run({"run", script.string(), "--timing", "instant", "--json", "--bridges", "2"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_GT(lines.size(), GetParam().document) << result.out;
  const nlohmann::json::json_pointer field(GetParam().field);
  const nlohmann::json &document = lines[GetParam().document];
  EXPECT_EQ(document.contains(field) ? document[field] : nullptr, GetParam().expected) << document.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StepOptions,
    ::testing::Values(
        OptionsOfOneStep{"status --port NorvUSB2\nstatus\n", 1, "/ports/1/port", "NorvUSB2"},
        OptionsOfOneStep{"ioctl get-device-descriptor --length 17\nioctl get-device-descriptor\n", 1, "/information", 18},
        OptionsOfOneStep{"plug --device-id 'MFG:ACME;MDL:LX-100;'\nplug\nstatus\n", 2, "/ports/3/make_and_model",
                         "Norv Labs LinePrinter 9"},
        OptionsOfOneStep{"printer offline --port NorvUSB2\nprinter offline\nstatus\n", 2, "/ports/0/printer",
                         nlohmann::json::array({"off line"})}),
    [](const auto &info) { return "Case" + std::to_string(info.index); });

}  // namespace
