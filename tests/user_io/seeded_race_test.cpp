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
  auto scenario = [&](uint64_t seed) {
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
  };
  ForEachSeed(scenario);
  // The suite's seeds reach both outcomes of the race. About one seed in a
  // hundred and fifty completes the read first, so the suite's run goes on
  // up to seed 600 until one has; a range of seeds elsewhere (a chunk of
  // `make explore`) may meet only cancels.
  if (SeedsToRun().first == 1 && SeedsToRun().count >= 200) {
    for (uint64_t seed = SeedsToRun().count + 1; completed == 0 && seed <= 600 && !HasFailure(); ++seed) {
      scenario(seed);
    }
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
    WritersReadersAndControls(kBridges, {.printBytes = 3 * kDefaultMax, .answerBytes = 200, .patternSeed = uint32_t(seed)});
    EndRun();
  });
}

}  // namespace
}  // namespace userio
