// The power manager: device power through PoCallDriver down a stack, one
// power request at a time per device, and system sleep and wake.
#include <gtest/gtest.h>

#include <thread>

#include "host/kernel/scheduler.h"
#include "tests/support/test_thread.h"
#include "tests/kernel/pnp_toy_drivers.h"

namespace {

class PowerManagerTest : public PnpFixture {};

toy::ChildSpec Widget(std::u16string instance) {
  toy::ChildSpec wanted;
  wanted.instanceId = std::move(instance);
  return wanted;
}

std::vector<ULONG> DeviceStatesSeen(toy::Bus &bus, const toy::Child &child) {
  std::lock_guard lock(bus.mutex);
  std::vector<ULONG> states;
  for (const auto &[type, state] : child.powerSeen) {
    if (type == DevicePowerState) states.push_back(state);
  }
  return states;
}

TEST_F(PowerManagerTest, DeviceGoesToD3AndBackToD0ThroughItsStack) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const std::string path = Node(*bus.children[0]).instancePath;

  EXPECT_EQ(host::pnp::SetDevicePower(path, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD3);
  EXPECT_EQ(host::pnp::SetDevicePower(path, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD0);
  // The function driver passed both down with PoCallDriver to the PDO.
  EXPECT_EQ(DeviceStatesSeen(bus, *bus.children[0]), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));

  auto log = host::pnp::PowerRequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(log[0].type, DevicePowerState);
  EXPECT_EQ(log[0].state, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(log[1].status, STATUS_SUCCESS);

  EXPECT_EQ(host::pnp::SetDevicePower(path, PowerDeviceMaximum), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::pnp::SetDevicePower("TOY\\NONE\\1", PowerDeviceD3), STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(PowerManagerTest, APowerRequestWaitsUntilTheDevicesActiveOneIsStartedNext) {
  UseFunctionDriver();
  toy::ChildSpec held = Widget(u"1");
  held.holdPowerIrps = 1;
  toy::Bus &bus = AddBus({held});
  toy::Child &child = *bus.children[0];
  const std::string path = Node(child).instancePath;

  NTSTATUS first = STATUS_PENDING;
  TestThread sender([&] { first = host::pnp::SetDevicePower(path, PowerDeviceD3); });
  host::sched::PollUntil([&] { return !DeviceStatesSeen(bus, child).empty(); }, 10'000'000, "the held power request");
  ASSERT_EQ(DeviceStatesSeen(bus, child).size(), 1u);

  // A second set-power request for the PDO is held back while the first is active.
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(child.pdo->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = PowerDeviceD2;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(PoCallDriver(child.pdo, irp), STATUS_PENDING);
  EXPECT_EQ(DeviceStatesSeen(bus, child).size(), 1u);

  bus.ReleaseHeldPower(child);
  sender.join();
  EXPECT_EQ(first, STATUS_SUCCESS);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10LL * 10'000'000;
  ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(DeviceStatesSeen(bus, child), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD2}));
  IoFreeIrp(irp);
}

TEST_F(PowerManagerTest, SystemSleepQueriesAndSetsChildrenFirstThenWakesParentsFirst) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const std::string child = Node(*bus.children[0]).instancePath;
  const std::string parent = BusPath(0);

  EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(host::pnp::CurrentSystemPowerState(), PowerSystemSleeping3);
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD3);
  auto sleep = host::pnp::PowerRequestLog();
  ASSERT_EQ(sleep.size(), 6u);
  // Queries first, children before their bus; then system and device set-power.
  EXPECT_EQ(sleep[0].instancePath, child);
  EXPECT_EQ(sleep[0].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(sleep[1].instancePath, parent);
  EXPECT_EQ(sleep[1].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(sleep[2].instancePath, child);
  EXPECT_EQ(sleep[2].type, SystemPowerState);
  EXPECT_EQ(sleep[3].instancePath, child);
  EXPECT_EQ(sleep[3].type, DevicePowerState);
  EXPECT_EQ(sleep[3].state, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(sleep[4].instancePath, parent);

  host::pnp::ClearPowerRequestLog();
  EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  auto wake = host::pnp::PowerRequestLog();
  ASSERT_EQ(wake.size(), 4u);
  EXPECT_EQ(wake[0].instancePath, parent);
  EXPECT_EQ(wake[3].instancePath, child);
  EXPECT_EQ(wake[3].state, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD0);
}

TEST_F(PowerManagerTest, RefusedSleepQueryKeepsTheSystemWorking) {
  toy::ChildSpec refusing = Widget(u"1");
  refusing.refuseQueryPower = true;
  toy::Bus &bus = AddBus({refusing});
  EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host::pnp::CurrentSystemPowerState(), PowerSystemWorking);
  auto log = host::pnp::PowerRequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(log[0].status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(log[1].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(log[1].state, static_cast<ULONG>(PowerSystemWorking));
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD0);
}

}  // namespace
