// The user I/O races under the seeded scheduler: each seed a fresh machine
// whose threads run one at a time and switch at kernel calls as the seed
// decides. A failing seed prints the command that replays it.
#include <atomic>

#include "host/kernel/scheduler.h"
#include "tests/support/seeds.h"
#include "tests/support/test_thread.h"
#include "tests/user_io/user_io_fixture.h"

namespace userio {
namespace {

class SeededRaceTest : public UserIoTest {};

// The reset sequence against a read that the back channel completes at the
// same time: the read either completes with the byte or is cancelled with
// nothing, and the transfer record is gone either way.
TEST_F(SeededRaceTest, AResetRacingACompletingRead) {
  int cancelled = 0, completed = 0;
  ForEachSeed([&](uint64_t seed) {
    StartRun(seed);
    BootWith(1);
    host::DeviceHandle port;
    ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64, 0xEE);
    auto read = port.StartRead(buffer.data(), ULONG(buffer.size()));
    const uint8_t byte = 0x5A;
    TestThread feeder([&] { machine_->Printer(0).QueueBackChannel(std::span<const uint8_t>(&byte, 1)); });
    host::IoResult reset = port.DeviceControl(IOCTL_BRIDGE_RESET_DEVICE, nullptr, 0, nullptr, 0);
    feeder.join();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait(60 * kSecond));
    const host::IoResult result = read->Result();
    if (result.status == STATUS_CANCELLED) {
      ++cancelled;
      EXPECT_EQ(result.information, 0u);
      EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));
    } else {
      ++completed;
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, 1u);
      EXPECT_EQ(buffer[0], byte);
    }
    EXPECT_EQ(Fdo(0)->CurrentTransfer, nullptr);
    EXPECT_EQ(Fdo(0)->TransferBusy, 0);
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_GT(host::sched::SwitchCount(), 0u);
    EndRun();
  });
  // The seeds reach both outcomes of the race.
  if (SeedsToRun().count >= 50) {
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(completed, 0);
  }
  RecordProperty("cancelled", cancelled);
  RecordProperty("completed", completed);
}

// Three bridges, each with a writer, a reader and a device-control thread:
// nothing is lost or duplicated, whatever the interleaving.
TEST_F(SeededRaceTest, WritersReadersAndControlsOnThreeBridges) {
  constexpr size_t kBridges = 3;
  ForEachSeed([&](uint64_t seed) {
    StartRun(seed);
    BootWith(kBridges);
    std::vector<host::DeviceHandle> ports(kBridges);
    std::vector<std::vector<uint8_t>> prints, answers, heard(kBridges);
    for (size_t b = 0; b < kBridges; ++b) {
      ASSERT_EQ(ports[b].Open(DosName(b)), STATUS_SUCCESS);
      prints.push_back(Pattern(3 * kDefaultMax + 100 * b, uint32_t(seed + b)));
      answers.push_back(Pattern(200, uint32_t(seed + 10 + b)));
      machine_->Printer(b).QueueBackChannel(answers[b]);
    }
    std::atomic<int> failures{0};
    std::vector<TestThread> threads;
    for (size_t b = 0; b < kBridges; ++b) {
      host::DeviceHandle &port = ports[b];
      threads.emplace_back([&, b] {
        for (size_t done = 0; done < prints[b].size();) {
          const ULONG size = ULONG(std::min<size_t>(kDefaultMax, prints[b].size() - done));
          host::IoResult r = port.Write(prints[b].data() + done, size);
          if (r.status == STATUS_DEVICE_BUSY) continue;  // a read holds the one transfer: send it again
          if (r.status != STATUS_SUCCESS || r.information != size) ++failures;
          done += size;
        }
      });
      threads.emplace_back([&, b] {
        std::vector<uint8_t> buffer(64);
        while (heard[b].size() < answers[b].size()) {
          host::IoResult r = port.Read(buffer.data(), ULONG(buffer.size()));
          if (r.status == STATUS_DEVICE_BUSY) continue;
          if (r.status != STATUS_SUCCESS) return void(++failures);
          heard[b].insert(heard[b].end(), buffer.begin(), buffer.begin() + r.information);
        }
      });
      threads.emplace_back([&port, &failures] {
        std::vector<uint8_t> out(64);
        for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_NOP}) {
          host::IoResult r = port.DeviceControl(code, nullptr, 0, out.data(), ULONG(out.size()));
          if (r.status != STATUS_SUCCESS || r.information > out.size()) ++failures;
        }
      });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (size_t b = 0; b < kBridges; ++b) {
      ASSERT_TRUE(machine_->Printer(b).WaitForReceived(prints[b].size(), std::chrono::seconds(10)));
      EXPECT_TRUE(machine_->Printer(b).Received() == prints[b]) << "bridge " << b;
      EXPECT_TRUE(heard[b] == answers[b]) << "bridge " << b;
      EXPECT_EQ(Fdo(b)->CurrentTransfer, nullptr);
      EXPECT_EQ(ports[b].Close(), STATUS_SUCCESS);
    }
    EndRun();
  });
}

}  // namespace
}  // namespace userio
