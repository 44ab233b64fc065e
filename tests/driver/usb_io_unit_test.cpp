// The USB access and user I/O routines on the kernel alone: a bridge device
// object built by hand above a scripted stand-in for the USB stack, which
// records every URB and completes it at once.
#include <algorithm>
#include <cstring>
#include <vector>

#include "frame_fixture.h"

namespace {

struct ScriptedStack {
  std::vector<USHORT> functions;      // URB functions, in the order received
  std::vector<USHORT> vendorIndexes;  // wIndex of each vendor request
  std::vector<UCHAR> vendorReply;     // what a vendor request reads
  NTSTATUS status = STATUS_SUCCESS;   // what every request completes with
  ULONG bulkMoved = 0;                // bytes a bulk transfer reports moved
};
ScriptedStack *gStack = nullptr;

void AnswerUrb(PURB urb) {
  gStack->functions.push_back(urb->UrbHeader.Function);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &request = urb->UrbControlVendorClassRequest;
      gStack->vendorIndexes.push_back(request.Index);
      ULONG n = std::min<ULONG>(ULONG(gStack->vendorReply.size()), request.TransferBufferLength);
      if (n != 0) std::memcpy(request.TransferBuffer, gStack->vendorReply.data(), n);
      request.TransferBufferLength = n;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto &select = urb->UrbSelectConfiguration;
      if (select.ConfigurationDescriptor == nullptr) break;
      select.ConfigurationHandle = reinterpret_cast<PVOID>(0xC0);
      PUSBD_PIPE_INFORMATION pipes = &select.Interface.Pipes[0];
      for (ULONG i = 0; i < select.Interface.NumberOfPipes; ++i)
        pipes[i].PipeHandle = reinterpret_cast<PVOID>(0x100 + i);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = gStack->bulkMoved;
      break;
    default:
      break;
  }
}

NTSTATUS NTAPI ScriptedStackDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    AnswerUrb(static_cast<PURB>(sp->Parameters.Others.Argument1));
  NTSTATUS status = gStack->status;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI ScriptedStackEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ScriptedStackDispatch;
  return STATUS_SUCCESS;
}

// A configuration of 32 bytes: one interface (number 0) with a bulk OUT and
// a bulk IN endpoint.
std::vector<UCHAR> ConfigurationSet() {
  return {9, 2, 32, 0, 1, 1, 0, 0x80, 50,          // configuration
          9, 4, 0, 0, 2, 0xFF, 0, 0, 0,            // interface 0, two endpoints
          7, 5, 0x01, 2, 64, 0, 0,                 // bulk OUT
          7, 5, 0x82, 2, 64, 0, 0};                // bulk IN
}

class UsbIoUnitTest : public DriverUnitTest {
 protected:
  void SetUp() override {
    DriverUnitTest::SetUp();
    gStack = &stack_;
    usbDriver_ = host::CreateDriverObject(u"\\Driver\\scriptedusb", ScriptedStackEntry);
    ASSERT_NE(usbDriver_, nullptr);
    ASSERT_EQ(IoCreateDevice(usbDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bridge_),
              STATUS_SUCCESS);
    bridge_->StackSize = CHAR(lower_->StackSize + 1);
    bridge_->Flags |= DO_DIRECT_IO;
    ext_ = static_cast<FdoExtension *>(bridge_->DeviceExtension);
    ext_->IsFdo = 1;
    ext_->Self = bridge_;
    ext_->LowerDeviceObject = lower_;
    ext_->PendingIoCount = 1;
    InitializeListHead(&ext_->ChildList);
    KeInitializeEvent(&ext_->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&ext_->ChildListLock);
    KeInitializeSpinLock(&ext_->TransferLock);
    KeInitializeSpinLock(&ext_->InterfaceLock);
  }

  void TearDown() override {
    host::lowres::Clear();
    DriverGlobals.MaxTransferSize = 4096;
    if (bridge_ != nullptr) {
      bridge_->DeviceExtension = ext_;
      FreeDeviceResources(bridge_);
      IoDeleteDevice(bridge_);
    }
    if (lower_ != nullptr) IoDeleteDevice(lower_);
    if (usbDriver_ != nullptr) host::DeleteDriverObject(usbDriver_);
    gStack = nullptr;
    DriverUnitTest::TearDown();
  }

  // Sends one request to a device as the I/O manager would, with a
  // buffered system buffer, and waits for it.
  NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, ULONG code, std::vector<UCHAR> input, ULONG outputLength,
                std::vector<UCHAR> *output = nullptr, ULONG_PTR *information = nullptr, PMDL *mdl = nullptr,
                std::vector<UCHAR> *data = nullptr) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    std::vector<UCHAR> out(outputLength);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input.empty() ? nullptr : input.data(),
                                             ULONG(input.size()), out.empty() ? nullptr : out.data(),
                                             outputLength, FALSE, &done, &iosb);
    EXPECT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    if (data != nullptr) {
      PMDL attached = IoAllocateMdl(data->data(), ULONG(data->size()), FALSE, FALSE, irp);
      if (mdl != nullptr) *mdl = attached;
    }
    if (IofCallDriver(device, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (output != nullptr) *output = out;
    if (information != nullptr) *information = iosb.Information;
    return iosb.Status;
  }

  NTSTATUS Ioctl(ULONG code, std::vector<UCHAR> input, ULONG outputLength, std::vector<UCHAR> *output = nullptr,
                 ULONG_PTR *information = nullptr) {
    return Send(bridge_, IRP_MJ_DEVICE_CONTROL, code, std::move(input), outputLength, output, information);
  }

  // Stores a configuration set as a start would, and selects interface 0.
  void Configure(std::vector<UCHAR> set) {
    auto *copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, set.size(), NORVUSB_POOL_TAG));
    std::memcpy(copy, set.data(), set.size());
    BOOLEAN stored = FALSE;
    ASSERT_EQ(SelectInterfaceEx(bridge_, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy), ULONG(set.size()),
                                0, 0, &stored),
              STATUS_SUCCESS);
    ASSERT_TRUE(stored);
  }

  ScriptedStack stack_;
  PDRIVER_OBJECT usbDriver_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT bridge_ = nullptr;
  FdoExtension *ext_ = nullptr;
};

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

  auto *device = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 18, NORVUSB_POOL_TAG));
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
  ASSERT_EQ(Send(bridge_, IRP_MJ_CREATE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(ext_->TransferBufferSize, 64u);
  DriverGlobals.MaxTransferSize = 128;  // another bridge's AddDevice
  stack_.functions.clear();

  std::vector<UCHAR> data(100, 0x55);
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
  ASSERT_EQ(Send(bridge_, IRP_MJ_CLOSE, 0, {}, 0), STATUS_SUCCESS);
  EXPECT_EQ(ext_->TransferBuffer, nullptr);
}

}  // namespace
