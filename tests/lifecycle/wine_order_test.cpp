// The orders Wine's I/O manager brings and the platform's never does: a close
// while a request is still in the driver, and a handle whose open the driver
// refused. Neither may reach a freed buffer or act on the owner's port.
#include <gtest/gtest.h>

#include "host/kernel/scheduler.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

using host::usb::RequestKind;

class WineOrderTest : public LifecycleTest {
 protected:
  bool WaitForBulkIn() {
    return host::sched::PollUntil(
        [&] { return machine_->Bus().Faults(machine_->Port(0)).Seen(RequestKind::BulkIn) >= 1; }, 10'000'000,
        "the read below the driver");
  }
};

// The close cancels the read in flight and waits for it before the bounce
// buffer goes; data that comes afterwards waits for the next opener.
TEST_F(WineOrderTest, ACloseWithAReadInFlightCancelsTheReadBeforeTheBufferGoes) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  uint8_t buffer[64] = {};
  auto read = port.StartRead(buffer, sizeof buffer);
  ASSERT_TRUE(WaitForBulkIn());

  IO_STACK_LOCATION close{};
  close.FileObject = port.FileObject();
  SentIrp sent = Send(Fdo(0), IRP_MJ_CLOSE, 0, close);
  ASSERT_TRUE(sent.Wait());
  EXPECT_EQ(sent.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(read->Wait(10'000'000));
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(Extension(0)->TransferBuffer, nullptr);
  EXPECT_EQ(Extension(0)->TransferBusy, 0);

  machine.Printer(0).QueueBackChannel("late");
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);  // the handle's own close finds nothing left to do
  host::DeviceHandle next;
  ASSERT_EQ(next.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  host::IoResult late = next.Read(buffer, sizeof buffer);
  EXPECT_EQ(late.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), late.information), "late");
}

// Wine hands the caller a handle the driver refused: its reads, writes and
// controls are refused, and its close leaves the owner's port as it was.
TEST_F(WineOrderTest, ARefusedOpensHandleNeitherPrintsNorDisturbsTheOwner) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  host::DeviceHandle owner;
  ASSERT_EQ(owner.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  host::OpenOptions wine;
  wine.asWine = true;
  host::DeviceHandle intruder;
  ASSERT_EQ(intruder.Open("\\\\.\\NorvUSB1", wine), STATUS_SUCCESS);

  uint8_t buffer[64] = {'x'};
  EXPECT_EQ(intruder.Write(buffer, 1).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(intruder.Read(buffer, sizeof buffer).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(intruder.DeviceControl(IOCTL_BRIDGE_NOP, nullptr, 0, nullptr, 0).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(intruder.Close(), STATUS_SUCCESS);

  const char text[] = "owner";
  host::IoResult written = owner.Write(text, sizeof text - 1);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  ASSERT_TRUE(machine.Printer(0).WaitForReceived(sizeof text - 1, std::chrono::seconds(10)));
  const auto received = machine.Printer(0).Received();
  EXPECT_EQ(std::string(received.begin(), received.end()), "owner");
}

}  // namespace
}  // namespace lifecycle
