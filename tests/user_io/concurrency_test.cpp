// Requests from several threads on several bridges, completions on the host
// controller's thread, and the reset sequence racing a completing read.
#include <atomic>
#include <thread>

#include "tests/support/test_thread.h"
#include "tests/user_io/user_io_fixture.h"

namespace userio {
namespace {

using host::usb::RequestKind;

class ResetRaceTest : public UserIoTest {};

TEST_F(ResetRaceTest, AResetRacingACompletingReadNeverMeetsAFreedOrHalfFilledRecord) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  // The reset sequence sleeps a model second, which costs no real time.
  host::hardware::Printer &printer = machine_->Printer(0);
  // Every third round the byte comes only after the reset (the read is surely
  // cancelled), every third the read has completed before the reset (nothing
  // to cancel); the rest race the reset against the completion for real.
  enum class Order { ResetFirst, ReadFirst, Race };
  int cancelled = 0, completed = 0, raced = 0;
  for (int i = 0; i < 2000; ++i) {
    const Order order = static_cast<Order>(i % 3);
    std::vector<uint8_t> buffer(64, 0xEE);
    auto read = port.StartRead(buffer.data(), ULONG(buffer.size()));  // the back channel is empty: pending
    const uint8_t byte = static_cast<uint8_t>(i);
    auto feed = [&] { printer.QueueBackChannel(std::span<const uint8_t>(&byte, 1)); };
    if (order == Order::ReadFirst) {
      feed();
      ASSERT_TRUE(read->Wait(60 * kSecond)) << "iteration " << i;
    }
    TestThread feeder([&] {
      if (order == Order::Race) feed();
    });
    host::IoResult reset = port.DeviceControl(IOCTL_BRIDGE_RESET_DEVICE, nullptr, 0, nullptr, 0);
    feeder.join();
    if (order == Order::ResetFirst) feed();
    ASSERT_EQ(reset.status, STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait(60 * kSecond)) << "iteration " << i;
    host::IoResult result = read->Result();
    if (result.status == STATUS_CANCELLED) {
      ASSERT_NE(order, Order::ReadFirst) << "iteration " << i;
      ASSERT_EQ(result.information, 0u);
      ASSERT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));
      ++cancelled;
      // A byte not yet taken would answer the next read at once.
      if (printer.BackChannelSize() != 0) {
        host::IoResult drain = port.Read(buffer.data(), ULONG(buffer.size()));
        ASSERT_EQ(drain.status, STATUS_SUCCESS);
        ASSERT_EQ(drain.information, 1u);
      }
    } else {
      ASSERT_NE(order, Order::ResetFirst) << "iteration " << i;
      ASSERT_EQ(result.status, STATUS_SUCCESS) << "iteration " << i;
      ASSERT_EQ(result.information, 1u);
      ASSERT_EQ(buffer[0], byte);
      ++completed;
    }
    if (order == Order::Race) ++raced;
    ASSERT_EQ(Fdo(0)->CurrentTransfer, nullptr);
    ASSERT_EQ(Fdo(0)->TransferBusy, 0);
  }
  EXPECT_GE(cancelled, 667);
  EXPECT_GE(completed, 667);
  RecordProperty("raced", raced);
  RecordProperty("cancelled", cancelled);
  RecordProperty("completed", completed);
}

// Threads, not time-outs: under virtual time no synchronous USB request runs
// into its 2-second limit, however loaded the machine.
class ConcurrencyTest : public UserIoTest {
 protected:
  ConcurrencyTest() = default;
};

TEST_F(ConcurrencyTest, ReadsWritesAndControlsOnSeveralThreadsAndBridgesLoseNothing) {
  constexpr size_t kBridges = 3;
  BootWith(kBridges);
  WritersReadersAndControls(kBridges, {.printBytes = 200'000, .answerBytes = 6'400, .readSize = 640, .controlRounds = 67, .patternSeed = 100});
}

}  // namespace
}  // namespace userio
