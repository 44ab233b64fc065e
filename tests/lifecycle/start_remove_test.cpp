// Start, stop and remove of the bridge, in the orders and with the lower
// stack answers the Plug and Play manager can bring.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/kernel/host_kernel.h"

#include "host/kernel/registry.h"
#include "host/kernel/scheduler.h"
#include "tests/support/test_thread.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

using host::pnp::DeviceState;
using host::usb::Fault;
using host::usb::RequestKind;

constexpr NTSTATUS kLowerFailure = STATUS_DEVICE_DATA_ERROR;

class StartRemoveTest : public LifecycleTest {
 protected:
  std::string BridgePath() const { return BridgeNode(0)->instancePath; }

  // Waits (a model second at most) until the bus has seen `count` requests
  // of `kind` on the first bridge's port: a request then is in flight below
  // the driver.
  bool WaitForRequests(RequestKind kind, uint64_t count) {
    return host::sched::PollUntil([&] { return machine_->Bus().Faults(machine_->Port(0)).Seen(kind) >= count; },
                                  10'000'000, "requests seen by the bus");
  }
};

TEST_F(StartRemoveTest, RemoveWithNothingInFlightFreesEverything) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  EXPECT_EQ(Extension(0)->PendingIoCount, 1);
  const std::string path = BridgePath();

  ASSERT_EQ(host::pnp::RemoveDevice(path), STATUS_SUCCESS);
  EXPECT_EQ(host::pnp::FindDevice(path)->state, DeviceState::Removed);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(DriverGlobals.NameCounter, 0);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
  EXPECT_EQ(host::registry::GetString(host::pnp::DriverKeyPath(path), "Port Name"), "");

  // Enabled again: the same node starts as new, with the same names.
  ASSERT_EQ(host::pnp::EnableDevice(path), STATUS_SUCCESS);
  machine.WaitIdle();
  EXPECT_EQ(machine.View(0).deviceName, u"\\Device\\NorvUSB1");
  EXPECT_TRUE(LinkExists("NorvUSB1"));
  EXPECT_EQ(BridgeNode(0)->children.size(), 1u);
}

// Only the Windows 98 generation sends a remove with a handle open: at once
// after an unplug, as it knows no surprise removal.
TEST_F(StartRemoveTest, RemoveDuringAReadWithTheHandleOpenLeavesAnInertDeviceUntilClose) {
  host::MachineOptions options;
  options.kernel.wdmVersion = 0x0100;
  host::Machine &machine = Boot(options);
  machine.Plug(PlanWith(kAcmeDeviceId));
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = Fdo(0);
  uint8_t buffer[64];
  auto read = port.StartRead(buffer, sizeof buffer);  // the printer has nothing to say: it stays pending
  ASSERT_TRUE(WaitForRequests(RequestKind::BulkIn, 1));

  machine.Unplug(0);
  // The unplug failed the read, and the remove waited for it to leave.
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Result().status, STATUS_DEVICE_NOT_CONNECTED);
  auto log = host::pnp::PnpRequestLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(log.back().status, STATUS_SUCCESS);  // a remove never fails, and went down

  // The device object stays, name and all, without extension: that
  // generation defers no deletion.
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), fdo);
  EXPECT_EQ(fdo->DeviceExtension, nullptr);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(DriverGlobals.NameCounter, 1);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);

  // Every later request is answered without the extension.
  EXPECT_EQ(port.Write(buffer, sizeof buffer).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.Read(buffer, sizeof buffer).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, sizeof buffer).status,
            STATUS_DELETE_PENDING);
  SentIrp pnp = Send(fdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  ASSERT_TRUE(pnp.Wait());
  EXPECT_EQ(pnp.Status(), STATUS_DELETE_PENDING);
  // (Only on the power route: on the Plug and Play route 0x17 is a surprise
  // removal, which the manager never sends to a removed device.)
  SentIrp power = Send(fdo, IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD0));
  ASSERT_TRUE(power.Wait());
  EXPECT_EQ(power.Status(), STATUS_DELETE_PENDING);

  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), fdo);
  // A new bridge is named after the counter, which the cancelled remove kept.
  machine.Plug(PlanWith(kAcmeDeviceId, 2));
  EXPECT_EQ(machine.View(1).deviceName, u"\\Device\\NorvUSB2");
  EXPECT_EQ(machine.View(1).portName, "NorvUSB1");
  IoDeleteDevice(fdo);  // what that system never does; the kernel's leak check wants it gone
}

// The Windows 98 generation documents no deferred deletion and, knowing no
// surprise removal, sends remove straight after an unplug with the spooler's
// handle open: the inert device object is left in place, name and all, and
// the next bridge takes the next name.
TEST_F(StartRemoveTest, OnTheWindows98GenerationARemoveWithAHandleOpenKeepsTheDeviceObject) {
  host::MachineOptions options;
  options.kernel.wdmVersion = 0x0100;
  host::Machine &machine = Boot(options);
  machine.Plug(PlanWith(kAcmeDeviceId));
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = Fdo(0);
  machine.Unplug(0);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), fdo);
  EXPECT_EQ(fdo->DeviceExtension, nullptr);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  machine.Plug(PlanWith(kAcmeDeviceId, 2));
  EXPECT_EQ(machine.View(1).deviceName, u"\\Device\\NorvUSB2");
  IoDeleteDevice(fdo);  // what that system never does; the kernel's leak check wants it gone
}

TEST_F(StartRemoveTest, SurpriseRemovalWithAPendingReadEndsWhenTheHandleCloses) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  uint8_t buffer[64];
  auto read = port.StartRead(buffer, sizeof buffer);
  ASSERT_TRUE(WaitForRequests(RequestKind::BulkIn, 1));

  machine.Unplug(0);
  ASSERT_TRUE(read->Wait(-1));
  EXPECT_FALSE(NT_SUCCESS(read->Result().status));
  machine.WaitIdle();
  // Until the last handle closes, nothing uses the device that is gone: its
  // link went at the surprise removal.
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(port.Write(buffer, sizeof buffer).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.DeviceControl(IOCTL_BRIDGE_NOP, nullptr, 0, nullptr, 0).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  machine.WaitIdle();
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_EQ(DriverGlobals.NameCounter, 0);
}

TEST_F(StartRemoveTest, RemoveDeletesEveryChildInTheList) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  // A second child, as a bridge with more than one printer slot would have.
  PDEVICE_OBJECT second = nullptr;
  ASSERT_EQ(CreateChildDevice(Fdo(0)->DriverObject, Fdo(0), &second), STATUS_SUCCESS);
  EXPECT_EQ(Extension(0)->ChildCount, 1u);
  const uint64_t before = host::GetPoolStats().outstandingBlocks;

  ASSERT_EQ(host::pnp::RemoveDevice(BridgePath()), STATUS_SUCCESS);
  EXPECT_TRUE(BridgeNode(0)->children.empty());
  // The bridge's blocks and both children's copies of the device ID are gone.
  EXPECT_LT(host::GetPoolStats().outstandingBlocks, before);
  for (const auto &block : host::OutstandingPoolBlocks()) EXPECT_NE(block.tag, NORVUSB_POOL_TAG);
}

TEST_F(StartRemoveTest, APassedDownRemoveThatFailsStillDeletesButKeepsTheCounter) {
  host::Machine &machine = Boot();
  UseLowerFilter();
  machine.Plug(PlanWith(kAcmeDeviceId));
  ASSERT_EQ(Script().filtersAlive.load(), 1);
  Script().removeFails = kLowerFailure;

  ASSERT_EQ(host::pnp::RemoveDevice(BridgePath()), STATUS_SUCCESS);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_EQ(DriverGlobals.NameCounter, 1);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
  Script().removeFails = 0;

  machine.Unplug(0);
  machine.Plug(PlanWith(kAcmeDeviceId, 2));
  EXPECT_EQ(machine.View(1).deviceName, u"\\Device\\NorvUSB2");
  EXPECT_EQ(BridgeNode(1)->state, DeviceState::Started);
}

TEST_F(StartRemoveTest, AStartPendedThenFailedBelowGoesNoFurther) {
  host::Machine &machine = Boot();
  UseLowerFilter();
  Script().startFailsLater = kLowerFailure;
  machine.Plug(PlanWith(kAcmeDeviceId));

  auto bridge = BridgeNode(0);
  EXPECT_EQ(bridge->state, DeviceState::Failed);
  EXPECT_EQ(bridge->problem, host::pnp::problem::kFailedStart);
  EXPECT_EQ(bridge->problemStatus, kLowerFailure);
  // The status the start ended with stops it: nothing configured, no ID read.
  EXPECT_EQ(machine.Bus().Faults(machine.Port(0)).Seen(RequestKind::Select), 0u);
  EXPECT_EQ(machine.Bus().Faults(machine.Port(0)).Seen(RequestKind::Vendor), 0u);
  // The failed start was followed by a remove that took everything away.
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_TRUE(bridge->children.empty());
  EXPECT_EQ(Script().filtersAlive.load(), 0);
}

TEST_F(StartRemoveTest, AFailedConfigurationFailsTheStartAndTheRemoveAfterItIsClean) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  const std::string path = BridgePath();
  ASSERT_EQ(host::pnp::StopDevice(path), STATUS_SUCCESS);
  // The descriptors cannot be read: configuration fails before any interface.
  machine.Bus().Faults(machine.Port(0)).Add(RequestKind::Descriptor,
                                              Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), 1, 0);
  EXPECT_FALSE(NT_SUCCESS(host::pnp::StartDevice(path)));
  auto bridge = BridgeNode(0);
  EXPECT_EQ(bridge->state, DeviceState::Failed);
  EXPECT_EQ(bridge->problem, host::pnp::problem::kFailedStart);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
}

TEST_F(StartRemoveTest, StopAfterAFailedConfigurationGoesOnWithoutALink) {
  host::Machine &machine = Boot();
  host::BridgePlan plan = PlanWith(kAcmeDeviceId);
  plan.bridge.vendorFaults[1] = host::hardware::VendorFault::Stall();  // no device ID, so no link
  machine.Plug(plan);
  PDEVICE_OBJECT fdo = Fdo(0);
  machine.Bus().Faults(machine.Port(0)).Add(RequestKind::Descriptor,
                                              Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), 1, 0);

  // The requests a restart would bring, sent straight to the bridge.
  SentIrp start = Send(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ASSERT_TRUE(start.Wait());
  EXPECT_FALSE(NT_SUCCESS(start.Status()));
  EXPECT_EQ(Extension(0)->Started, 1);
  SentIrp stop = Send(fdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
  ASSERT_TRUE(stop.Wait());
  EXPECT_EQ(stop.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Extension(0)->Started, 0);
  EXPECT_EQ(Extension(0)->PendingIoCount, 1);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
}

// A second start without stop replaces what the first one stored.
TEST_F(StartRemoveTest, AStartWithoutStopLeaksNothing) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  SentIrp start = Send(Fdo(0), IRP_MJ_PNP, IRP_MN_START_DEVICE);
  ASSERT_TRUE(start.Wait());
  EXPECT_EQ(start.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(LinkExists("NorvUSB1"));
  machine.WaitIdle();
  EXPECT_EQ(BridgeNode(0)->children.size(), 1u);
}

// The Plug and Play manager takes the status a start returned when it was not
// pended, so it must be the one the request was completed with: the lower
// stack's failure when it pended the start and then failed it, and the lower
// stack's success when only the DOS link (already there) could not be made.
TEST_F(StartRemoveTest, AStartReturnsTheStatusItWasCompletedWith) {
  host::Machine &machine = Boot();
  UseLowerFilter();
  machine.Plug(PlanWith(kAcmeDeviceId));
  ASSERT_TRUE(LinkExists("NorvUSB1"));
  for (NTSTATUS lowerLater : {NTSTATUS(0), kLowerFailure}) {
    Script().startFailsLater = lowerLater;
    SentIrp start = Send(Fdo(0), IRP_MJ_PNP, IRP_MN_START_DEVICE);
    ASSERT_TRUE(start.Wait());
    EXPECT_EQ(start.Status(), lowerLater == 0 ? STATUS_SUCCESS : kLowerFailure);
    EXPECT_EQ(start.returned, start.Status());
    machine.WaitIdle();
  }
  Script().startFailsLater = 0;
}

// A D0 change held below the bridge keeps its unit of the I/O gate until it
// completes; a remove meanwhile must wait for it before it tears down and
// passes itself down.
TEST_F(StartRemoveTest, RemoveWaitsForARequestInsideTheGate) {
  host::Machine &machine = Boot();
  UseLowerFilter();
  machine.Plug(PlanWith(kAcmeDeviceId));
  FdoExtension *extension = Extension(0);
  const std::string path = BridgePath();
  Script().toD0 = D0Answer::Hold;
  SentIrp power = Send(Fdo(0), IRP_MJ_POWER, 0x17, DevicePower(PowerDeviceD0));
  ASSERT_EQ(power.returned, STATUS_PENDING);
  ASSERT_EQ(extension->PendingIoCount, 2);

  std::atomic<bool> removed{false};
  TestThread remover([&] {
    host::pnp::RemoveDevice(path);
    removed = true;
  });
  // Until remove blocks on its event, or (a fault) finishes without waiting.
  while (host::EventWaiters(&extension->RemoveEvent) == 0 && !removed) std::this_thread::yield();
  EXPECT_FALSE(removed);
  EXPECT_EQ(Script().pnpSeen[IRP_MN_REMOVE_DEVICE].load(), 0);
  EXPECT_NE(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);

  ASSERT_TRUE(ReleaseHeldRequest(STATUS_SUCCESS));
  remover.join();
  ASSERT_TRUE(power.Wait());
  EXPECT_EQ(Script().pnpSeen[IRP_MN_REMOVE_DEVICE].load(), 1);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_EQ(BridgeNode(0)->state, DeviceState::Removed);
}

}  // namespace
}  // namespace lifecycle
