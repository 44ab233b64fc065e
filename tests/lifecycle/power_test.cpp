// Power requests to the bridge, with a lower stack that
// passes, fails or holds a change to D0.
#include <gtest/gtest.h>

#include <thread>

#include "host/kernel/scheduler.h"
#include "tests/support/power_policy.h"
#include "tests/support/test_thread.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

class PowerTest : public LifecycleTest {
 protected:
  void SetUp() override {
    LifecycleTest::SetUp();
    Boot();
    UseLowerFilter();
    machine_->Plug(PlanWith(kAcmeDeviceId));
    fdo_ = Fdo(0);
    ASSERT_NE(fdo_, nullptr);
  }
  LONG GateCount() const { return Extension(0)->PendingIoCount; }

  PDEVICE_OBJECT fdo_ = nullptr;
};

// The power route (IRP_MJ_POWER); on the Plug and Play route minor code 0x17
// is a surprise removal, not a power request.
class PowerRouteTest : public PowerTest {
 protected:
  // What the USB stack answers to a request that goes all the way down: it
  // leaves an unknown power request as it came.
  static constexpr NTSTATUS kLowerAnswer = STATUS_NOT_SUPPORTED;
};

TEST_F(PowerRouteTest, AChangeToD3GoesDownAndKeepsTheLowerStatus) {
  SentIrp d3 = Send(fdo_, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD3));
  EXPECT_EQ(GateCount(), 1);
  ASSERT_TRUE(d3.Wait());
  // Pended when the force-pending filter below pends it.
  EXPECT_EQ(d3.returned == STATUS_PENDING ? d3.Status() : d3.returned, kLowerAnswer);
  EXPECT_EQ(d3.Status(), kLowerAnswer);
  EXPECT_EQ(Script().d0Seen.load(), 0);
}

TEST_F(PowerRouteTest, AChangeToD0ThatFailsBelowEndsInSuccess) {
  Script().toD0 = D0Answer::Fail;
  SentIrp d0 = Send(fdo_, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD0));
  ASSERT_TRUE(d0.Wait());
  // Returned as completed: a caller takes the returned status when the
  // request was not pended.
  EXPECT_EQ(d0.returned, STATUS_SUCCESS);
  EXPECT_EQ(d0.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Script().d0Seen.load(), 1);
  EXPECT_EQ(GateCount(), 1);
}

TEST_F(PowerRouteTest, AChangeToD0PendedBelowHoldsTheGateUntilItCompletes) {
  Script().toD0 = D0Answer::Hold;
  SentIrp d0 = Send(fdo_, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD0));
  EXPECT_EQ(d0.returned, STATUS_PENDING);
  EXPECT_FALSE(d0.Done());
  EXPECT_EQ(GateCount(), 2);

  ASSERT_TRUE(ReleaseHeldRequest(STATUS_UNSUCCESSFUL));
  ASSERT_TRUE(d0.Wait());
  EXPECT_EQ(d0.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(d0.PendingReturned());
  EXPECT_EQ(GateCount(), 1);
}

TEST_F(PowerRouteTest, ASystemStateChangeIsFinished) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.Power.Type = SystemPowerState;
  parameters.Parameters.Power.State.SystemState = PowerSystemSleeping3;
  SentIrp system = Send(fdo_, IRP_MJ_POWER, 0x17, parameters);
  ASSERT_TRUE(system.Wait());
  EXPECT_EQ(system.Status(), kLowerAnswer);
  EXPECT_EQ(GateCount(), 1);
}

TEST_F(PowerRouteTest, MinorCode0x18IsRefusedAndNeverGoesDown) {
  SentIrp refused = Send(fdo_, IRP_MJ_POWER, 0x18);
  ASSERT_TRUE(refused.Wait());
  EXPECT_EQ(refused.returned, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused.Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Script().pnpSeen[0x18].load(), 0);
  EXPECT_EQ(GateCount(), 1);
}

TEST_F(PowerRouteTest, OtherMinorCodesAreFinished) {
  for (UCHAR minor : {UCHAR(0x15), UCHAR(0x16), UCHAR(0x00), UCHAR(0x01), UCHAR(0x02), UCHAR(0x03)}) {
    SentIrp other = Send(fdo_, IRP_MJ_POWER, minor);
    ASSERT_TRUE(other.Wait()) << int(minor);
    EXPECT_EQ(GateCount(), 1) << int(minor);
  }
}

TEST_F(PowerTest, TheManagersDeviceAndSystemTransitionsComplete) {
  // The test is the bridge's power policy owner: the driver is not one.
  PDEVICE_OBJECT bridge = BridgeNode(0)->pdo;
  EXPECT_EQ(support::RequestDevicePower(bridge, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(BridgeNode(0)->powerState, PowerDeviceD3);
  EXPECT_EQ(support::RequestDevicePower(bridge, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(support::RequestDevicePower(bridge, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(BridgeNode(0)->powerState, PowerDeviceD0);
  EXPECT_EQ(GateCount(), 1);

  // Still a working port afterwards.
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  const char text[] = "after sleep";
  EXPECT_EQ(port.Write(text, sizeof text).status, STATUS_SUCCESS);
}

// Only the Windows 98 generation sends a remove with a handle open: it knows
// no surprise removal, so an unplug is followed at once by the remove.
class Windows98PowerTest : public PowerTest {
 protected:
  Windows98PowerTest() { kernelOptions_.wdmVersion = 0x0100; }
};

TEST_F(Windows98PowerTest, RemoveWaitsForAChangeToD0AndRefusesPowerMeanwhile) {
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  Script().toD0 = D0Answer::Hold;
  SentIrp d0 = Send(fdo_, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD0));
  ASSERT_EQ(d0.returned, STATUS_PENDING);

  FdoExtension *extension = Extension(0);
  TestThread remover([&] { machine_->Unplug(0); });
  ASSERT_TRUE(host::sched::PollUntil([&] { return host::EventWaiters(&extension->RemoveEvent) > 0; }, 10'000'000,
                                     "the remove's wait for the gate"));

  // Remove has begun and cannot end while the change to D0 holds the gate.
  // (Only on the power route: on the Plug and Play route 0x17 is a surprise
  // removal, which the manager never sends to a device it is removing.)
  SentIrp late = Send(fdo_, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD3));
  ASSERT_TRUE(late.Wait());
  EXPECT_EQ(late.returned, STATUS_DELETE_PENDING);
  EXPECT_EQ(late.Status(), STATUS_DELETE_PENDING);
  const char text[] = "late";
  host::IoResult write = port.Write(text, sizeof text);
  EXPECT_EQ(write.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(write.information, 0u);
  EXPECT_FALSE(d0.Done());

  ASSERT_TRUE(ReleaseHeldRequest(STATUS_SUCCESS));
  remover.join();
  ASSERT_TRUE(d0.Wait());
  EXPECT_EQ(d0.Status(), STATUS_SUCCESS);
  EXPECT_EQ(fdo_->DeviceExtension, nullptr);  // the handle keeps an inert device
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  // That generation defers no deletion: the inert device stays, name and all.
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), fdo_);

  // The remove went down with the handle open: the rest of the stack is gone.
  EXPECT_EQ(Script().filtersAlive.load(), 0);
  IoDeleteDevice(fdo_);  // what that system never does; the kernel's leak check wants it gone
}

}  // namespace
}  // namespace lifecycle
