// The power manager: device power through PoCallDriver down a stack, one
// power request at a time per device, and system sleep and wake.
#include <gtest/gtest.h>

#include <thread>

#include "host/kernel/scheduler.h"
#include "tests/support/test_thread.h"
#include "tests/kernel/pnp_toy_drivers.h"
#include "tests/support/power_policy.h"

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
  PDEVICE_OBJECT pdo = bus.children[0]->pdo;

  // The test asks as the device's power policy owner would.
  EXPECT_EQ(support::RequestDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD3);
  EXPECT_EQ(support::RequestDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD0);
  // The function driver passed both down with PoCallDriver to the PDO.
  EXPECT_EQ(DeviceStatesSeen(bus, *bus.children[0]), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));

  auto log = host::pnp::PowerRequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(log[0].type, DevicePowerState);
  EXPECT_EQ(log[0].state, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(log[1].status, STATUS_SUCCESS);

  EXPECT_EQ(support::RequestDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceMaximum), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(support::RequestDevicePower(pdo, IRP_MN_POWER_SEQUENCE, PowerDeviceD3), STATUS_INVALID_PARAMETER_2);
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

  NTSTATUS first = STATUS_PENDING;
  TestThread sender([&] { first = support::RequestDevicePower(child.pdo, IRP_MN_SET_POWER, PowerDeviceD3); });
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

// The power log as "<child|bus> <query|set> <S3|S0|D3|D0>", one entry per
// request as it finished, each of which must have succeeded.
std::vector<std::string> TakePowerLog(const std::string &child) {
  std::vector<std::string> entries;
  for (const auto &r : host::pnp::PowerRequestLog()) {
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const bool device = r.type == DevicePowerState;
    const ULONG number = device ? r.state - PowerDeviceD0 : (r.state == PowerSystemWorking ? 0 : r.state - 1);
    entries.push_back(std::string(r.instancePath == child ? "child" : "bus") +
                      (r.minor == IRP_MN_QUERY_POWER ? " query " : " set ") + (device ? "D" : "S") +
                      std::to_string(number));
  }
  host::pnp::ClearPowerRequestLog();
  return entries;
}

// The managers send system power requests only: a device changes its power
// state when its power policy owner asks for it, here the function driver. A
// system request the owner holds finishes after the device request it asked for.
TEST_F(PowerManagerTest, SleepAndWakeSendDevicePowerRequestsOnlyWhenAPolicyOwnerAsks) {
  struct Case {
    bool policyOwner;
    std::vector<std::string> sleep, wake;
    DEVICE_POWER_STATE asleep;
  };
  const Case cases[] = {
      {false,
       {"child query S3", "bus query S3", "child set S3", "bus set S3"},
       {"bus set S0", "child set S0"},
       PowerDeviceD0},
      {true,
       {"child query S3", "bus query S3", "child set D3", "child set S3", "bus set S3"},
       {"bus set S0", "child set D0", "child set S0"},
       PowerDeviceD3},
  };
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const std::string child = Node(*bus.children[0]).instancePath;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.policyOwner ? "the function driver owns the policy" : "no policy owner");
    toy::FunctionDriver().powerPolicyOwner = c.policyOwner;
    host::pnp::ClearPowerRequestLog();
    EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(host::pnp::CurrentSystemPowerState(), PowerSystemSleeping3);
    EXPECT_EQ(Node(*bus.children[0]).powerState, c.asleep);
    EXPECT_EQ(TakePowerLog(child), c.sleep);
    EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Node(*bus.children[0]).powerState, PowerDeviceD0);
    EXPECT_EQ(TakePowerLog(child), c.wake);
  }
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
