// What every subcommand's output carries: any bytes in JSON, whole replies
// from the back channel, and the documented order of the settings.
#include <poll.h>
#include <sys/stat.h>

#include "tests/tools/cli_runner.h"

namespace {

using OutputTest = CliTest;

// A byte that is not UTF-8 (a device ID, a file name) comes out as \xHH, and
// the document is still JSON.
TEST_F(OutputTest, JsonCarriesBytesThatAreNotUtf8) {
  const std::string id = "MFG:\xFF;MDL:X\xC3\xA9;";  // a stray byte, then a valid e-acute
  // An overlong slash and a surrogate look like UTF-8 but are not.
  const CliResult enumerated =
      Run({"enum", "--device-id", id + "CMD:\xC0\xAF\xED\xA0\x80;", "--timing", "instant", "--json"});
  ASSERT_EQ(enumerated.status, 0) << enumerated.err;
  EXPECT_EQ(enumerated.Json()["bridges"][0]["printer"]["ieee1284_id"],
            "MFG:\\xFF;MDL:X\xC3\xA9;CMD:\\xC0\\xAF\\xED\\xA0\\x80;");

  const CliResult ioctl = Run({"ioctl", "get-device-id", "--device-id", id, "--timing", "instant", "--json"});
  ASSERT_EQ(ioctl.status, 0) << ioctl.err;
  EXPECT_EQ(ioctl.Json()["decoded"]["text"], "MFG:\\xFF;MDL:X\xC3\xA9;");

  const auto file = WriteFile("r\xE9sum\xE9.txt", "hello");
  const CliResult printed = Run({"print", file.string(), "--timing", "instant", "--json"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.Json()["file"], (dir_ / "r\\xE9sum\\xE9.txt").string());
}

// A reply longer than one read is read to its end (its short packet).
TEST_F(OutputTest, ReadTakesTheWholeReply) {
  std::string queued;
  for (int i = 0; i < 2000; ++i) queued += static_cast<char>('a' + i % 26);
  const CliResult result = Run({"read", "--queue", queued, "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Json()["bytes"], 2000);
  EXPECT_EQ(result.Json()["reads"], 2);
  EXPECT_EQ(result.Json()["timed_out"], false);
}

TEST_F(OutputTest, SettingsInTheDocumentedOrder) {
  const CliResult result = Run({"enum", "--timing", "instant", "--json", "--set", "MaxTransferSize=512"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string out = result.out;
  // The raw text, since a parsed object may not keep its order.
  const size_t alt = out.find("\"AltSetting\""), ifs = out.find("\"IFSetting\""), max = out.find("\"MaxTransferSize\"");
  EXPECT_LT(alt, ifs);
  EXPECT_LT(ifs, max);
  const CliResult human = Run({"enum", "--timing", "instant", "--set", "MaxTransferSize=512"});
  EXPECT_NE(human.out.find("settings               AltSetting (absent), IFSetting (absent), MaxTransferSize 512"),
            std::string::npos)
      << human.out;
}

}  // namespace

namespace {

// The program's own words: options before the subcommand as git takes them,
// help as a subcommand, an argument error that still gives --json its
// document, and the manual page made from the help.
TEST_F(OutputTest, CommandLineHabits) {
  const CliResult before = Run({"--json", "--timing", "instant", "status"});
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(before.Json()["ports"][0]["printer"][0], "ready");
  EXPECT_EQ(Run({"help", "print"}).out, Run({"print", "--help"}).out);
  const CliResult refused = Run({"print", "--json", "--copies", "0"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ("norvusb: error: " + refused.Json()["error"].get<std::string>(), refused.ErrLines().at(0));
  EXPECT_NE(Run({"--manual-page"}).out.find("\\-\\-job\\-per\\-file"), std::string::npos);
}

// --pcap - reaches a reader packet by packet while the job still runs.
TEST_F(OutputTest, CaptureToAPipeFlowsPacketByPacket) {
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  const std::string command = Quote(std::string(NORVUSB_BINARY_DIR) + "/norvusb") + " print " +
                              Quote(Path("pipe").string()) + " -q --timing instant --pcap - 2>/dev/null";
  FILE *capture = popen(command.c_str(), "r");
  ASSERT_NE(capture, nullptr);
  // The capture's start comes while the program waits for its input (the bound guards a failure).
  pollfd ready{fileno(capture), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 60'000), 1) << "the capture held back what it had";
  std::ofstream(Path("pipe")) << "x";  // the job's input, and its end
  char rest[4096];
  while (std::fread(rest, 1, sizeof rest, capture) > 0) {
  }
  EXPECT_EQ(pclose(capture), 0);
}

}  // namespace
