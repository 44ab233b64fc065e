// norvusb print and its outputs as a user meets them: documents of any size
// streamed in bounded memory, every output checked, standard output as an
// output, values validated before any file is touched, jobs of several
// files, and the page drawn from what the printer received.
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>

#include "tests/support/command.h"
#include "tests/tools/cli_runner.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using PrintStreamTest = CliTest;

// The bridge is pulled at several points: the counters of the job must be
// those of the job, never the difference with a port that went away.
TEST_F(PrintStreamTest, CountersAfterAnUnplugAreTheJobsOwn) {
  const auto file = WriteFile("doc.bin", Document(20'000));
  for (const uint64_t at : {0u, 1u, 4096u, 8192u, 10'000u}) {
    const CliResult result =
        Run({"print", file.string(), "--timing", "instant", "--json", "--unplug-after", std::to_string(at)});
    EXPECT_EQ(result.status, 1) << at;
    const auto report = result.Json();
    const uint64_t requests = report["write_requests"];
    EXPECT_EQ(report["bytes_written"], at);
    // Every request that reached the bus ended there; the last one may have
    // been refused before it did.
    EXPECT_LE(report["bulk_transfers"].get<uint64_t>(), requests) << at;
    EXPECT_GE(report["bulk_transfers"].get<uint64_t>() + 1, requests) << at;
    EXPECT_LE(report["control_transfers"].get<uint64_t>(), 2u) << at;
  }
}

// An endless input under a memory limit: the print streams until the cable
// is pulled, and the error is the device's, not the input's.
TEST_F(PrintStreamTest, AnEndlessInputStreamsInBoundedMemory) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
  const std::string command = "ulimit -v 150000 && exec " + Quote(std::string(NORVUSB_BINARY_DIR) + "/norvusb") +
                              " print /dev/zero --timing instant --json --unplug-after 67108864 >" +
                              Quote(Path("stdout").string()) + " 2>" + Quote(Path("stderr").string());
  const int raw = std::system(("sh -c " + Quote(command)).c_str());
  ASSERT_TRUE(WIFEXITED(raw)) << "killed by a signal";
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  const auto report = nlohmann::json::parse(ReadFile(Path("stdout")));
  EXPECT_EQ(report["bytes_received"], 67108864);
  EXPECT_TRUE(report["bytes_total"].is_null());  // /dev/zero has no end
  EXPECT_NE(ReadFile(Path("stderr")).find("the device is gone; 67108864 bytes delivered"), std::string::npos)
      << ReadFile(Path("stderr"));
}

// A pipe has no size until it ends; the digests agree with sha256sum.
TEST_F(PrintStreamTest, StandardInputFromAPipeAndItsDigest) {
  const auto file = WriteFile("doc.bin", Document(70'000));
  const std::string command = "cat " + Quote(file.string()) + " | " +
                              Quote(std::string(NORVUSB_BINARY_DIR) + "/norvusb") +
                              " print - --timing instant --json >" + Quote(Path("stdout").string());
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto report = nlohmann::json::parse(ReadFile(Path("stdout")));
  EXPECT_EQ(report["bytes_total"], 70'000);
  EXPECT_EQ(report["match"], true);
  ASSERT_EQ(std::system(("sha256sum " + Quote(file.string()) + " > " + Quote(Path("sum").string())).c_str()), 0);
  const std::string sum = ReadFile(Path("sum")).substr(0, 64);
  EXPECT_EQ(report["jobs"][0]["sha256"], sum);
  EXPECT_EQ(report["jobs"][0]["received_sha256"], sum);
}

// Every file is checked first but opened only when its turn comes: far more
// files than the process may hold open print as one job.
TEST_F(PrintStreamTest, MoreFilesThanOpenDescriptors) {
  std::string names;
  for (int i = 0; i < 200; ++i) names += " " + Quote(WriteFile("f" + std::to_string(i), "x").string());
  const std::string command = "ulimit -n 64 && exec " + Quote(std::string(NORVUSB_BINARY_DIR) + "/norvusb") +
                              " print" + names + " --timing instant --json >" + Quote(Path("stdout").string());
  ASSERT_EQ(std::system(("sh -c " + Quote(command)).c_str()), 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(Path("stdout")))["bytes_received"], 200);
}

struct FullOutput {
  std::vector<std::string> options;
  bool stdoutFull;
  std::string fragment;
};

// Every output is checked: a full disk is an error, never a success.
TEST_F(PrintStreamTest, AFullOutputIsAnError) {
  const auto file = WriteFile("doc.bin", Document(20'000));
  const FullOutput cases[] = {
      {{"--out", "/dev/full"}, false, "--out /dev/full: the write failed"},
      {{"--pcap", "/dev/full"}, false, "--pcap /dev/full: the write failed"},
      {{}, true, "cannot write standard output"},
      {{"--json"}, true, "cannot write standard output"},
      {{"--out", "-"}, true, "--out standard output: the write failed"},
  };
  for (const FullOutput &c : cases) {
    std::vector<std::string> args = {"print", file.string(), "--timing", "instant"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult result = Run(args, "", c.stdoutFull ? "/dev/full" : "");
    EXPECT_EQ(result.status, 1) << c.fragment;
    EXPECT_NE(result.err.find("norvusb: error: " + c.fragment), std::string::npos) << result.err;
  }
}

// "-" is standard output, as tshark has it; the report moves to standard error.
TEST_F(PrintStreamTest, DashIsStandardOutputAndTheReportMovesToStandardError) {
  const auto file = WriteFile("doc.bin", Document(9000));
  const CliResult out = Run({"print", file.string(), "--timing", "instant", "--out", "-"});
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out, Document(9000));
  EXPECT_NE(out.err.find("identical to the file"), std::string::npos) << out.err;
  EXPECT_FALSE(std::filesystem::exists(Path("-")));

  const CliResult pcap = Run({"print", file.string(), "--timing", "instant", "--json", "--pcap", "-"});
  ASSERT_EQ(pcap.status, 0) << pcap.err;
  ASSERT_GE(pcap.out.size(), 4u);
  EXPECT_EQ(pcap.out.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));  // pcap, little-endian
  EXPECT_EQ(nlohmann::json::parse(pcap.err)["match"], true);
}

// A command line that cannot run leaves the user's files as they were.
TEST_F(PrintStreamTest, ABadCommandLineTouchesNoFile) {
  const auto file = WriteFile("doc.bin", Document(100));
  const auto kept = WriteFile("kept.prn", "precious");
  const std::vector<std::vector<std::string>> cases = {
      {"--pcap", "/no/such/dir/x.pcap"},
      {"--pcap", kept.string()},  // the same file as --out
      {"--port", "NorvUSB2"},
      {"--unplug-after", "-1"},
      {"--device-id", std::string(70'000, 'x')},
  };
  for (const auto &bad : cases) {
    std::vector<std::string> args = {"print", file.string(), "--timing", "instant", "--out", kept.string()};
    args.insert(args.end(), bad.begin(), bad.end());
    const CliResult result = Run(args);
    EXPECT_EQ(result.status, 2) << bad[0] << " " << result.err;
    EXPECT_EQ(ReadFile(kept), "precious") << bad[0];
  }
}

// The hook takes the printer off line at its byte, however slowly it prints.
TEST_F(PrintStreamTest, OfflineAfterFiresAtItsCountWithASlowPrinter) {
  const auto file = WriteFile("doc.bin", Document(3000));
  const CliResult result = Run({"print", file.string(), "--json", "--printer-rate", "140", "--offline-after", "1500",
                                "--stall-timeout", "0.3", "--out", Path("out.prn").string()});
  ASSERT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.Json()["bytes_received"], 1500);
  EXPECT_EQ(ReadFile(Path("out.prn")), Document(1500));
}

// The drain is watched through the port's status requests, as a print
// monitor watches it; the JSON error says how much arrived.
TEST_F(PrintStreamTest, AStoppedPrintSaysWhatArrivedInTheJsonToo) {
  const auto file = WriteFile("doc.bin", Document(5000));
  const CliResult result =
      Run({"print", file.string(), "--json", "--offline-after", "2000", "--stall-timeout", "0.3"});
  EXPECT_EQ(result.status, 1);
  const auto report = result.Json();
  EXPECT_NE(report["error"].get<std::string>().find("off line"), std::string::npos);
  EXPECT_NE(report["error"].get<std::string>().find("2000 of 5000 bytes delivered"), std::string::npos);
  EXPECT_GE(report["control_transfers"].get<int>(), 1);  // the status polls
}

struct Words {
  size_t size;
  std::vector<std::string> options;
  std::string line;  // the report's "received" line
};

TEST_F(PrintStreamTest, TheReportCountsInWords) {
  const Words cases[] = {
      {1, {}, "received   1 byte by the printer: identical to the file"},
      {3000, {"--offline-after", "0", "--stall-timeout", "0.3"}, "received   0 bytes by the printer: nothing"},
      {3000, {"--offline-after", "1000", "--stall-timeout", "0.3"},
       "received   1000 bytes by the printer: the start of the file, intact"},
  };
  for (const Words &c : cases) {
    const auto file = WriteFile("doc.bin", Document(c.size));
    std::vector<std::string> args = {"print", file.string(), "--timing", "instant"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult result = Run(args);
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
  }
}

// Several files: one job for all, as lp prints them, or one job each.
TEST_F(PrintStreamTest, SeveralFilesAsOneJobOrOneJobEach) {
  const auto a = WriteFile("a.bin", Document(5000));
  const auto b = WriteFile("b.bin", Document(7000).substr(100));
  const CliResult one = Run({"print", a.string(), b.string(), "--timing", "instant", "--json", "-t", "Quarterly",
                             "--out", Path("one.prn").string()});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(ReadFile(Path("one.prn")), Document(5000) + Document(7000).substr(100));
  const auto report = one.Json();
  ASSERT_EQ(report["jobs"].size(), 1u);
  EXPECT_EQ(report["jobs"][0]["title"], "Quarterly");
  EXPECT_EQ(report["bytes_total"], 11'900);

  const CliResult each = Run({"print", a.string(), b.string(), "--timing", "instant", "--json", "--job-per-file"});
  ASSERT_EQ(each.status, 0) << each.err;
  const auto jobs = each.Json()["jobs"];
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0]["title"], "a.bin");
  EXPECT_EQ(jobs[1]["title"], "b.bin");
  EXPECT_EQ(jobs[1]["bytes_received"], 6900);
  EXPECT_EQ(each.Json()["bytes_received"], 11'900);
}

// The pixels of a PNG file as 8-bit RGB rows (the format Ghostscript's
// png16m device writes), or nothing when it cannot be read.
std::vector<std::vector<uint8_t>> RgbRows(const std::string &png) {
  std::string idat;
  uint32_t width = 0, height = 0;
  const auto word = [&](size_t at) {
    return uint32_t{uint8_t(png[at])} << 24 | uint32_t{uint8_t(png[at + 1])} << 16 | uint32_t{uint8_t(png[at + 2])} << 8 |
           uint8_t(png[at + 3]);
  };
  for (size_t at = 8; at + 8 <= png.size();) {
    const uint32_t length = word(at);
    const std::string type = png.substr(at + 4, 4);
    if (type == "IHDR") {
      width = word(at + 8);
      height = word(at + 12);
    }
    if (type == "IDAT") idat += png.substr(at + 8, length);
    at += 12 + length;
  }
  const size_t stride = width * 3;
  std::vector<uint8_t> raw((stride + 1) * height);
  uLongf size = raw.size();
  if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef *>(idat.data()), idat.size()) != Z_OK) return {};
  std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(stride));
  for (size_t y = 0; y < height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= 3 ? rows[y][x - 3] : 0, b = y > 0 ? rows[y - 1][x] : 0,
                c = x >= 3 && y > 0 ? rows[y - 1][x - 3] : 0;
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int predictor[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
      rows[y][x] = static_cast<uint8_t>(raw[y * (stride + 1) + 1 + x] + (filter < 5 ? predictor[filter] : 0));
    }
  }
  return rows;
}

// The demo page drawn from what the printer received: a US Letter page at
// 100 pixels per inch, with ink on it but mostly paper.
TEST_F(PrintStreamTest, RenderDrawsTheDemoPage) {
  ASSERT_TRUE(support::HasTool("gs")) << "Ghostscript is missing: scripts/install-deps.sh installs it";
  const CliResult result = Run({"print", std::string(NORVUSB_SOURCE_DIR) + "/examples/testpage.ps", "--timing",
                                "instant", "--json", "--render", Path("page.png").string()});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Json()["render"]["width"], 850);
  EXPECT_EQ(result.Json()["render"]["height"], 1100);
  const auto rows = RgbRows(ReadFile(Path("page.png")));
  ASSERT_EQ(rows.size(), 1100u);
  size_t inked = 0;
  for (const auto &row : rows)
    for (size_t x = 0; x < row.size(); x += 3) inked += row[x] < 128 && row[x + 1] < 128 && row[x + 2] < 128;
  const double share = static_cast<double>(inked) / (850.0 * 1100.0);
  EXPECT_GT(share, 0.02);  // the title, the text and the rings
  EXPECT_LT(share, 0.5);

  // Data that is no page description has nothing to draw.
  const auto binary = WriteFile("doc.bin", Document(1000));
  const CliResult none = Run({"print", binary.string(), "--timing", "instant", "--render", Path("x.png").string()});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("neither PostScript nor PDF"), std::string::npos) << none.err;
}

}  // namespace
