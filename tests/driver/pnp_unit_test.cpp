// The bridge's answers to Plug and Play and power requests, on a bridge built
// by hand above the scripted stack: what goes down, with which status, and
// what the bridge does itself.
#include <cstring>
#include <string>
#include <utility>

#include "host/kernel/pnp_manager.h"

#include "bridge_fixture.h"

namespace {

using PnpUnitTest = BridgeUnitTest;

// A lower status no path of the driver makes up by itself.
constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_DATA_ERROR;
// Information on arrival, which only the lower driver may change.
constexpr ULONG_PTR kArrivingInformation = 0x5A5A;
constexpr ULONG kIncomingListTag = 0x6C657250;  // 'Prel'
constexpr const char *kDeviceId = "MFG:ACME;MDL:LX-100;";

IO_STACK_LOCATION Relations(DEVICE_RELATION_TYPE type) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.QueryDeviceRelations.Type = type;
  return parameters;
}

struct PassedDown {
  const char *name;
  UCHAR minor;
  IO_STACK_LOCATION parameters;
};

class PassedDownTest : public BridgeUnitTest, public ::testing::WithParamInterface<PassedDown> {};

// Requests the bridge has no part in reach the lower driver with the status
// block as it came, and the lower driver's status is the bridge's answer,
// failure or success.
TEST_P(PassedDownTest, ReachesTheLowerDriverUntouchedAndReturnsItsStatus) {
  for (NTSTATUS lower : {kLowerStatus, STATUS_SUCCESS}) {
    stack_.arrivals.clear();
    stack_.lowerStatus = lower;
    Outcome outcome = SendPnp(bridge_, IRP_MJ_PNP, GetParam().minor, GetParam().parameters, kArrivingInformation);
    ASSERT_EQ(stack_.arrivals.size(), 1u);
    EXPECT_EQ(stack_.arrivals[0].minor, GetParam().minor);
    EXPECT_EQ(stack_.arrivals[0].statusBlock.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(stack_.arrivals[0].statusBlock.Information, kArrivingInformation);
    EXPECT_EQ(outcome.returned, lower);
    EXPECT_EQ(outcome.statusBlock.Status, lower);
    EXPECT_EQ(outcome.statusBlock.Information, kArrivingInformation);
    EXPECT_EQ(ext_->PendingIoCount, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    PnpUnitTest, PassedDownTest,
    ::testing::Values(PassedDown{"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, {}},
                      PassedDown{"CancelRemove", IRP_MN_CANCEL_REMOVE_DEVICE, {}},
                      PassedDown{"QueryStop", IRP_MN_QUERY_STOP_DEVICE, {}},
                      PassedDown{"CancelStop", IRP_MN_CANCEL_STOP_DEVICE, {}},
                      PassedDown{"RemovalRelations", IRP_MN_QUERY_DEVICE_RELATIONS, Relations(RemovalRelations)},
                      PassedDown{"EjectionRelations", IRP_MN_QUERY_DEVICE_RELATIONS, Relations(EjectionRelations)},
                      PassedDown{"TargetRelation", IRP_MN_QUERY_DEVICE_RELATIONS, Relations(TargetDeviceRelation)},
                      PassedDown{"QueryCapabilities", IRP_MN_QUERY_CAPABILITIES, {}},
                      PassedDown{"QueryId", IRP_MN_QUERY_ID, {}},
                      PassedDown{"QueryPnpState", 0x14, {}},
                      PassedDown{"UnknownMinor", 0x1F, {}}),
    [](const ::testing::TestParamInfo<PassedDown> &info) { return std::string(info.param.name); });

// A start as the Plug and Play manager's cases have it. The bus relations are
// invalidated after the request has completed, and only when a device ID was
// read at this start or an earlier one; a start the lower driver failed at
// once goes no further than completing the request.
struct StartCase {
  const char *name;
  UCHAR major;
  NTSTATUS lower;            // what the lower driver answers the start with
  NTSTATUS deviceIdRead;     // what the device-ID read completes with
  UCHAR earlierDeviceId;     // DeviceIdValid left by an earlier start
  NTSTATUS expectedStatus;   // completed with and returned
  bool configured;           // the descriptors were read
  size_t invalidations;
};

class StartTest : public BridgeUnitTest, public ::testing::WithParamInterface<StartCase> {};

// What the sender of a start sees when the request completes.
struct AtCompletion {
  PDEVICE_OBJECT physicalDevice;
  size_t invalidations;
  NTSTATUS status;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *seen = static_cast<AtCompletion *>(context);
  seen->invalidations = host::pnp::BusInvalidations(seen->physicalDevice);
  seen->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_P(StartTest, GoesAsFarAsItsCaseAndInvalidatesBusRelationsOnlyAfterCompletion) {
  const StartCase &c = GetParam();
  stack_.lowerStatus = c.lower;
  stack_.deviceIdStatus = c.deviceIdRead;
  ext_->DeviceIdValid = c.earlierDeviceId;

  PIRP irp = IoAllocateIrp(bridge_->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = c.major;
  next->MinorFunction = IRP_MN_START_DEVICE;
  AtCompletion atCompletion{lower_, 99, STATUS_PENDING};
  IoSetCompletionRoutine(irp, NoteCompletion, &atCompletion, TRUE, TRUE, TRUE);
  NTSTATUS returned = IoCallDriver(bridge_, irp);
  NTSTATUS completed = atCompletion.status;

  EXPECT_EQ(returned, c.expectedStatus);
  EXPECT_EQ(completed, c.expectedStatus);
  ASSERT_FALSE(stack_.arrivals.empty());
  EXPECT_EQ(stack_.arrivals[0].major, c.major);
  EXPECT_EQ(stack_.arrivals[0].minor, IRP_MN_START_DEVICE);
  EXPECT_EQ(!stack_.descriptorReads.empty(), c.configured);
  EXPECT_EQ(ext_->Started, c.configured ? 1 : 0);
  EXPECT_EQ(atCompletion.invalidations, 0u);
  EXPECT_EQ(host::pnp::BusInvalidations(lower_), c.invalidations);
  EXPECT_EQ(ext_->PendingIoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    PnpUnitTest, StartTest,
    ::testing::Values(
        StartCase{"WithADeviceId", IRP_MJ_PNP, STATUS_SUCCESS, STATUS_SUCCESS, 0, STATUS_SUCCESS, true, 1},
        StartCase{"ThroughDeviceChange", IRP_MJ_DEVICE_CHANGE, STATUS_SUCCESS, STATUS_SUCCESS, 0, STATUS_SUCCESS,
                  true, 1},
        StartCase{"WithoutADeviceId", IRP_MJ_PNP, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, 0, STATUS_SUCCESS, true, 0},
        StartCase{"WithoutADeviceIdAfterOneWasRead", IRP_MJ_PNP, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, 1,
                  STATUS_SUCCESS, true, 1},
        StartCase{"FailedAtOnceBelow", IRP_MJ_PNP, kLowerStatus, STATUS_SUCCESS, 1, kLowerStatus, false, 0}),
    [](const ::testing::TestParamInfo<StartCase> &info) { return std::string(info.param.name); });

// A relation list handed in by a driver above comes from paged pool: it is
// freed (never at the child list lock's DISPATCH_LEVEL, which the pool
// refuses) and replaced by a list with the new child.
TEST_F(PnpUnitTest, AnIncomingEmptyRelationListIsFreedAndReplacedByTheChild) {
  ext_->DeviceIdValid = 1;
  auto *incoming =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIncomingListTag));
  ASSERT_NE(incoming, nullptr);
  incoming->Count = 0;

  Outcome outcome = SendPnp(bridge_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, Relations(BusRelations),
                            reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
  EXPECT_EQ(outcome.statusBlock.Status, STATUS_SUCCESS);
  EXPECT_TRUE(stack_.arrivals.empty());
  for (const auto &block : host::OutstandingPoolBlocks()) EXPECT_NE(block.tag, kIncomingListTag);
  auto *list = reinterpret_cast<PDEVICE_RELATIONS>(outcome.statusBlock.Information);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Count, 1u);
  ASSERT_FALSE(IsListEmpty(&ext_->ChildList));
  EXPECT_EQ(list->Objects[0], CONTAINING_RECORD(ext_->ChildList.Flink, PdoExtension, Link)->Self);
  EXPECT_EQ(ext_->ChildCount, 1u);
  // The reference in the list is the PnP manager's, as is the list.
  ObDereferenceObject(list->Objects[0]);
  ExFreePool(list);
}

// Stop: the stack is unconfigured and the stop goes down, unless
// unconfiguring fails; then the stop is completed with that failure and the
// lower driver never sees it.
TEST_F(PnpUnitTest, AStopGoesDownOnlyWhenUnconfiguringWorked) {
  stack_.lowerStatus = kLowerStatus;
  host::lowres::FailTag(NORVUSB_POOL_TAG);
  Outcome refused = SendPnp(bridge_, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
  host::lowres::Clear();
  EXPECT_EQ(refused.returned, STATUS_NO_MEMORY);
  EXPECT_EQ(refused.statusBlock.Status, STATUS_NO_MEMORY);
  EXPECT_TRUE(stack_.arrivals.empty());

  Outcome passed = SendPnp(bridge_, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, {}, kArrivingInformation);
  ASSERT_EQ(stack_.arrivals.size(), 1u);
  EXPECT_EQ(stack_.arrivals[0].statusBlock.Status, STATUS_SUCCESS);
  EXPECT_EQ(stack_.arrivals[0].statusBlock.Information, 0u);
  EXPECT_EQ(passed.returned, kLowerStatus);
  EXPECT_EQ(stack_.functions, std::vector<USHORT>{URB_FUNCTION_SELECT_CONFIGURATION});
  EXPECT_EQ(ext_->PendingIoCount, 1);
}

IO_STACK_LOCATION DevicePower(DEVICE_POWER_STATE state) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.Power.Type = DevicePowerState;
  parameters.Parameters.Power.State.DeviceState = state;
  return parameters;
}

// On the power route only minor code 0x17 is the bridge's device power
// change (a change to D0 ends in success whatever the stack says); 0x02 is
// as ordinary as any other code and goes down with the lower status.
TEST_F(PnpUnitTest, OnThePowerRouteMinorTwoIsOrdinaryAndOnlySeventeenChangesTheDevice) {
  stack_.lowerStatus = kLowerStatus;
  for (UCHAR minor : {UCHAR(0x02), UCHAR(0x17)}) {
    stack_.arrivals.clear();
    Outcome outcome = SendPnp(bridge_, IRP_MJ_POWER, minor, DevicePower(PowerDeviceD0));
    ASSERT_EQ(stack_.arrivals.size(), 1u) << int(minor);
    EXPECT_EQ(stack_.arrivals[0].statusBlock.Status, STATUS_NOT_SUPPORTED) << int(minor);
    EXPECT_EQ(outcome.statusBlock.Status, minor == 0x17 ? STATUS_SUCCESS : kLowerStatus) << int(minor);
    EXPECT_EQ(ext_->PendingIoCount, 1) << int(minor);
  }
}

// The child printer device as a bus driver's device answers for itself.
class ChildTest : public BridgeUnitTest {
 protected:
  PDEVICE_OBJECT MakeChild(const char *deviceId) {
    ext_->DeviceIdBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, NORVUSB_DEVICE_ID_BUFFER_SIZE, NORVUSB_POOL_TAG));
    RtlZeroMemory(ext_->DeviceIdBuffer, NORVUSB_DEVICE_ID_BUFFER_SIZE);
    std::memcpy(ext_->DeviceIdBuffer, deviceId, std::strlen(deviceId));
    PDEVICE_OBJECT child = nullptr;
    EXPECT_EQ(CreateChildDevice(driver_, bridge_, &child), STATUS_SUCCESS);
    return child;
  }
};

// The record keeps its bits 1 and 7 of byte 24 and nothing else of what
// arrived in its first 25 bytes; the rest is left alone.
TEST_F(ChildTest, TheCapabilityRecordKeepsOnlyTheFlagBitsAndTheRest) {
  PDEVICE_OBJECT child = MakeChild(kDeviceId);
  for (UCHAR fill : {UCHAR(0x00), UCHAR(0xFF)}) {
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, fill, sizeof capabilities);
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    Outcome outcome = SendPnp(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, parameters);
    EXPECT_EQ(outcome.statusBlock.Status, STATUS_SUCCESS);
    const auto *bytes = reinterpret_cast<const UCHAR *>(&capabilities);
    EXPECT_EQ(capabilities.Size, 32);
    EXPECT_EQ(capabilities.Version, 1);
    for (size_t i = 4; i < 24; ++i) EXPECT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(bytes[24], (fill & 0x82) | 0x01);
    for (size_t i = 25; i < sizeof capabilities; ++i) EXPECT_EQ(bytes[i], fill) << i;
  }
}

// No compatible identifier is offered, and the query succeeds all the same,
// with or without a manufacturer to build the other identifiers from.
TEST_F(ChildTest, TheCompatibleIdQuerySucceedsWithNothingToOffer) {
  for (const char *deviceId : {kDeviceId, "MDL:LX-100;"}) {
    PDEVICE_OBJECT child = MakeChild(deviceId);
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.QueryId.IdType = BusQueryCompatibleIDs;
    Outcome outcome = SendPnp(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, parameters);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS) << deviceId;
    EXPECT_EQ(outcome.statusBlock.Status, STATUS_SUCCESS) << deviceId;
    EXPECT_EQ(outcome.statusBlock.Information, 0u) << deviceId;
    DeleteChildDevice(child);
    ExFreePool(ext_->DeviceIdBuffer);
    ext_->DeviceIdBuffer = nullptr;
  }
  EXPECT_TRUE(stack_.arrivals.empty());
}

// One opener at a time: a second open that reaches the driver is refused
// and leaves the first one's bounce buffer alone.
TEST_F(PnpUnitTest, ASecondOpenIsANameCollision) {
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  PUCHAR buffer = ext_->TransferBuffer;
  EXPECT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ext_->TransferBuffer, buffer);
  EXPECT_EQ(ext_->PendingIoCount, 1);
  EXPECT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
}

}  // namespace
