// norvusb read, and what every subcommand does with bad input: one line on
// standard error and a non-zero exit, nothing else.
#include <ctime>

#include "tests/tools/cli_runner.h"

namespace {

using ReadTest = CliTest;

TEST_F(ReadTest, AnswersAPjlQuery) {
  const CliResult result = Run({"read", "--send", "\\e%-12345X@PJL INFO ID\\r\\n", "--device-id",
                                "MFG:ACME;MDL:LX-100;", "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto reply = result.Json();
  EXPECT_EQ(reply["text"], "@PJL INFO ID\\r\\n\"LX-100\"\\r\\n\\f");
  EXPECT_EQ(reply["timed_out"], false);
  EXPECT_EQ(reply["bytes"], reply["data_hex"].get<std::string>().size() / 3 + 1);
  EXPECT_EQ(reply["verifier_violations"], 0);
}

TEST_F(ReadTest, RawBytesAndTimeOut) {
  const CliResult raw = Run({"read", "--queue", "\\x00\\xFFok", "--raw", "--timing", "instant"});
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out, std::string("\0\xFFok", 4));

  // Nothing to read: the read is cancelled after the time-out.
  const CliResult silent = Run({"read", "--timeout", "0.2", "--json"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.Json()["timed_out"], true);
  EXPECT_EQ(silent.Json()["bytes"], 0);
  EXPECT_GE(silent.Json()["model_seconds"].get<double>(), 0.2);
  EXPECT_EQ(silent.Json()["pool_blocks_leaked"], 0);
  EXPECT_EQ(silent.Json()["verifier_violations"], 0);
  EXPECT_ONE_ERROR_LINE(silent, "no data from the printer within 0.2 s");
}

struct BadInput {
  std::vector<std::string> args;
  int status;
  std::string fragment;  // part of the one error line
};

class BadInputs : public CliTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputs, OneClearLineAndNonZeroExit) {
  std::vector<std::string> args = GetParam().args;
  for (auto &arg : args)
    if (arg == "@dir") arg = dir_.string();
  const CliResult result = Run(args);
  EXPECT_EQ(result.status, GetParam().status) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_ONE_ERROR_LINE(result, GetParam().fragment);
}

INSTANTIATE_TEST_SUITE_P(
    Every, BadInputs,
    ::testing::Values(
        BadInput{{}, 2, "subcommand"},
        BadInput{{"scan"}, 2, "scan"},
        BadInput{{"print", "-", "-"}, 2, "standard input (-) can be read only once"},  // no FILE reads it, as lp does
        BadInput{{"print", "/no/such/file.ps"}, 2, "cannot read /no/such/file.ps"},
        BadInput{{"print", "@dir"}, 2, "cannot read"},
        BadInput{{"enum", "--port", "NorvUSB3"}, 2, "no such port"},
        BadInput{{"enum", "--port", "COM1"}, 2, "expected a port name"},
        BadInput{{"enum", "--set", "Speed=3"}, 2, "unknown value name"},
        BadInput{{"enum", "--set", "MaxTransferSize=0"}, 2, "from 1 to"},
        BadInput{{"enum", "--set", "IFSetting=x"}, 2, "from 0 to 255"},
        BadInput{{"enum", "--set", "AltSetting"}, 2, "NAME=VALUE"},
        BadInput{{"enum", "--timing", "slow"}, 2, "slow"},
        BadInput{{"enum", "--bridges", "0"}, 2, "bridges"},
        BadInput{{"enum", "--bridges", "two"}, 2, "bridges"},
        BadInput{{"enum", "--printer-rate", "0"}, 2, "printer-rate"},
        BadInput{{"enum", "--device-id", "A", "--device-id", "B"}, 2, "--device-id given 2 times"},
        BadInput{{"enum", "--pcap", "/no/such/dir/x.pcap"}, 2, "--pcap"},
        BadInput{{"read", "--out", "/no/such/dir/x.prn"}, 2, "--out"},
        BadInput{{"ioctl", "frobnicate"}, 2, "unknown request"},
        BadInput{{"ioctl", "vendor-2"}, 2, "vendor-2 ARG"},
        BadInput{{"ioctl", "vendor-2", "70000"}, 2, "from 0 to 65535"},
        BadInput{{"ioctl", "set-transfer-mode", "256"}, 2, "from 0 to 255"},
        BadInput{{"ioctl", "nop", "--input", "0g"}, 2, "hex"},
        BadInput{{"read", "--timeout", "0"}, 2, "--timeout"},
        BadInput{{"read", "--send", "\\q"}, 2, "unknown escape"},
        BadInput{{"print", "x", "--stall-timeout", "-1"}, 2, "--stall-timeout"},
        BadInput{{"print", "x", "--offline-after", "-1"}, 2, "--offline-after -1"},
        BadInput{{"print", "x", "--unplug-after", "18446744073709551616"}, 2, "--unplug-after"},
        BadInput{{"enum", "--port", ""}, 2, "--port ''"},
        BadInput{{"read", "--out", ""}, 2, "--out ''"},
        BadInput{{"enum", "--pcap", ""}, 2, "--pcap ''"},
        BadInput{{"read", "--out", "-", "--pcap", "-"}, 2, "only one of them"},
        BadInput{{"print", "-", "-"}, 2, "standard input (-) can be read only once"},
        BadInput{{"print", "x", "--title", ""}, 2, "--title ''"},
        // The argument library's complaints, in the program's own words.
        BadInput{{"enum", "--bridges", "two"}, 2, "--bridges two: the value must be a number from 1 to 32"},
        BadInput{{"enum", "--port"}, 2, "--port needs a value"},
        BadInput{{"read", "extra"}, 2, "norvusb read takes no argument \"extra\""},
        // Options that mean nothing for the subcommand are refused.
        BadInput{{"enum", "--out", "x.prn"}, 2, "norvusb enum takes no option --out"},
        BadInput{{"ioctl", "nop", "--printer-rate", "5"}, 2, "takes no option --printer-rate"},
        BadInput{{"status", "--out", "x.prn"}, 2, "takes no option --out"},
        BadInput{{"run", "--port", "NorvUSB1"}, 2, "takes no option --port"},
        BadInput{{"run", "/no/such/steps"}, 2, "cannot read /no/such/steps"},
        BadInput{{"plug"}, 2, "unknown subcommand \"plug\""}),
    [](const auto &info) { return "Case" + std::to_string(info.index); });

TEST(CliHelp, EverySubcommandHasHelp) {
  for (const char *command : {"print", "enum", "ioctl", "read", "status", "run"}) {
    const std::string line = std::string(NORVUSB_BINARY_DIR) + "/norvusb " + command + " --help > /dev/null";
    EXPECT_EQ(std::system(line.c_str()), 0) << command;
  }
}

}  // namespace

namespace {

using ProgramTest = CliTest;

TEST_F(ProgramTest, Version) {
  const CliResult result = Run({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("norvusb ", 0), 0u) << result.out;
}

// Capture records carry the wall clock at boot plus model time: a reader sees
// when the run happened.
TEST_F(ProgramTest, CaptureTimestampsAreTheRunsWallClock) {
  const auto pcap = Path("cap.pcap");
  const auto before = std::time(nullptr);
  ASSERT_EQ(Run({"enum", "--timing", "instant", "--quiet", "--pcap", pcap.string()}).status, 0);
  const auto after = std::time(nullptr);
  const std::string bytes = ReadFile(pcap);
  ASSERT_GT(bytes.size(), 28u);  // the file header, then the first record's
  uint32_t seconds = 0;
  for (int i = 3; i >= 0; --i) seconds = seconds << 8 | static_cast<uint8_t>(bytes[24 + static_cast<size_t>(i)]);
  EXPECT_GE(static_cast<std::time_t>(seconds), before);
  EXPECT_LE(static_cast<std::time_t>(seconds), after);
}

TEST_F(ProgramTest, DemoRunsFromAnyFolder) {
  const std::string command = "cd " + Quote(dir_.string()) + " && bash " +
                              Quote(std::string(NORVUSB_SOURCE_DIR) + "/scripts/demo.sh") + " " +
                              Quote(NORVUSB_BINARY_DIR) + " > " + Quote(Path("demo.txt").string()) + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(Path("demo.txt"));
  EXPECT_NE(ReadFile(Path("demo.txt")).find("Printed examples/testpage.ps"), std::string::npos)
      << ReadFile(Path("demo.txt"));
}

}  // namespace
