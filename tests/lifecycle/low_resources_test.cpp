// Every allocation the driver makes while a bridge is plugged, started,
// enumerated, used and removed fails once, in turn: each failure ends
// cleanly, leaks nothing and leaves a device that can still be removed.
#include <gtest/gtest.h>

#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

class LowResourcesTest : public LifecycleTest {
 protected:
  // Plug, print a little, orderly remove, unplug. Returns the calls the
  // low-resources policy was consulted for during it.
  uint64_t RunScenario(uint64_t failAt) {
    ResetDriverImage();
    host::Machine &machine = Boot();
    const uint64_t before = host::lowres::ConsultedCalls();
    if (failAt != 0) host::lowres::FailNth(failAt);
    machine.Plug(PlanWith(kAcmeDeviceId));
    {
      host::DeviceHandle port;
      if (NT_SUCCESS(port.Open(u"\\Device\\NorvUSB1"))) {
        const char text[] = "one line\n";
        port.Write(text, sizeof text);
        uint8_t descriptor[18];
        port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof descriptor);
      }
    }
    if (auto bridge = BridgeNode(0)) host::pnp::RemoveDevice(bridge->instancePath);
    const uint64_t consulted = host::lowres::ConsultedCalls() - before;
    host::lowres::Clear();

    // Whatever happened, the device goes away when the cable is pulled.
    machine.Unplug(0);
    EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr) << "failing call " << failAt;
    EXPECT_EQ(BridgeNode(0), std::nullopt) << "failing call " << failAt;
    ShutDownMachine();  // the leak check
    for (const auto &check : TakeBugChecks())
      ADD_FAILURE() << "failing call " << failAt << ": " << host::FormatBugCheck(check);
    return consulted;
  }
};

TEST_F(LowResourcesTest, EveryAllocationFailureOfTheLifeCycleEndsCleanly) {
  const uint64_t calls = RunScenario(0);
  ASSERT_GT(calls, 10u);
  RecordProperty("ConsultedCalls", int(calls));
  for (uint64_t k = 1; k <= calls; ++k) {
    RunScenario(k);
    if (HasFailure()) break;  // the first failing call is the one to look at
  }
}

// The start's own event, the device-ID buffer and the child's blocks, by
// tag: the driver's tag fails throughout a plug, and the machine still
// removes the bridge.
TEST_F(LowResourcesTest, NoDriverPoolAtAllStillLetsTheBridgeGo) {
  host::Machine &machine = Boot();
  host::lowres::FailTag(NORVUSB_POOL_TAG);
  machine.Plug(PlanWith(kAcmeDeviceId));
  auto bridge = BridgeNode(0);
  ASSERT_TRUE(bridge);
  EXPECT_EQ(bridge->state, host::pnp::DeviceState::Failed);
  EXPECT_EQ(bridge->problem, host::pnp::problem::kFailedStart);
  EXPECT_EQ(bridge->problemStatus, STATUS_INSUFFICIENT_RESOURCES);
  host::lowres::Clear();
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  ASSERT_EQ(host::pnp::EnableDevice(bridge->instancePath), STATUS_SUCCESS);
  machine.WaitIdle();
  EXPECT_EQ(BridgeNode(0)->state, host::pnp::DeviceState::Started);
  EXPECT_EQ(BridgeNode(0)->children.size(), 1u);
}

}  // namespace
}  // namespace lifecycle
