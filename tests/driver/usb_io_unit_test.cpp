// The USB access and user I/O routines on the kernel alone, on a bridge
// device object built by hand above a scripted stand-in for the USB stack.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "bridge_fixture.h"
#include "io/io_internal.h"
#include "usb/usb_internal.h"

namespace {

using UsbIoUnitTest = BridgeUnitTest;

TEST_F(UsbIoUnitTest, SubmitUrbSendsNothingWhenTheRequestOrItsEventCannotBeHad) {
  URB urb{};
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  host::lowres::FailNth(2);  // the event is had, the request is not
  EXPECT_EQ(SubmitUrb(bridge_, &urb), STATUS_INSUFFICIENT_RESOURCES);
  host::lowres::FailNth(1);  // no event
  EXPECT_EQ(SubmitUrb(bridge_, &urb), STATUS_NO_MEMORY);
  EXPECT_TRUE(stack_.functions.empty());

  stack_.status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(SubmitUrb(bridge_, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ResetPort(bridge_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stack_.functions.size(), 1u);
}

TEST_F(UsbIoUnitTest, VendorCommandsSendTheirIndexAndHandBackEightBytes) {
  stack_.vendorReply = {1, 2, 3};  // shorter than asked
  std::vector<UCHAR> out;
  ULONG_PTR info = 0;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_VENDOR_5, {}, 8, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 8u);
  EXPECT_EQ(out, (std::vector<UCHAR>{1, 2, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_VENDOR_2, {0x04, 0x01}, 8, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SET_TRANSFER_MODE, {1}, 8, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(ext_->TransferMode, 1);
  EXPECT_EQ(stack_.vendorIndexes, (std::vector<USHORT>{5, 0x0104, 1}));

  // Refused without USB work: output too short.
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_VENDOR_3, {}, 4, &out, &info), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(info, 0u);
  stack_.status = STATUS_IO_TIMEOUT;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SET_TRANSFER_MODE, {0}, 8, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(ext_->TransferMode, 1);
  EXPECT_EQ(stack_.vendorIndexes.size(), 4u);
}

TEST_F(UsbIoUnitTest, DeviceIdCountNeverExceedsTheTextDelivered) {
  std::vector<UCHAR> out;
  ULONG_PTR info = 0;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 1, &out, &info), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(stack_.functions.empty());

  stack_.vendorReply = {0x03, 0xFF, 'M', 'F', 'G'};  // claims 1023 bytes
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 16, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 14u);
  EXPECT_EQ(std::memcmp(out.data(), "MFG", 3), 0);

  stack_.vendorReply = {0x00, 0x03, 'M', 'F', 'G'};
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 1024, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 3u);

  // The platform's stack fails a default-pipe transfer over 4,096 bytes.
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 0xFFFF, &out, &info), STATUS_SUCCESS);
  EXPECT_EQ(stack_.vendorLengths.back(), 4096u);
}

TEST_F(UsbIoUnitTest, SelectionWithoutDescriptorOrInterfaceSendsAndStoresNothing) {
  EXPECT_EQ(SelectInterface(bridge_, nullptr, 0, 0), STATUS_INVALID_PARAMETER);
  ULONG_PTR info = 0;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SELECT_INTERFACE, {0, 0}, 0, nullptr, &info), STATUS_SUCCESS);
  auto set = ConfigurationSet();
  EXPECT_EQ(SelectInterface(bridge_, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), 3, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(stack_.functions.empty());
  EXPECT_EQ(ext_->InterfaceInfo, nullptr);
  EXPECT_EQ(ext_->ConfigurationDescriptor, nullptr);
}

TEST_F(UsbIoUnitTest, ANewSelectionReplacesTheInterfaceWithUnmarkedPipes) {
  Configure(ConfigurationSet());
  ASSERT_NE(ext_->InterfaceInfo, nullptr);
  EXPECT_EQ(ext_->InterfaceInfo->Length, FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                                             2 * sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(ext_->ConfigurationDescriptorSize, 32u);
  SetPipeMarks(bridge_, 1);
  USBD_PIPE_INFORMATION oldPipe0 = ext_->InterfaceInfo->Pipes[0];

  // Through the device-control interface: the stored set stays usable, the
  // earlier blocks are freed (the leak check at shutdown would see them).
  ULONG_PTR info = 0;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SELECT_INTERFACE, {0, 0}, 0, nullptr, &info), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION pipe;
  ASSERT_TRUE(CopyPipe(bridge_, 0, &pipe));
  EXPECT_EQ(pipe.PipeFlags, 0u);
  EXPECT_EQ(pipe.PipeHandle, oldPipe0.PipeHandle);

  // Pipe maintenance sends nothing for unmarked pipes, then both in order.
  stack_.functions.clear();
  EXPECT_EQ(AbortPipes(bridge_, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(stack_.functions.empty());
  SetPipeMarks(bridge_, 1);
  EXPECT_EQ(ClearHalts(bridge_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(stack_.functions, (std::vector<USHORT>{URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT,
                                                   URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT}));
}

TEST_F(UsbIoUnitTest, DescriptorCountsNeverReachPastWhatWasStored) {
  ULONG out = 99;
  UCHAR buffer[64];
  EXPECT_EQ(GetDescriptor(bridge_, 0, buffer, sizeof buffer, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(GetDescriptor(bridge_, 4, buffer, sizeof buffer, &out), STATUS_INVALID_PARAMETER);

  auto *device = static_cast<PUCHAR>(AllocatePool(NonPagedPool, 18));
  std::memset(device, 0, 18);
  device[0] = 18;
  ext_->DeviceDescriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device);
  EXPECT_EQ(GetDescriptor(bridge_, 0, buffer, 17, &out), STATUS_NO_MEMORY);
  EXPECT_EQ(out, 18u);
  device[0] = 40;  // a device claiming more than a device descriptor holds
  EXPECT_EQ(GetDescriptor(bridge_, 0, buffer, sizeof buffer, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out, 0u);

  Configure(ConfigurationSet());
  EXPECT_EQ(GetDescriptor(bridge_, 1, buffer, sizeof buffer, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, 9u);
  EXPECT_EQ(GetDescriptor(bridge_, 3, buffer, sizeof buffer, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, 14u);
  EXPECT_EQ(buffer[2], 0x01);
  EXPECT_EQ(buffer[9], 0x82);
  // The interface now claims three endpoints, but only two were stored.
  reinterpret_cast<PUCHAR>(ext_->ConfigurationDescriptor)[13] = 3;
  ULONG_PTR info = 7;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {}, 64, nullptr, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 0u);
  out = 99;
  EXPECT_EQ(GetDescriptor(bridge_, 3, buffer, sizeof buffer, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out, 0u);
}

// A stack that reports another number of pipes than the selection asked
// for: the stored interface holds the endpoints' records and never claims more.
TEST_F(UsbIoUnitTest, TheStoredInterfaceNeverClaimsMorePipesThanItsEndpoints) {
  for (const auto &[miscounted, kept] : {std::pair{1, 2u}, std::pair{-1, 1u}}) {
    stack_.pipesMiscounted = miscounted;
    Configure(ConfigurationSet());
    ASSERT_NE(ext_->InterfaceInfo, nullptr);
    EXPECT_EQ(ext_->InterfaceInfo->NumberOfPipes, kept) << miscounted;
  }
}

// A selection of the stored set reports why nothing was selected; the
// selection in place stays.
TEST_F(UsbIoUnitTest, ASelectionOfTheStoredSetReportsWhyItSelectedNothing) {
  EXPECT_EQ(SelectStoredInterface(bridge_, 0, 0), STATUS_INVALID_PARAMETER) << "never configured";
  Configure(ConfigurationSet());
  const PUSBD_INTERFACE_INFORMATION selected = ext_->InterfaceInfo;
  struct Row {
    const char *what;
    uint64_t failingCall;  // 0: none
    NTSTATUS stack;
    UCHAR interfaceNumber;
    NTSTATUS expected;
  } rows[] = {
      {"no pool for the copy of the set", 1, STATUS_SUCCESS, 0, STATUS_NO_MEMORY},
      {"no pool for the select block", 2, STATUS_SUCCESS, 0, STATUS_NO_MEMORY},
      {"no such interface", 0, STATUS_SUCCESS, 3, STATUS_INVALID_PARAMETER},
      {"the device refuses", 0, STATUS_UNSUCCESSFUL, 0, STATUS_UNSUCCESSFUL},
  };
  for (const Row &row : rows) {
    if (row.failingCall != 0) host::lowres::FailNth(row.failingCall);
    stack_.status = row.stack;
    EXPECT_EQ(SelectStoredInterface(bridge_, row.interfaceNumber, 0), row.expected) << row.what;
    host::lowres::Clear();
    EXPECT_EQ(ext_->InterfaceInfo, selected) << row.what;
  }
  stack_.status = STATUS_SUCCESS;
  EXPECT_EQ(SelectStoredInterface(bridge_, 0, 0), STATUS_SUCCESS);
}

TEST_F(UsbIoUnitTest, RequestsToTheChildOrAnOrphanedBridgeTouchNoBridgeState) {
  PDEVICE_OBJECT child = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child),
            STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
    EXPECT_EQ(Send(child, major, IOCTL_BRIDGE_NOP, {}, 0), STATUS_INVALID_DEVICE_REQUEST) << int(major);
  IoDeleteDevice(child);

  bridge_->DeviceExtension = nullptr;
  EXPECT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0), STATUS_DELETE_PENDING);
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_NOP, {}, 0), STATUS_DELETE_PENDING);
  bridge_->DeviceExtension = ext_;
  EXPECT_TRUE(stack_.functions.empty());
}

TEST_F(UsbIoUnitTest, OneTransferAtATimeWithinTheBufferAllocatedAtOpen) {
  Configure(ConfigurationSet());
  DriverGlobals.MaxTransferSize = 64;
  std::vector<UCHAR> data(10, 0x44);
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, nullptr, nullptr, &data), STATUS_INVALID_HANDLE)
      << "another driver's write to a port nobody opened";
  EXPECT_EQ(ext_->TransferBusy, 0);
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(ext_->TransferBufferSize, 64u);
  DriverGlobals.MaxTransferSize = 128;  // another bridge's AddDevice
  stack_.functions.clear();

  data.assign(100, 0x55);
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, nullptr, nullptr, &data), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(stack_.functions.empty());

  // A second transfer while one holds the bridge: refused before the mode
  // switch, the bounce buffer and CurrentTransfer.
  ext_->TransferMode = 1;
  ext_->TransferBusy = 1;
  data.assign(10, 0x66);
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, nullptr, nullptr, &data), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(stack_.functions.empty());
  ext_->TransferBusy = 0;

  stack_.bulkMoved = 10;
  ULONG_PTR info = 0;
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, &info, nullptr, &data), STATUS_SUCCESS);
  EXPECT_EQ(info, 10u);
  EXPECT_EQ(stack_.functions, (std::vector<USHORT>{URB_FUNCTION_VENDOR_DEVICE,
                                                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER}));
  EXPECT_EQ(ext_->TransferBusy, 0);
  EXPECT_EQ(ext_->CurrentTransfer, nullptr);
  EXPECT_EQ(ext_->TransferBuffer[0], 0x66);

  // A close begins while the transfer is set up: the record is never
  // published, nothing goes down, and the claim is given back.
  stack_.functions.clear();
  host::SetAllocationObserver([&](const host::PoolBlockInfo &) { ext_->Opened = 2; });
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, nullptr, nullptr, &data), STATUS_CANCELLED);
  host::SetAllocationObserver(nullptr);
  ext_->Opened = 1;
  EXPECT_TRUE(stack_.functions.empty());
  EXPECT_EQ(ext_->TransferBusy, 0);
  ASSERT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(ext_->TransferBuffer, nullptr);
}

// The configuration is read in two steps: the configuration descriptor's own
// 9 bytes for wTotalLength, then the whole set (with the driver's slack of 16
// bytes beyond it).
TEST_F(UsbIoUnitTest, TheConfigurationIsReadByItsNineBytesThenByItsTotalLength) {
  ASSERT_EQ(ConfigureDevice(bridge_), STATUS_SUCCESS);
  const std::vector<std::pair<UCHAR, ULONG>> expected = {
      {USB_DEVICE_DESCRIPTOR_TYPE, 18}, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9}, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 32 + 16}};
  EXPECT_EQ(stack_.descriptorReads, expected);
  EXPECT_EQ(ext_->ConfigurationDescriptorSize, 32u);
  EXPECT_NE(ext_->InterfaceInfo, nullptr);
}

// A probe the device answers short leaves the bytes it did not send at zero:
// wTotalLength is what arrived of it, never what the pool held before.
TEST_F(UsbIoUnitTest, AShortConfigurationProbeSizesTheSecondReadByWhatArrived) {
  struct Row {
    size_t probeBytes;
    ULONG secondRead;  // the second configuration read's length, with the slack of 16
  } rows[] = {
      {9, 32 + 16},
      {4, 32 + 16},
      {3, 32 + 16},  // the low byte alone arrived; the high byte is 0
      {2, 16},       // nothing of wTotalLength arrived
      {0, 16},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probeBytes);
    stack_.descriptorReads.clear();
    stack_.configurationReplyLimits = {row.probeBytes};
    ConfigureDevice(bridge_);
    ASSERT_EQ(stack_.descriptorReads.size(), 3u);
    EXPECT_EQ(stack_.descriptorReads[2], std::make_pair(UCHAR(USB_CONFIGURATION_DESCRIPTOR_TYPE), row.secondRead));
  }
}

// Each kind of descriptor is handed back into a buffer of exactly its size,
// and refused by one byte less; its size is reported either way.
TEST_F(UsbIoUnitTest, ADescriptorCopyFitsAnExactBufferAndNotOneByteLess) {
  ASSERT_EQ(ConfigureDevice(bridge_), STATUS_SUCCESS);
  struct Row {
    USHORT kind;  // device, configuration, interface, endpoints
    ULONG size;
  } rows[] = {{0, 18}, {1, 9}, {2, 9}, {3, 14}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.kind);
    std::vector<UCHAR> buffer(row.size, 0xEE);
    ULONG out = 0;
    EXPECT_EQ(GetDescriptor(bridge_, row.kind, buffer.data(), row.size, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, row.size);
    EXPECT_NE(buffer.back(), 0xEE) << "the last byte is copied too";
    out = 0;
    EXPECT_EQ(GetDescriptor(bridge_, row.kind, buffer.data(), row.size - 1, &out), STATUS_NO_MEMORY);
    EXPECT_EQ(out, row.size);
  }
}

// The USB routines reached for a bridge left without its extension (removed
// with a handle open) send nothing and say why.
TEST_F(UsbIoUnitTest, RoutinesForABridgeWithoutExtensionSendNothing) {
  PDEVICE_OBJECT gone = CreateStandInDevice();
  auto set = ConfigurationSet();
  auto *descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  std::vector<UCHAR> buffer(64);
  ULONG out = 0;
  BOOLEAN stored = TRUE;
  URB urb{};
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  USBD_PIPE_INFORMATION pipe{};
  struct Row {
    const char *routine;
    NTSTATUS returned;
    NTSTATUS expected;
  } rows[] = {
      {"ReadDeviceId", ReadDeviceId(gone, nullptr, buffer.data(), ULONG(buffer.size())), STATUS_DELETE_PENDING},
      {"SelectInterfaceEx", SelectInterfaceEx(gone, descriptor, ULONG(set.size()), 0, 0, &stored), STATUS_DELETE_PENDING},
      {"SelectStoredInterface", SelectStoredInterface(gone, 0, 0), STATUS_DELETE_PENDING},
      {"VendorCommand", VendorCommand(gone, nullptr, 2, 0, nullptr), STATUS_DELETE_PENDING},
      {"ConfigureDevice", ConfigureDevice(gone), STATUS_DELETE_PENDING},
      {"SubmitUrb", SubmitUrb(gone, &urb), STATUS_DELETE_PENDING},
      {"AbortPipes", AbortPipes(gone, &pipe), STATUS_SUCCESS},
      {"CopyPipe", CopyPipe(gone, 0, &pipe) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
      {"GetDescriptor", GetDescriptor(gone, 0, buffer.data(), ULONG(buffer.size()), &out), STATUS_UNSUCCESSFUL},
      {"CancelCurrentTransfer", CancelCurrentTransfer(gone) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
  };
  SetPipeMarks(gone, 1);
  for (const Row &row : rows) EXPECT_EQ(row.returned, row.expected) << row.routine;
  EXPECT_FALSE(stored);
  EXPECT_EQ(out, 0u);
  FreeDeviceResources(gone);  // nothing of a bridge to free
  EXPECT_TRUE(stack_.functions.empty());
  IoDeleteDevice(gone);
}

// Once remove has begun, the gate admits no request: each is refused as
// delete-pending, with nothing moved and nothing sent.
TEST_F(UsbIoUnitTest, ABridgeBeingRemovedRefusesEveryRequestWithNothingMoved) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  stack_.functions.clear();
  std::vector<UCHAR> data(4, 0x66);
  struct Row {
    UCHAR major;
    std::vector<UCHAR> *data;
  } rows[] = {{IRP_MJ_CREATE, nullptr}, {IRP_MJ_WRITE, &data}, {IRP_MJ_READ, &data}, {IRP_MJ_DEVICE_CONTROL, nullptr}};
  // Removed, or gone at a surprise removal while the remove waits for the
  // last handle: the same refusal.
  for (UCHAR *flag : {&ext_->DeviceGone, &ext_->DeviceRemoved}) {
    *flag = 1;
    for (const Row &row : rows) {
      ULONG_PTR info = 99;
      EXPECT_EQ(Send(bridge_, row.major, 0, {}, 0, nullptr, &info, nullptr, row.data), STATUS_DELETE_PENDING)
          << int(row.major);
      EXPECT_EQ(info, 0u) << int(row.major);
    }
  }
  ext_->DeviceGone = 0;
  for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL}) {
    const Outcome outcome = SendPnp(bridge_, major, IRP_MN_QUERY_CAPABILITIES, {}, 99);
    EXPECT_EQ(outcome.returned, STATUS_DELETE_PENDING) << int(major);
    EXPECT_EQ(outcome.statusBlock.Information, 0u) << int(major);
  }
  EXPECT_TRUE(stack_.functions.empty());
  EXPECT_TRUE(stack_.arrivals.empty());
  ext_->DeviceRemoved = 0;
  ULONG_PTR closeInfo = 99;
  ASSERT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0, nullptr, &closeInfo), STATUS_SUCCESS);
  EXPECT_EQ(closeInfo, 0u) << "a close moves nothing either";
}

// A start whose device descriptor cannot be read keeps no device descriptor,
// not even the one an earlier start stored, and reads no configuration.
TEST_F(UsbIoUnitTest, AFailedDeviceDescriptorReadLeavesNoDeviceDescriptor) {
  ASSERT_EQ(ConfigureDevice(bridge_), STATUS_SUCCESS);
  ASSERT_NE(ext_->DeviceDescriptor, nullptr);
  stack_.descriptorReads.clear();
  stack_.status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(ConfigureDevice(bridge_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext_->DeviceDescriptor, nullptr);
  EXPECT_EQ(stack_.descriptorReads.size(), 1u);
}

// A selection the USB stack answers with success but a failed URB status is
// refused all the same: nothing is stored.
TEST_F(UsbIoUnitTest, ASelectionIsRefusedByItsUrbStatusAlone) {
  auto set = ConfigurationSet();
  auto *copy = static_cast<PUCHAR>(AllocatePool(NonPagedPool, set.size()));
  std::memcpy(copy, set.data(), set.size());
  stack_.urbStatus = USBD_STATUS_STALL_PID;
  BOOLEAN stored = TRUE;
  SelectInterfaceEx(bridge_, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy), ULONG(set.size()), 0, 0, &stored);
  EXPECT_FALSE(stored);
  EXPECT_EQ(ext_->InterfaceInfo, nullptr);
  EXPECT_EQ(ext_->ConfigurationHandle, nullptr);
  EXPECT_EQ(ext_->ConfigurationDescriptor, nullptr);
  EXPECT_EQ(stack_.functions, std::vector<USHORT>{URB_FUNCTION_SELECT_CONFIGURATION});
  ExFreePool(copy);
}

// Abort and reset walk the open pipes from the first: the write pipe, then
// the read pipe.
TEST_F(UsbIoUnitTest, PipeMaintenanceWalksPipeZeroThenPipeOne) {
  Configure(ConfigurationSet());
  SetPipeMarks(bridge_, 1);
  const std::vector<PVOID> inOrder = {reinterpret_cast<PVOID>(0x100), reinterpret_cast<PVOID>(0x101)};
  EXPECT_EQ(AbortPipes(bridge_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(stack_.pipeHandles, inOrder);
  stack_.pipeHandles.clear();
  EXPECT_EQ(ResetPipes(bridge_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(stack_.pipeHandles, inOrder);
}

// wIndex of each sub-command, whatever argument the caller gives: the
// argument for 2, its low byte for 4, 5 for 5, 0 for 3 and 6; nothing is
// sent for a sub-command outside 2..6.
TEST_F(UsbIoUnitTest, EachSubCommandSendsItsOwnIndex) {
  const USHORT argument = 0x1234;
  const std::vector<std::pair<UCHAR, USHORT>> cases = {{2, 0x1234}, {3, 0}, {4, 0x34}, {5, 5}, {6, 0}};
  for (auto [subCommand, index] : cases) {
    stack_.vendorIndexes.clear();
    EXPECT_EQ(VendorCommand(bridge_, nullptr, subCommand, argument, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stack_.vendorIndexes, std::vector<USHORT>{index}) << int(subCommand);
  }
  stack_.functions.clear();
  for (UCHAR refused : {UCHAR(1), UCHAR(7)})
    EXPECT_EQ(VendorCommand(bridge_, nullptr, refused, argument, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(stack_.functions.empty());
}

// A write reports what the stack moved, never more than was asked.
TEST_F(UsbIoUnitTest, AWriteReportsTheBytesTheStackMoved) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  // Nothing to write is refused before anything is sent.
  EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(stack_.functions.size() == 1u);  // the selection
  std::vector<UCHAR> data(10, 0x66);
  for (auto [moved, reported] : std::vector<std::pair<ULONG, ULONG_PTR>>{{7, 7}, {10, 10}, {12, 10}}) {
    stack_.bulkMoved = moved;
    ULONG_PTR info = 0;
    EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, &info, nullptr, &data), STATUS_SUCCESS);
    EXPECT_EQ(info, reported) << moved;
  }
  // Only a read keeps what moved beyond its length.
  EXPECT_EQ(ext_->ReadCarryLength, 0u);
  // A read of nothing is refused, even with kept bytes waiting, and takes none.
  ext_->ReadCarryLength = 3;
  ULONG_PTR refusedInfo = 99;
  EXPECT_EQ(Send(bridge_, IRP_MJ_READ, 0, {}, 0, nullptr, &refusedInfo), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(refusedInfo, 0u);
  EXPECT_EQ(ext_->ReadCarryLength, 3u);
  ext_->ReadCarryLength = 0;
  ASSERT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);

  // The smallest settings: one byte still moves; none refuses every length
  // before anything is sent.
  for (auto [max, expected] : std::vector<std::pair<ULONG, NTSTATUS>>{{1, STATUS_SUCCESS}, {0, STATUS_INVALID_PARAMETER}}) {
    DriverGlobals.MaxTransferSize = max;
    ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
    std::vector<UCHAR> one(1, 0x42);
    stack_.bulkMoved = 1;
    EXPECT_EQ(Send(bridge_, IRP_MJ_WRITE, 0, {}, 0, nullptr, nullptr, nullptr, &one), expected) << max;
    ASSERT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
  }
}

// Every request block carries the length of its own record in its header
// (the pipe requests stop before their reserved word; the unconfigure block
// describes one empty interface).
TEST_F(UsbIoUnitTest, EveryRequestCarriesItsRecordLengthInItsHeader) {
  const USHORT select = USHORT(FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) +
                               FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
  ASSERT_EQ(ConfigureDevice(bridge_), STATUS_SUCCESS);
  SetPipeMarks(bridge_, 1);
  AbortPipes(bridge_, nullptr);
  ClearHalts(bridge_, nullptr);
  VendorCommand(bridge_, nullptr, 5, 0, nullptr);
  UnconfigureDevice(bridge_);
  const USHORT descriptor = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  const USHORT pipe = FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved);
  const USHORT feature = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  const std::vector<USHORT> expected = {
      descriptor, descriptor, descriptor, USHORT(select + 2 * sizeof(USBD_PIPE_INFORMATION)), pipe, pipe,
      feature,    feature,    sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), select};
  EXPECT_EQ(stack_.urbLengths, expected);
  EXPECT_EQ(stack_.untidyUrbs, 0);
}

// A configuration of two interfaces: the block has an entry header for each,
// and pipe records for the one interface described.
TEST_F(UsbIoUnitTest, TheSelectBlockHasAnEntryHeaderPerInterfaceOfTheConfiguration) {
  auto set = ConfigurationSet();
  const std::vector<UCHAR> second = {9, 4, 1, 0, 0, 0xFF, 0, 0, 0};  // interface 1, no endpoints
  set.insert(set.end(), second.begin(), second.end());
  set[2] = UCHAR(set.size());
  set[4] = 2;
  Configure(set);
  const size_t expected = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) +
                          2 * FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION);
  ASSERT_FALSE(stack_.urbLengths.empty());
  EXPECT_EQ(stack_.urbLengths.back(), expected);
}

// Without pool for its request block or its buffer, configuration reads
// nothing and says so.
TEST_F(UsbIoUnitTest, ConfigurationWithoutPoolReadsNothing) {
  for (uint64_t nth : {1u, 2u}) {
    host::lowres::FailNth(nth);
    EXPECT_EQ(ConfigureDevice(bridge_), STATUS_NO_MEMORY) << nth;
    host::lowres::Clear();
  }
  EXPECT_TRUE(stack_.descriptorReads.empty());
}

// Maintenance of every open pipe, and a vendor command, report the stack's
// failure.
TEST_F(UsbIoUnitTest, MaintenanceAndVendorCommandsReportTheStacksFailure) {
  Configure(ConfigurationSet());
  SetPipeMarks(bridge_, 1);
  stack_.status = STATUS_DEVICE_DATA_ERROR;
  EXPECT_EQ(AbortPipes(bridge_, nullptr), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(ResetPipes(bridge_, nullptr), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(ClearHalts(bridge_, nullptr), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(VendorCommand(bridge_, nullptr, 5, 0, nullptr), STATUS_DEVICE_DATA_ERROR);
}

// A device-ID request with room for the length prefix alone is served: the
// prefix takes both bytes and no text fits.
TEST_F(UsbIoUnitTest, ADeviceIdRequestWithRoomForThePrefixAloneIsServed) {
  stack_.vendorReply = {0x00, 0x03, 'M', 'F', 'G'};
  ULONG_PTR info = 7;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 2, nullptr, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(stack_.vendorIndexes.size(), 1u);
}

// A read as the I/O manager sends one, not waited for.
struct PendingRead {
  explicit PendingRead(size_t size) : data(size, 0xEE) {}
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  std::vector<UCHAR> data;
};

void StartRead(PDEVICE_OBJECT bridge, PendingRead &read, UCHAR major = IRP_MJ_READ) {
  KeInitializeEvent(&read.done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0, bridge, nullptr, 0, nullptr, 0, FALSE, &read.done, &read.iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoAllocateMdl(read.data.data(), ULONG(read.data.size()), FALSE, FALSE, irp);
  EXPECT_EQ(IofCallDriver(bridge, irp), STATUS_PENDING);
}

bool Finished(PendingRead &read) {
  LARGE_INTEGER poll{};
  return KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS;
}

// A cleanup neither cancels nor waits for the transfer in flight. A transfer
// the reset sequence cancels just as the stack finished it reports what
// moved: a read hands its bytes over, a write its count (told 0, a writer
// would print them twice).
TEST_F(UsbIoUnitTest, CleanupLeavesTheReadAloneAndATransferCancelledAfterItMovedReportsIt) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  ext_->TransferMode = 1;  // reading already: no mode switch
  stack_.holdBulk = true;
  stack_.bulkMoved = 8;
  PendingRead read(16);
  StartRead(bridge_, read);
  ASSERT_NE(stack_.heldBulk, nullptr);

  EXPECT_EQ(Send(bridge_, IRP_MJ_CLEANUP, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_FALSE(stack_.bulkCancelled);
  EXPECT_FALSE(Finished(read));

  const int64_t before = host::clock::Now();
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_RESET_DEVICE, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(host::clock::Now() - before, 10'000'000) << "two pauses of half a second; the stack answers at once";
  EXPECT_TRUE(stack_.bulkCancelled);
  ASSERT_TRUE(Finished(read));
  EXPECT_EQ(read.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.iosb.Information, 8u);
  std::vector<UCHAR> expected(16, 0xEE);
  std::fill_n(expected.begin(), 8, 0x11);
  EXPECT_EQ(read.data, expected);
  EXPECT_EQ(ext_->CurrentTransfer, nullptr);
  EXPECT_EQ(ext_->TransferBusy, 0);
  EXPECT_EQ(ext_->PendingIoCount, 1);

  ext_->TransferMode = 0;  // writing already
  PendingRead write(16);
  StartRead(bridge_, write, IRP_MJ_WRITE);
  stack_.bulkCancelled = false;
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_RESET_DEVICE, {}, 0), STATUS_SUCCESS);
  EXPECT_TRUE(stack_.bulkCancelled);
  ASSERT_TRUE(Finished(write));
  EXPECT_EQ(write.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(write.iosb.Information, 8u);
  EXPECT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
}

// A close with a transfer in flight cancels it and looks every millisecond
// whether it has let go: a cancel that takes the stack 2.5 ms holds the close
// for three looks, and the close then frees the bounce buffer. The stack
// finishes the read into the bounce buffer meanwhile, and the read hands
// those bytes over: the buffer was still there.
TEST_F(UsbIoUnitTest, ACloseWaitsForTheCancelledTransferInMillisecondLooks) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  ext_->TransferMode = 1;
  stack_.holdBulk = true;
  stack_.cancelTakes = 25'000;
  stack_.bulkMoved = 4;
  PendingRead read(16);
  StartRead(bridge_, read);
  const int64_t before = host::clock::Now();
  EXPECT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(host::clock::Now() - before, 30'000);
  ASSERT_TRUE(Finished(read));
  EXPECT_EQ(read.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.iosb.Information, 4u);
  EXPECT_EQ(std::vector<UCHAR>(read.data.begin(), read.data.begin() + 4), std::vector<UCHAR>(4, 0x11));
  EXPECT_EQ(ext_->TransferBusy, 0);
  EXPECT_EQ(ext_->TransferBuffer, nullptr);
}

// A remove with a transfer in flight aborts the pipes first: the stack ends
// the transfer, and the remove's wait for the last request returns.
TEST_F(UsbIoUnitTest, ARemoveAbortsTheTransferInFlightBeforeItWaits) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  ext_->TransferMode = 1;
  stack_.holdBulk = true;
  PendingRead read(16);
  StartRead(bridge_, read);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(bridge_, lower_), lower_);
  const Outcome removed = SendPnp(bridge_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  bridge_ = nullptr;  // its remove deleted it
  EXPECT_EQ(removed.returned, STATUS_SUCCESS);
  ASSERT_TRUE(Finished(read));
  EXPECT_EQ(read.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(read.iosb.Information, 0u);
}

// A pipe named by its record in the current interface is maintained alone; a
// record from an interface a selection has replaced names no pipe, and
// nothing is sent for it.
TEST_F(UsbIoUnitTest, ANamedPipeIsMaintainedAloneAndAStaleRecordSendsNothing) {
  Configure(ConfigurationSet());
  SetPipeMarks(bridge_, 1);
  EXPECT_EQ(AbortPipes(bridge_, &ext_->InterfaceInfo->Pipes[1]), STATUS_SUCCESS);
  EXPECT_EQ(stack_.pipeHandles, std::vector<PVOID>{reinterpret_cast<PVOID>(0x101)});

  USBD_PIPE_INFORMATION stale = ext_->InterfaceInfo->Pipes[0];
  stack_.functions.clear();
  EXPECT_EQ(ResetPipes(bridge_, &stale), STATUS_SUCCESS);
  EXPECT_EQ(ClearHalts(bridge_, &stale), STATUS_SUCCESS);
  EXPECT_TRUE(stack_.functions.empty());
}

// The reset sequence runs only while a transfer is in flight.
TEST_F(UsbIoUnitTest, AResetWithNothingInFlightSendsNothing) {
  Configure(ConfigurationSet());
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  stack_.functions.clear();
  EXPECT_EQ(Ioctl(IOCTL_BRIDGE_RESET_DEVICE, {}, 0), STATUS_SUCCESS);
  EXPECT_TRUE(stack_.functions.empty());
  EXPECT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
}

// Interface and endpoint descriptors come from the interface of the
// settings; a stored set without it has none to give.
TEST_F(UsbIoUnitTest, WithoutTheSettingsInterfaceThereIsNoInterfaceDescriptor) {
  Configure(ConfigurationSet());
  UCHAR buffer[64];
  ULONG out = 99;
  DriverGlobals.IfSetting = 5;
  for (USHORT kind : {USHORT(2), USHORT(3)}) {
    EXPECT_EQ(GetDescriptor(bridge_, kind, buffer, sizeof buffer, &out), STATUS_UNSUCCESSFUL) << kind;
    EXPECT_EQ(out, 0u) << kind;
  }
  DriverGlobals.IfSetting = 0;
  EXPECT_EQ(GetDescriptor(bridge_, 2, buffer, sizeof buffer, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, 9u);
}

// An interface descriptor is found wherever it lies wholly inside the
// searched bytes, their very first byte included, and nowhere past them.
TEST_F(UsbIoUnitTest, AnInterfaceIsFoundOnlyWhollyInsideTheSearchedBytes) {
  struct Case {
    const char *name;
    std::vector<UCHAR> bytes;
    ULONG searched;
    UCHAR alternateSetting;
    bool found;
    ULONG offset;
  };
  const std::vector<UCHAR> bare = {9, 4, 0, 1, 2, 0xFF, 0, 0, 0};  // interface 0, setting 1, and nothing else
  const std::vector<UCHAR> set = ConfigurationSet();
  for (const Case &c : {Case{"at the first byte", bare, 9, 1, true, 0},
                        Case{"behind the configuration", set, ULONG(set.size()), 0, true, 9},
                        Case{"cut by the end of the search", set, 12, 0, false, 0}}) {
    std::vector<UCHAR> bytes = c.bytes;
    ULONG offset = 99;
    PUSB_INTERFACE_DESCRIPTOR found = FindInterface(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data()),
                                                    c.searched, 0, c.alternateSetting, &offset);
    EXPECT_EQ(found != nullptr, c.found) << c.name;
    if (found != nullptr) {
      EXPECT_EQ(offset, c.offset) << c.name;
      EXPECT_EQ(reinterpret_cast<PUCHAR>(found), bytes.data() + c.offset) << c.name;
    }
  }
}

// Starts that replace the stored set between a copy's look at its size and
// the copy itself: the copy tries again with the new size, four times in
// all, and never copies a set of another size than it allocated for.
TEST_F(UsbIoUnitTest, ACopyOfTheStoredSetTriesFourTimesWhileStartsReplaceIt) {
  struct Case {
    const char *name;
    size_t replacements;
    NTSTATUS status;
  };
  for (const Case &c : {Case{"three replacements", 3, STATUS_SUCCESS}, Case{"four replacements", 4, STATUS_DEVICE_BUSY}}) {
    Configure(ConfigurationSet());
    // Each replacement is one byte longer than the set it replaces.
    std::vector<PUCHAR> sets;
    for (size_t i = 1; i <= c.replacements; ++i) {
      const ULONG size = ULONG(ConfigurationSet().size() + i);
      auto *replacement = static_cast<PUCHAR>(AllocatePool(NonPagedPool, size));
      std::memset(replacement, int(i), size);
      sets.push_back(replacement);
    }
    std::vector<PVOID> replaced;
    size_t next = 0;
    host::SetAllocationObserver([&](const host::PoolBlockInfo &) {
      if (next == sets.size()) return;
      KIRQL irql;
      KeAcquireSpinLock(&ext_->InterfaceLock, &irql);
      replaced.push_back(ext_->ConfigurationDescriptor);
      ext_->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(sets[next]);
      ext_->ConfigurationDescriptorSize = ULONG(ConfigurationSet().size() + ++next);
      KeReleaseSpinLock(&ext_->InterfaceLock, irql);
    });
    PUSB_CONFIGURATION_DESCRIPTOR copy = nullptr;
    ULONG copySize = 0;
    const NTSTATUS status = CopyStoredConfiguration(ext_, &copy, &copySize);
    host::SetAllocationObserver(nullptr);
    EXPECT_EQ(status, c.status) << c.name;
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(copySize, ext_->ConfigurationDescriptorSize) << c.name;
      EXPECT_EQ(std::memcmp(copy, ext_->ConfigurationDescriptor, copySize), 0) << c.name;
      ExFreePool(copy);
    }
    for (PVOID old : replaced) ExFreePool(old);
  }
}

// An interface without endpoints, last in the set: its endpoint list is the
// empty span right at the set's end, which lies inside it.
TEST_F(UsbIoUnitTest, AnInterfaceWithoutEndpointsAtTheSetsEndHasAnEmptyEndpointList) {
  const std::vector<UCHAR> set = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 7, 1, 2, 0};
  auto *copy = static_cast<PUCHAR>(AllocatePool(NonPagedPool, set.size()));
  std::memcpy(copy, set.data(), set.size());
  ext_->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy);
  ext_->ConfigurationDescriptorSize = ULONG(set.size());
  std::vector<UCHAR> out(64, 0xEE);
  ULONG length = 99;
  EXPECT_EQ(GetDescriptor(bridge_, 3, out.data(), ULONG(out.size()), &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out[0], 0xEE);
}

}  // namespace
