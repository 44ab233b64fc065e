// What a user sees when a command line goes wrong: no input file destroyed,
// every failure said (in the report, in the JSON document and by the exit
// status alike), limits checked before the machine boots, and reports that
// say only what is true.
#include <sys/stat.h>

#include <sstream>

#include "tests/tools/cli_runner.h"

namespace {

// The JSON lines of standard output.
std::vector<nlohmann::json> JsonLines(const std::string &out) {
  std::vector<nlohmann::json> documents;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) documents.push_back(nlohmann::json::parse(line));
  return documents;
}

// Arguments with "@name" replaced by the path of the test's file `name`.
std::vector<std::string> Expand(const std::vector<std::string> &args, const std::filesystem::path &dir) {
  std::vector<std::string> expanded;
  for (const std::string &arg : args) expanded.push_back(arg.starts_with("@") ? (dir / arg.substr(1)).string() : arg);
  return expanded;
}

// ---------------------------------------------------------------- 1. an input file is never an output

struct SameFileCase {
  std::string name;
  std::vector<std::string> args;  // "@keep.prn" is the document, "@link.prn" a hard link to it
  std::string stdinFile;          // "" or "@keep.prn"
  std::string fragment;
};

class SameFile : public CliTest, public ::testing::WithParamInterface<SameFileCase> {};

// As cp refuses "are the same file", by device and inode: a hard link, another
// spelling of the path, or standard input redirected from the file are all
// the same file, and the document is left as it was.
TEST_P(SameFile, IsRefusedAndTheInputIsLeftWhole) {
  const std::string document = "%!PS\n" + Document(5000);
  WriteFile("keep.prn", document);
  WriteFile("other.ps", "%!PS\nshowpage\n");
  ASSERT_EQ(link(Path("keep.prn").c_str(), Path("link.prn").c_str()), 0);
  const std::string input = GetParam().stdinFile.empty() ? "" : Path(GetParam().stdinFile.substr(1)).string();
  const CliResult result = RunFrom(dir_, Expand(GetParam().args, dir_), input);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_ONE_ERROR_LINE(result, GetParam().fragment);
  EXPECT_EQ(ReadFile(Path("keep.prn")), document);
}

INSTANTIATE_TEST_SUITE_P(
    Every, SameFile,
    ::testing::Values(
        SameFileCase{"OutSameName", {"print", "keep.prn", "--out", "keep.prn", "--timing", "instant"}, "",
                     "--out keep.prn and keep.prn are the same file"},
        SameFileCase{"OutOtherSpelling", {"print", "keep.prn", "--out", "./keep.prn"}, "", "are the same file"},
        SameFileCase{"OutHardLink", {"print", "@keep.prn", "--out", "@link.prn"}, "", "are the same file"},
        SameFileCase{"OutOneOfSeveral", {"print", "other.ps", "@link.prn", "--job-per-file", "--out", "keep.prn"}, "",
                     "link.prn are the same file"},
        SameFileCase{"PcapSameFile", {"print", "keep.prn", "--pcap", "link.prn"}, "", "--pcap link.prn and keep.prn"},
        SameFileCase{"RenderSameFile", {"print", "keep.prn", "--render", "keep.prn"}, "", "--render keep.prn"},
        SameFileCase{"RenderIsTheOut", {"print", "other.ps", "--out", "keep.prn", "--render", "link.prn"}, "",
                     "--render link.prn and --out keep.prn are the same file"},
        SameFileCase{"StandardInput", {"print", "-", "--out", "link.prn"}, "@keep.prn",
                     "--out link.prn and standard input are the same file"},
        SameFileCase{"SessionScript", {"run", "keep.prn", "--pcap", "link.prn"}, "", "--pcap link.prn and keep.prn"}),
    [](const auto &info) { return info.param.name; });

class SameFileInSession : public CliTest {};

TEST_F(SameFileInSession, StepOutIsTheStepsInput) {
  const std::string document = Document(3000);
  WriteFile("keep.prn", document);
  WriteFile("steps", "print keep.prn --out ./keep.prn\n");
  const CliResult result = RunFrom(dir_, {"run", "--timing", "instant", "-q"}, Path("steps").string());
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_ONE_ERROR_LINE(result, "stdin:1: --out ./keep.prn and keep.prn are the same file");
  EXPECT_EQ(ReadFile(Path("keep.prn")), document);
}

// No step writes the session's script, which is still being read: named, or
// standard input.
TEST_F(SameFileInSession, NoStepWritesTheScript) {
  WriteFile("doc.ps", "%!PS\nshowpage\n");
  for (const std::string step :
       {"print doc.ps --out self.steps", "print doc.ps --render self.steps", "read --queue ok --out self.steps"}) {
    const std::string script = "status\n" + step + "\nstatus\n";
    WriteFile("self.steps", script);
    for (const std::string name : {"self.steps", "-"}) {
      const CliResult result = RunFrom(dir_, {"run", name, "--timing", "instant", "-q"},
                                       name == "-" ? Path("self.steps").string() : "");
      EXPECT_EQ(result.status, 2) << step;
      EXPECT_ONE_ERROR_LINE(result, "are the same file");
      EXPECT_EQ(ReadFile(Path("self.steps")), script) << step;
    }
  }
}

TEST_F(SameFileInSession, StepOutIsTheSessionCapture) {
  WriteFile("doc", Document(3000));
  WriteFile("steps", "print doc --out cap.pcap\n");
  const CliResult result =
      RunFrom(dir_, {"run", "--timing", "instant", "-q", "--pcap", "cap.pcap"}, Path("steps").string());
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_ONE_ERROR_LINE(result, "--out cap.pcap is the file the session's --pcap is writing");
}

// ---------------------------------------------------------------- 2. JSON says what the exit status says

struct FailureCase {
  std::string name;
  std::vector<std::string> args;
  std::string fragment;
};

class JsonTellsTheFailure : public CliTest, public ::testing::WithParamInterface<FailureCase> {};

// Whenever the exit status is not 0, "error" holds the error line's text,
// and "complete" (where there is one) is false.
TEST_P(JsonTellsTheFailure, ErrorIsTheErrorLine) {
  WriteFile("doc.txt", "plain text, no page to draw\n");
  WriteFile("cut.ps", "%!PS\n/Helvetica findfont 12 scalefont setfont\n");  // cut before its page
  std::vector<std::string> args = Expand(GetParam().args, dir_);
  args.insert(args.end(), {"--timing", "instant", "--json"});
  const CliResult result = Run(args);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_ONE_ERROR_LINE(result, GetParam().fragment);
  const auto document = result.Json();
  ASSERT_TRUE(document["error"].is_string()) << result.out;
  EXPECT_EQ("norvusb: error: " + document["error"].get<std::string>(), result.ErrLines().at(0));
  if (document.contains("complete")) {
    EXPECT_EQ(document["complete"], false);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Every, JsonTellsTheFailure,
    ::testing::Values(FailureCase{"OutFull", {"print", "@doc.txt", "--out", "/dev/full"}, "--out /dev/full"},
                      FailureCase{"PcapFull", {"print", "@doc.txt", "--pcap", "/dev/full"}, "--pcap /dev/full"},
                      FailureCase{"RenderNotAPage", {"print", "@doc.txt", "--render", "@page.png"}, "--render"},
                      FailureCase{"EnumPcapFull", {"enum", "--pcap", "/dev/full"}, "--pcap /dev/full"},
                      FailureCase{"StatusPcapFull", {"status", "--pcap", "/dev/full"}, "--pcap /dev/full"},
                      FailureCase{"IoctlPcapFull", {"ioctl", "nop", "--pcap", "/dev/full"}, "--pcap /dev/full"},
                      FailureCase{"ReadPcapFull", {"read", "--queue", "ok", "--pcap", "/dev/full"}, "--pcap /dev/full"},
                      // 6: a read that fails on the way still has its document.
                      FailureCase{"ReadSendRefused", {"read", "--send", "x", "--set", "IFSetting=1"},
                                  "the write of --send failed"},
                      FailureCase{"RenderCutShort", {"print", "@cut.ps", "--render", "@page.png"},
                                  "Ghostscript drew no page: the document ended before its first page"},
                      FailureCase{"BytesLeftInTheBridge",
                                  {"print", "/dev/zero", "--offline-after", "40000", "--stall-timeout", "1"},
                                  "4096 bytes remain in the bridge and will print first"},
                      FailureCase{"StatusOfAPortWithoutPipes", {"status", "--set", "AltSetting=1"},
                                  "NorvUSB1: the port refuses every transfer: --set chose interface 0"}),
    [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------- 3. the longest device IDs

// One control transfer on the default pipe brings at most 4096 bytes, the
// field's two and 4094 of text: each length up to that shows as it is, and a
// text that fills it shows as "at least" and cut, however long it goes on.
struct LongIdCase {
  size_t size;        // the device's text
  uint64_t field;     // the field the program can learn
  bool cutAtLargest;  // cut (or maybe cut) with the largest buffer
  const char *words;  // how the human report gives the device's text
};

class LongestDeviceIds : public CliTest, public ::testing::WithParamInterface<LongIdCase> {
 protected:
  static std::string IdOf(size_t size) {
    std::string id = "MFG:ACME;MDL:LX-100;DES:";
    id += std::string(size - id.size() - 1, 'x');
    return id + ";";
  }
};

TEST_P(LongestDeviceIds, ShowTheirOwnLengthOrThatTheyGoOn) {
  const LongIdCase row = GetParam();
  const std::string id = IdOf(row.size);
  const CliResult enumerated = Run({"enum", "--device-id", id, "--timing", "instant", "--json"});
  ASSERT_EQ(enumerated.status, 0) << enumerated.err;
  const auto printer = enumerated.Json()["bridges"][0]["printer"];
  EXPECT_EQ(printer["ieee1284_length_field"], row.field);
  EXPECT_EQ(printer["ieee1284_id_cut"], true);
  const CliResult human = Run({"enum", "--device-id", id, "--timing", "instant"});
  EXPECT_NE(human.out.find(std::string("the device's text is ") + row.words + ")"), std::string::npos) << human.out;

  for (const std::string length : {"1024", "65535"}) {
    const CliResult ioctl =
        Run({"ioctl", "get-device-id", "--length", length, "--device-id", id, "--timing", "instant", "--json"});
    ASSERT_EQ(ioctl.status, 0) << ioctl.err;
    EXPECT_EQ(ioctl.Json()["decoded"]["length_field"], row.field) << length;
    EXPECT_EQ(ioctl.Json()["decoded"]["cut"], length == "1024" || row.cutAtLargest) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LongestDeviceIds,
                         ::testing::Values(LongIdCase{2000, 2002, false, "2000 bytes"},
                                           LongIdCase{4092, 4094, false, "4092 bytes"},
                                           LongIdCase{4093, 4095, false, "4093 bytes"},
                                           LongIdCase{4094, 4096, true, "at least 4094 bytes, all that one control transfer brings"},
                                           LongIdCase{65533, 4096, true, "at least 4094 bytes, all that one control transfer brings"}));

TEST_F(CliTest, DeviceIdLongerThanTheFieldCountsIsRefused) {
  std::string id = "MFG:ACME;MDL:LX-100;DES:" + std::string(65534 - 25, 'x') + ";";
  ASSERT_EQ(id.size(), 65534u);
  const CliResult result = Run({"enum", "--device-id", id, "--timing", "instant"});
  EXPECT_EQ(result.status, 2);
  EXPECT_ONE_ERROR_LINE(result, "the text is 65534 bytes");
  EXPECT_NE(result.err.find("at most 65533 bytes"), std::string::npos);
}

// ---------------------------------------------------------------- 4 and 5. steps of a session

using SessionStepTest = CliTest;

TEST_F(SessionStepTest, HelpInAStepShowsTheStepsHelp) {
  const auto steps = WriteFile("steps", "print --help\nstatus\nenum --no-such-option\n");
  const CliResult result = Run({"run", "--timing", "instant", "--keep-going"}, steps.string());
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_NE(result.out.find("Usage: print [OPTIONS] [FILE...]"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("--job-per-file"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("--bridges"), std::string::npos) << result.out;  // a step refuses it
  EXPECT_EQ(result.out.find("caught in your main"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("== end: 3 step(s), 1 failed"), std::string::npos) << result.out;
  // The advice names what works in a session.
  EXPECT_ONE_ERROR_LINE(result, "stdin:3: enum takes no option --no-such-option (enum --help lists what it takes)");
}

// A step reports the timing and the settings of the machine it runs on.
TEST_F(SessionStepTest, StepsReportTheSessionsTimingAndSettings) {
  const auto doc = WriteFile("doc", Document(3000));
  const auto steps = WriteFile("steps", "print " + doc.string() + "\n");
  const CliResult instant =
      Run({"run", "--timing", "instant", "--json", "--set", "MaxTransferSize=1000"}, steps.string());
  ASSERT_EQ(instant.status, 0) << instant.err;
  const auto lines = JsonLines(instant.out);
  EXPECT_EQ(lines[0]["timing"], "instant");
  EXPECT_TRUE(lines[0]["bus_utilisation"].is_null());
  EXPECT_EQ(lines[0]["max_transfer_size"], 1000);
  EXPECT_EQ(lines[0]["write_requests"], 3);
  const CliResult human = Run({"run", "--timing", "instant"}, steps.string());
  EXPECT_NE(human.out.find("(instant timing)"), std::string::npos) << human.out;
  EXPECT_EQ(human.out.find("full-speed"), std::string::npos) << human.out;
}

// ---------------------------------------------------------------- 6, 7, 8. refused before the machine boots

struct RefusedCase {
  std::string name;
  std::vector<std::string> args;
  std::string fragment;
  std::string stdinFile = "";  // relative to the test's folder
};

class RefusedUpFront : public CliTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedUpFront, WithTheLimitInWords) {
  std::filesystem::create_directories(Path("folder.steps"));
  WriteFile("doc", "%!PS\nshowpage\n");
  const std::string input = GetParam().stdinFile.empty() ? "" : Path(GetParam().stdinFile).string();
  const CliResult result = RunFrom(dir_, GetParam().args, input);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_ONE_ERROR_LINE(result, GetParam().fragment);
  // Under --json the refusal is a document too.
  const auto &args = GetParam().args;
  if (std::find(args.begin(), args.end(), "--json") == args.end()) {
    EXPECT_EQ(result.out, "");
  } else {
    EXPECT_EQ("norvusb: error: " + result.Json()["error"].get<std::string>(), result.ErrLines().at(0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Every, RefusedUpFront,
    ::testing::Values(
        RefusedCase{"ReadLengthNotWholePackets", {"read", "--length", "100"}, "multiple of the 64-byte packet size"},
        RefusedCase{"ReadLengthAboveMaxTransferSize", {"read", "--length", "8192"}, "at most MaxTransferSize, 4096"},
        RefusedCase{"ReadLengthAboveTheSetting", {"read", "--length", "1024", "--set", "MaxTransferSize=512"},
                    "at most MaxTransferSize, 512"},
        RefusedCase{"RawWithJson", {"read", "--raw", "--json"}, "--raw and --json"},
        RefusedCase{"TimeoutBeyondTheClock", {"read", "--timeout", "1e12"}, "to 1000000000"},
        RefusedCase{"TimeoutInfinite", {"read", "--timeout", "inf"}, "--timeout inf"},
        RefusedCase{"TimeoutNotANumber", {"read", "--timeout", "nan"}, "--timeout nan"},
        RefusedCase{"TimeoutBelowATick", {"read", "--timeout", "1e-9"}, "0.0000001"},
        RefusedCase{"StallTimeoutHuge", {"print", "x", "--stall-timeout", "1e300"}, "--stall-timeout 1e300"},
        RefusedCase{"StallTimeoutOverflows", {"print", "x", "--stall-timeout", "1e999"}, "--stall-timeout 1e999: the"},
        RefusedCase{"SeedNegative", {"status", "--seed", "-1"}, "--seed -1: the value must be a whole number from 0"},
        RefusedCase{"SeedBeyond64Bits", {"status", "--seed", "99999999999999999999999"}, "to 18446744073709551615"},
        RefusedCase{"BridgesEmpty", {"status", "--bridges", ""}, "--bridges '': the value must be a number from 1"},
        RefusedCase{"FileNameTooLong", {"print", std::string(5000, 'x')}, "File name too long"},
        RefusedCase{"NameEscapedInTheError", {"print", "nosuch\xFF\x1B[2J"}, "cannot read nosuch\\xFF\\e[2J: No such"},
        RefusedCase{"ScriptFromAFolder", {"run"}, "cannot read standard input: it is a folder", "folder.steps"},
        RefusedCase{"OptionBeforeNoSubcommand", {"--bogus"}, "--help"},
        RefusedCase{"CopiesOfStandardInput", {"print", "-n", "2"}, "-n 2: standard input can be read only once"},
        RefusedCase{"StallTimeoutInfinite", {"print", "x", "--stall-timeout", "inf"}, "to 1000000000"},
        RefusedCase{"ScriptIsAFolder", {"run", "folder.steps"}, "cannot read folder.steps: it is a folder"},
        RefusedCase{"ScriptMissing", {"run", "nonexist.steps"}, "cannot read nonexist.steps: No such file"},
        // docs: an empty --render name suggests nothing that is refused.
        RefusedCase{"RenderEmptyName", {"print", "doc", "--render", ""}, "--render '': expected the name of the PNG file"},
        RefusedCase{"SendUnknownEscape", {"read", "--send", "a\\q"}, "--send a\\q: unknown escape \\q (known: \\n \\r \\t"}),
    [](const auto &info) { return info.param.name; });

// The largest time-out is taken, and a wait within it ends as a time-out.
TEST_F(CliTest, LargestTimeoutIsAccepted) {
  const CliResult result = Run({"read", "--timeout", "1e9", "--queue", "ok", "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Json()["text"], "ok");
}

// ---------------------------------------------------------------- 9. skipped jobs

TEST_F(CliTest, JobsAfterAStopAreReportedAsNotPrinted) {
  const auto a = WriteFile("a.bin", Document(5000));
  const auto b = WriteFile("b.bin", Document(3000));
  const auto c = WriteFile("c.bin", Document(2000));
  const std::vector<std::string> args = {"print", a.string(), b.string(), c.string(), "--job-per-file",
                                         "--unplug-after", "6000", "--timing", "instant"};
  std::vector<std::string> json = args;
  json.push_back("--json");
  const CliResult result = Run(json);
  EXPECT_EQ(result.status, 1);
  const auto document = result.Json();
  ASSERT_EQ(document["jobs"].size(), 3u) << result.out;
  EXPECT_EQ(document["jobs"][0]["printed"], true);
  EXPECT_EQ(document["jobs"][0]["complete"], true);
  EXPECT_EQ(document["jobs"][1]["printed"], true);
  EXPECT_EQ(document["jobs"][1]["bytes_received"], 1000);
  EXPECT_EQ(document["jobs"][2]["printed"], false);
  EXPECT_EQ(document["jobs"][2]["bytes_total"], 2000);
  EXPECT_EQ(document["jobs"][2]["bytes_written"], 0);
  EXPECT_EQ(document["jobs"][2]["error"], "not printed: an earlier job stopped the run");
  EXPECT_EQ(document["bytes_total"], 10000);
  EXPECT_EQ(document["files"].size(), 3u);

  const CliResult human = Run(args);
  EXPECT_NE(human.out.find("Not printed: " + c.string() + " on NorvUSB1, job \"c.bin\": an earlier job stopped the run"),
            std::string::npos)
      << human.out;
}

// ---------------------------------------------------------------- 10. an unplug after the last byte

class UnplugAtTheEnd : public CliTest, public ::testing::WithParamInterface<std::string> {};

// The bridge is pulled once every byte is written: the printer took them
// all, so the job is complete and nothing else is said.
TEST_P(UnplugAtTheEnd, IsACompletePrint) {
  const auto doc = WriteFile("doc.bin", Document(5000));
  const CliResult result = Run({"print", doc.string(), "--unplug-after", "5000", "--timing", GetParam()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Printed " + doc.string()), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("identical to the file"), std::string::npos) << result.out;

  // A second job finds its port gone, and says so.
  const auto more = WriteFile("more.bin", Document(100));
  const CliResult two =
      Run({"print", doc.string(), more.string(), "--job-per-file", "--unplug-after", "5000", "--timing", GetParam()});
  EXPECT_EQ(two.status, 1);
  EXPECT_ONE_ERROR_LINE(two, "its bridge was unplugged; 0 of 100 bytes delivered");
}

INSTANTIATE_TEST_SUITE_P(Timings, UnplugAtTheEnd, ::testing::Values("instant", "full-speed"),
                         [](const auto &info) { return info.param == "instant" ? "Instant" : "FullSpeed"; });

// A printer still busy with the last bytes when the cable goes: what is true.
TEST_F(CliTest, UnplugBeforeThePrinterTookTheLastByte) {
  const auto doc = WriteFile("doc.bin", Document(20000));
  const CliResult result = Run({"print", doc.string(), "--unplug-after", "20000", "--printer-rate", "10000", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_ONE_ERROR_LINE(result, "the bridge was unplugged before the printer took the last byte");
  EXPECT_EQ(result.Json()["bytes_written"], 20000);
  EXPECT_LT(result.Json()["bytes_received"].get<int>(), 20000);
  EXPECT_EQ(result.Json()["complete"], false);
}

// ---------------------------------------------------------------- 11. a session's unplugged port

TEST_F(CliTest, SessionSaysThePortWasUnplugged) {
  const auto doc = WriteFile("doc", Document(100));
  const auto steps = WriteFile("steps", "unplug\nunplug\nprint " + doc.string() + "\nstatus --port NorvUSB1\n");
  const CliResult result = Run({"run", "--timing", "instant", "-q", "--keep-going"}, steps.string());
  EXPECT_EQ(result.status, 1) << result.err;
  const auto lines = result.ErrLines();
  ASSERT_EQ(lines.size(), 3u) << result.err;
  EXPECT_EQ(lines[0], "norvusb: error: stdin:2: NorvUSB1 is gone: its bridge was unplugged");
  EXPECT_EQ(lines[1], "norvusb: error: stdin:3: NorvUSB1 is gone: its bridge was unplugged");
  EXPECT_EQ(lines[2], "norvusb: error: stdin:4: --port NorvUSB1: its bridge was unplugged; plugged in now: none");
}

}  // namespace

namespace {

// 14: a full standard output is said with its reason, by every subcommand,
// and --help and --version do not pass for success either.
class FullStandardOutput : public CliTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(FullStandardOutput, SaysWhy) {
  std::vector<std::string> args = GetParam();
  if (args.size() > 1) args.insert(args.end(), {"--timing", "instant"});
  const CliResult result = Run(args, "", "/dev/full");
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_ONE_ERROR_LINE(result, "cannot write standard output: ");
  if (args.size() > 1) {
    EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Every, FullStandardOutput,
                         ::testing::Values(std::vector<std::string>{"enum", "-q", "--json"},
                                           std::vector<std::string>{"status", "--json"},
                                           std::vector<std::string>{"ioctl", "nop", "--json"},
                                           std::vector<std::string>{"read", "--queue", "ok", "--json"},
                                           std::vector<std::string>{"--help"},
                                           std::vector<std::string>{"--version"}));

}  // namespace

namespace {

class RefusedCombination : public CliTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedCombination, SaysWhy) {
  const CliResult result = Run(GetParam().args);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_ONE_ERROR_LINE(result, GetParam().fragment);
}

INSTANTIATE_TEST_SUITE_P(
    Every, RefusedCombination,
    ::testing::Values(
        RefusedCase{"CodeWithArgs", {"ioctl", "0x222054", "0x0104"},
                    "0x222054 0x0104: a request given as a control code takes no ARGS; give its input bytes with "
                    "--input (0x222054 is vendor-2: norvusb ioctl vendor-2 ...)"},
        RefusedCase{"ArgsWithInput", {"ioctl", "vendor-2", "0x0104", "--input", "04 01"},
                    "ARGS (0x0104) and --input both give the input bytes"},
        RefusedCase{"RawCodeWithArgsAndInput", {"ioctl", "0x222024", "1", "--input", "01"}, "ARGS (1) and --input"}),
    [](const auto &info) { return info.param.name; });

// --tree in JSON: the drawn tree as lines, besides the bridges.
TEST_F(CliTest, TreeInJson) {
  const CliResult result = Run({"enum", "--tree", "--json", "--bridges", "2", "--timing", "instant"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto tree = result.Json()["tree"];
  ASSERT_EQ(tree.size(), 5u) << result.out;
  EXPECT_EQ(tree[0], "/:  Bus 01.Port 1: Class=root_hub, Driver=usbhub, 12M");
  EXPECT_NE(tree[3].get<std::string>().find("NorvUSB2 (Started)"), std::string::npos);
  EXPECT_FALSE(Run({"enum", "--json", "--timing", "instant"}).Json().contains("tree"));
}

TEST_F(CliTest, RefusedRequestSaysTheDriverRefusedIt) {
  const CliResult result = Run({"ioctl", "vendor-5", "--length", "4", "--timing", "instant"});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_NE(result.out.find("(none: the driver refused the request)"), std::string::npos) << result.out;
}

}  // namespace

namespace {

// 13: an interface the bridge does not offer is explained in words.
TEST_F(CliTest, InterfaceTheBridgeDoesNotOfferIsExplained) {
  const auto doc = WriteFile("doc", Document(100));
  for (const std::string setting : {"IFSetting=1", "AltSetting=2"}) {
    const CliResult print = Run({"print", doc.string(), "--set", setting, "--timing", "instant", "-q"});
    EXPECT_EQ(print.status, 1);
    EXPECT_ONE_ERROR_LINE(print, "STATUS_INVALID_PARAMETER): --set chose interface ");
    EXPECT_NE(print.err.find("which the bridge does not offer"), std::string::npos) << print.err;
    const CliResult read = Run({"read", "--set", setting, "--timing", "instant", "-q"});
    EXPECT_EQ(read.status, 1);
    EXPECT_ONE_ERROR_LINE(read, "the read failed with 0xC000000D (STATUS_INVALID_PARAMETER): --set chose");
  }
}

}  // namespace

namespace {

// 14: a file name or title reaches the terminal with its control bytes
// escaped, as device text does; UTF-8 passes as it is.
TEST_F(CliTest, NamesAndTitlesAreEscapedForTheTerminal) {
  const auto file = WriteFile("r\xC3\xA9sum\xC3\xA9\x1B[31m.txt", "hello");
  const CliResult result = Run({"print", file.string(), "-t", "job\x1B]0;owned\x07", "--timing", "instant"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find('\x1B'), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("r\xC3\xA9sum\xC3\xA9\\e[31m.txt"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("job \"job\\e]0;owned\\x07\""), std::string::npos) << result.out;
}

}  // namespace

namespace {

// 14: every row's columns start where the header's do, however many
// conditions hold the printer.
TEST_F(CliTest, StatusColumnsLineUpUnderTheirHeadings) {
  const auto steps = WriteFile("steps", "printer offline --port NorvUSB2\nprinter paper-out --port NorvUSB2\n"
                                        "printer error --port NorvUSB2\nstatus\n");
  const CliResult result = Run({"run", steps.string(), "--bridges", "2", "--timing", "instant"});
  ASSERT_EQ(result.status, 0) << result.err;
  const size_t table = result.out.find("PORT ");
  ASSERT_NE(table, std::string::npos) << result.out;
  std::vector<std::string> lines;
  for (size_t at = table; at < result.out.size() && result.out.compare(at, 2, "==") != 0;) {
    const size_t end = result.out.find('\n', at);
    lines.push_back(result.out.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << result.out;
  EXPECT_NE(lines[2].find("off line, paper out, error"), std::string::npos) << lines[2];
  for (const char *heading : {"BRIDGE", "PRINTER", "QUEUED", "MAKE AND MODEL"}) {
    const size_t column = lines[0].find(heading);
    for (const std::string &row : lines) {
      ASSERT_GT(row.size(), column) << row;
      EXPECT_TRUE(row[column - 1] == ' ' && row[column] != ' ') << heading << " in\n" << result.out;
    }
  }
}

// 14: an empty input sends nothing, so it shows no sending time or rate.
TEST_F(CliTest, AnEmptyFileShowsNoSendingTime) {
  const auto file = WriteFile("empty.prn", "");
  const CliResult result = Run({"print", file.string()});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("none spent sending: the input is empty"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("timing)"), std::string::npos) << result.out;
}

}  // namespace
