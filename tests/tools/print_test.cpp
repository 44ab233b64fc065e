// norvusb print as a user runs it: documents of several sizes through the
// cable, the JSON report, the progress of a failing print.
#include <chrono>

#include "tests/support/command.h"
#include "tests/tools/cli_runner.h"

namespace {

class PrintSizes : public CliTest, public ::testing::WithParamInterface<size_t> {};

// Sizes around the request and packet boundaries, and one of many requests.
TEST_P(PrintSizes, PrinterReceivesExactlyTheFile) {
  const size_t size = GetParam();
  const auto file = WriteFile("doc.bin", Document(size));
  const CliResult result = Run({"print", file.string(), "--timing", "instant", "--json", "--out", Path("out.prn").string()});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(Path("out.prn")), Document(size));

  const auto report = result.Json();
  const uint64_t requests = (size + 4095) / 4096;
  EXPECT_EQ(report["port"], "NorvUSB1");
  EXPECT_EQ(report["bytes_written"], size);
  EXPECT_EQ(report["bytes_received"], size);
  EXPECT_EQ(report["match"], true);
  EXPECT_EQ(report["write_requests"], requests);
  EXPECT_EQ(report["bulk_transfers"], requests);
  // Forward is the mode the bridge starts in: only the port status polls
  // while the printer drains.
  EXPECT_GE(report["control_transfers"].get<int>(), 1);
  EXPECT_EQ(report["pool_blocks_leaked"], 0);
  EXPECT_EQ(report["verifier_violations"], 0);
  EXPECT_TRUE(report["bus_utilisation"].is_null());  // no frames under instant timing
}

INSTANTIATE_TEST_SUITE_P(Sizes, PrintSizes, ::testing::Values(1, 63, 64, 4095, 4096, 4097, 100'000));

using PrintTest = CliTest;

TEST_F(PrintTest, MaxTransferSizeSetsTheRequestSize) {
  const auto file = WriteFile("doc.bin", Document(10'000));
  const CliResult result =
      Run({"print", file.string(), "--timing", "instant", "--json", "--set", "MaxTransferSize=1000"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Json()["write_requests"], 10);
  EXPECT_EQ(result.Json()["max_transfer_size"], 1000);
  EXPECT_EQ(result.Json()["match"], true);
}

TEST_F(PrintTest, FullSpeedStaysUnderTheBulkLimit) {
  const auto file = WriteFile("doc.bin", Document(64 * 1024));
  const CliResult result = Run({"print", file.string(), "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto report = result.Json();
  EXPECT_EQ(report["match"], true);
  // 64 KiB cannot cross the bus in fewer than 54 frames of 1216 bytes.
  EXPECT_GE(report["model_seconds"].get<double>(), 0.054);
  EXPECT_GT(report["bus_utilisation"].get<double>(), 0.0);
  EXPECT_LE(report["bus_utilisation"].get<double>(), 1.0);
  EXPECT_NEAR(report["bytes_per_second"].get<double>(), 65536 / report["model_seconds"].get<double>(), 1.0);
}

TEST_F(PrintTest, StandardInputAndSecondPort) {
  const auto file = WriteFile("doc.bin", Document(5000));
  const CliResult result = Run({"print", "-", "--timing", "instant", "--json", "--bridges", "2", "--port", "NorvUSB2",
                                "--out", Path("out.prn").string()},
                               file.string());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Json()["port"], "NorvUSB2");
  EXPECT_EQ(ReadFile(Path("out.prn")), Document(5000));
}

// As lp: no FILE reads standard input, -d names the port, -n the copies.
TEST_F(PrintTest, TheHabitsOfLp) {
  const auto file = WriteFile("doc.bin", Document(5000));
  const std::string out = Path("out.prn").string();
  const CliResult piped =
      Run({"print", "-d", "NorvUSB2", "--bridges", "2", "--timing", "instant", "--json", "--out", out}, file.string());
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.Json()["port"], "NorvUSB2");
  EXPECT_EQ(ReadFile(out), Document(5000));
  const CliResult copies = Run({"print", file.string(), "-n", "3", "--timing", "instant", "-q", "--out", out});
  ASSERT_EQ(copies.status, 0) << copies.err;
  EXPECT_EQ(ReadFile(out), Document(5000) + Document(5000) + Document(5000));
}

TEST_F(PrintTest, HumanReportAndQuiet) {
  const auto file = WriteFile("doc.bin", Document(3000));
  const CliResult report = Run({"print", file.string(), "--timing", "instant"});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("3000 bytes by the printer: identical to the file"), std::string::npos) << report.out;
  EXPECT_EQ(report.err, "");  // no progress bar when standard error is not a terminal

  const CliResult quiet = Run({"print", file.string(), "--timing", "instant", "--quiet"});
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
}

TEST_F(PrintTest, OfflinePrinterStopsThePrintWithWhatWasDelivered) {
  const auto file = WriteFile("doc.bin", Document(40'000));
  const CliResult result = Run({"print", file.string(), "--json", "--offline-after", "10000", "--stall-timeout", "0.3",
                                "--out", Path("out.prn").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_ONE_ERROR_LINE(result, "10000 of 40000 bytes delivered");
  EXPECT_NE(result.err.find("off line"), std::string::npos);
  const auto report = result.Json();
  EXPECT_EQ(report["bytes_received"], 10000);
  EXPECT_EQ(report["match"], false);
  EXPECT_EQ(report["complete"], false);
  EXPECT_EQ(report["pool_blocks_leaked"], 0);
  EXPECT_EQ(report["verifier_violations"], 0);
  EXPECT_EQ(ReadFile(Path("out.prn")), Document(10'000));
}

TEST_F(PrintTest, UnpluggedBridgeEndsThePrint) {
  const auto file = WriteFile("doc.bin", Document(40'000));
  const CliResult result = Run({"print", file.string(), "--timing", "instant", "--json", "--unplug-after", "8192"});
  EXPECT_EQ(result.status, 1);
  EXPECT_ONE_ERROR_LINE(result, "8192 of 40000 bytes delivered");
  const auto report = result.Json();
  EXPECT_EQ(report["bytes_written"], 8192);
  EXPECT_EQ(report["bytes_received"], 8192);
  EXPECT_EQ(report["pool_blocks_leaked"], 0);
  EXPECT_EQ(report["verifier_violations"], 0);
}

TEST_F(PrintTest, SlowPrinterSetsThePace) {
  const auto file = WriteFile("doc.bin", Document(20'000));
  const CliResult result = Run({"print", file.string(), "--json", "--printer-rate", "50000"});
  ASSERT_EQ(result.status, 0) << result.err;
  // 20000 bytes at 50000 B/s: 0.4 s, the bus being far faster.
  EXPECT_NEAR(result.Json()["model_seconds"].get<double>(), 0.4, 0.05);
}

// The capture, read by tshark: the start sequence's vendor requests in order,
// then nothing but bulk OUT for the print, then the port status polls (vendor
// sub-command 5) while the printer drains.
TEST_F(PrintTest, CaptureShowsStartSequenceThenBulkOutThenStatusPolls) {
  ASSERT_TRUE(support::HasTool("tshark")) << "tshark is missing: scripts/install-deps.sh installs it";
  const auto file = WriteFile("doc.bin", Document(9000));
  const auto pcap = Path("cap.pcap");
  ASSERT_EQ(Run({"print", file.string(), "--timing", "instant", "--quiet", "--pcap", pcap.string()}).status, 0);

  const std::string fields = Path("fields.txt").string();
  const std::string command = "tshark -r " + Quote(pcap.string()) +
                              " -T fields -E separator=, -e usb.irp_info.direction -e usb.function"
                              " -e usb.transfer_type -e usb.endpoint_address -e usb.setup.bRequest"
                              " -e usb.setup.wValue -e usb.setup.wIndex -e usb.setup.wLength -e usb.data_len > " +
                              Quote(fields) + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(fields);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> cells;
    size_t at = 0;
    for (size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
      cells.push_back(line.substr(at, comma - at));
    cells.push_back(line.substr(at));
    rows.push_back(cells);
  }
  // Vendor submissions (function 0x0017, direction 0): wValue, wIndex, wLength.
  std::vector<std::string> vendor;
  std::vector<size_t> at;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i][1] == "0x0017" && rows[i][0] == "0x00") {
      vendor.push_back(rows[i][4] + "/" + rows[i][5] + "/" + rows[i][6] + "/" + rows[i][7]);
      at.push_back(i);
    }
  }
  ASSERT_GE(vendor.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(vendor.begin(), vendor.begin() + 3),
            (std::vector<std::string>{"4/0x0002/260/8", "4/0x0001/0/1024", "4/0x0003/0/8"}));
  for (size_t i = 3; i < vendor.size(); ++i) EXPECT_EQ(vendor[i], "4/0x0005/5/8") << "poll " << i;
  // Between the start sequence's last completion and the first poll: bulk
  // OUT only, 9000 bytes.
  uint64_t bulkBytes = 0;
  for (size_t i = at[2] + 2; i < at[3]; ++i) {
    EXPECT_EQ(rows[i][1], "0x0009") << "row " << i;
    EXPECT_EQ(rows[i][2], "0x03") << "row " << i;
    EXPECT_EQ(rows[i][3], "0x01") << "row " << i;
    if (rows[i][0] == "0x00") bulkBytes += std::stoull(rows[i][8]);
  }
  EXPECT_EQ(bulkBytes, 9000u);
}

}  // namespace

namespace {

// The port status requests (vendor sub-command 5) a capture holds.
size_t PortStatusRequests(const std::filesystem::path &pcap, const std::filesystem::path &fields) {
  const std::string command = "tshark -r '" + pcap.string() +
                              "' -T fields -E separator=, -e usb.irp_info.direction -e usb.function"
                              " -e usb.setup.bRequest -e usb.setup.wValue > '" + fields.string() + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return 0;
  std::ifstream in(fields);
  size_t count = 0;
  for (std::string line; std::getline(in, line);)
    if (line == "0x00,0x0017,4,0x0005") ++count;
  return count;
}

struct StallCase {
  std::string name;
  size_t size;          // the document
  std::string offline;  // --offline-after
};

class StatusPollRate : public CliTest, public ::testing::WithParamInterface<StallCase> {};

// While the printer takes nothing the bridge is asked once a second, as
// docs/cli.md says: a 2 s stall shows two or three requests (and the one
// that names the holdup), whether the write is still pending or the bridge
// holds the last bytes.
TEST_P(StatusPollRate, IsOnceASecondWhileThePrinterTakesNothing) {
  ASSERT_TRUE(support::HasTool("tshark")) << "tshark is missing: scripts/install-deps.sh installs it";
  const auto file = WriteFile("doc.bin", Document(GetParam().size));
  const CliResult result = Run({"print", file.string(), "--timing", "instant", "--quiet", "--offline-after",
                                GetParam().offline, "--stall-timeout", "2", "--pcap", Path("cap.pcap").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_ONE_ERROR_LINE(result, "the printer took no data for 2 s (status lines");
  const size_t polls = PortStatusRequests(Path("cap.pcap"), Path("fields.txt"));
  EXPECT_GE(polls, 2u);
  EXPECT_LE(polls, 4u);
}

INSTANTIATE_TEST_SUITE_P(Stalls, StatusPollRate,
                         ::testing::Values(StallCase{"WritePending", 40'000, "10000"},
                                           StallCase{"BridgeHoldsTheLastBytes", 3000, "1000"}),
                         [](const auto &info) { return info.param.name; });

}  // namespace

namespace {

using TimingTest = CliTest;

// real-time: the same frames as full-speed, model time held to the wall clock.
TEST_F(TimingTest, RealTimeKeepsPaceWithTheWallClock) {
  const auto file = WriteFile("doc.bin", Document(64 * 1024));
  const auto start = std::chrono::steady_clock::now();
  const CliResult result = Run({"print", file.string(), "--timing", "real-time", "--json"});
  const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(result.status, 0) << result.err;
  const auto report = result.Json();
  EXPECT_EQ(report["timing"], "real-time");
  EXPECT_GE(report["model_seconds"].get<double>(), 0.054);  // 54 frames at least
  EXPECT_GE(real, report["model_seconds"].get<double>());
  EXPECT_GT(report["bus_utilisation"].get<double>(), 0.0);
}

// Free-running or seeded, a run repeats its figures exactly: the demo's are
// the README's.
TEST_F(TimingTest, RunsRepeatTheirFigures) {
  std::vector<nlohmann::json> reports;
  for (const std::vector<std::string> &mode : {std::vector<std::string>{}, {}, {"--seed", "1"}, {"--seed", "7"}}) {
    std::vector<std::string> args = {"print", "examples/testpage.ps", "--json"};
    args.insert(args.end(), mode.begin(), mode.end());
    const CliResult result = RunFrom(NORVUSB_SOURCE_DIR, args);
    ASSERT_EQ(result.status, 0) << result.err;
    reports.push_back(result.Json());
  }
  for (const auto &report : reports) {
    EXPECT_EQ(report["model_seconds"], reports[0]["model_seconds"]);
    EXPECT_EQ(report["control_transfers"], reports[0]["control_transfers"]);
  }
  EXPECT_DOUBLE_EQ(reports[0]["model_seconds"].get<double>(), 0.133);  // README.md, docs/cli.md
  EXPECT_NEAR(reports[0]["bus_utilisation"].get<double>(), 0.821, 0.0005);
}

}  // namespace
