// A seeded run of the whole machine is a function of its seed alone: the same
// schedule and the same capture file, byte for byte, run after run and in
// another process (where every address differs).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>

#include <unistd.h>

#include "host/kernel/scheduler.h"
#include "include/bridge_ioctl.h"
#include "tests/support/machine_fixture.h"

namespace {

struct Outcome {
  uint64_t digest = 0;
  std::string capture;
};

std::string ReadAll(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RepeatTest : public MachineFixture {
 protected:
  // Plugs a bridge into a seeded machine at full speed, prints and asks for
  // the port status, unplugs; the capture covers it all.
  Outcome RunOnce(uint64_t seed, const std::filesystem::path &capture) {
    StartRun(seed);
    host::MachineOptions options;
    options.kernel.seed = seed;
    options.capture = capture;
    host::Machine &machine = Boot(options);
    machine.Plug();
    {
      host::DeviceHandle port;
      EXPECT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
      std::vector<uint8_t> page(4096);
      std::iota(page.begin(), page.end(), 0);
      EXPECT_EQ(port.Write(page.data(), ULONG(page.size())).information, page.size());
      uint8_t status[8];
      port.DeviceControl(IOCTL_BRIDGE_VENDOR_5, nullptr, 0, status, sizeof status);
    }
    machine.Unplug(0);
    machine.WaitIdle();
    EXPECT_EQ(machine.StopCapture(), "");
    const uint64_t digest = host::sched::ScheduleDigest();
    EndRun();
    return {digest, ReadAll(capture)};
  }

  // One folder per run of the test, handed to the other process through
  // the environment it inherits.
  static std::filesystem::path Temp(const std::string &name) {
    static const std::filesystem::path folder = [] {
      if (const char *given = std::getenv("NORVUSB_REPEAT_FOLDER")) return std::filesystem::path(given);
      auto made = std::filesystem::temp_directory_path() / ("norvusb-repeat-" + std::to_string(::getpid()));
      std::filesystem::create_directories(made);
      ::setenv("NORVUSB_REPEAT_FOLDER", made.c_str(), 1);
      return made;
    }();
    return folder / name;
  }
};

TEST_F(RepeatTest, ASeededRunGivesTheSameScheduleAndCaptureInEveryRunAndProcess) {
  const Outcome first = RunOnce(1284, Temp("first.pcap"));
  const Outcome again = RunOnce(1284, Temp("again.pcap"));
  ASSERT_GT(first.capture.size(), 1000u);
  EXPECT_EQ(again.digest, first.digest);
  EXPECT_TRUE(again.capture == first.capture) << "the second capture differs";

  // Another process: a fresh copy of this program runs the same seed and
  // leaves its digest and capture where this one reads them.
  const auto other = Temp("other");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const Outcome run = RunOnce(1284, other.string() + ".pcap");
        std::ofstream(other.string() + ".digest") << run.digest;
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  uint64_t otherDigest = 0;
  std::istringstream(ReadAll(other.string() + ".digest")) >> otherDigest;
  EXPECT_EQ(otherDigest, first.digest);
  EXPECT_TRUE(ReadAll(other.string() + ".pcap") == first.capture) << "the other process's capture differs";

  // And another seed takes another schedule.
  EXPECT_NE(RunOnce(1285, Temp("another.pcap")).digest, first.digest);
  std::filesystem::remove_all(Temp("first.pcap").parent_path());
}

}  // namespace
