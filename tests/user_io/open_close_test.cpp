// Opening and closing a port: names, the one opener, what the handle owns,
// and what stays of it across a stop or a remove.
#include <thread>

#include "tests/user_io/user_io_fixture.h"

namespace userio {
namespace {

class OpenCloseTest : public UserIoTest {};

TEST_F(OpenCloseTest, TheDosNameAndTheDeviceNameOpenTheOnePortOnceAtATime) {
  BootWith(1);
  PDEVICE_OBJECT bridge = BridgeDevice(0);
  host::DeviceHandle first;
  ASSERT_EQ(first.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(first.Device(), bridge);
  EXPECT_EQ(bridge->ReferenceCount, 1);
  EXPECT_EQ(Fdo(0)->Opened, 1);

  // The I/O manager refuses the second opener of an exclusive device before
  // the driver hears of it, by either name.
  host::DeviceHandle second;
  EXPECT_EQ(second.Open(u"\\Device\\NorvUSB1"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second.Open(DosName(0)), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(bridge->ReferenceCount, 1);
  std::vector<uint8_t> data = Pattern(100, 1);
  EXPECT_EQ(first.Write(data.data(), ULONG(data.size())).status, STATUS_SUCCESS);

  EXPECT_EQ(first.Close(), STATUS_SUCCESS);
  EXPECT_EQ(bridge->ReferenceCount, 0);
  EXPECT_EQ(Fdo(0)->Opened, 0);
  EXPECT_EQ(Fdo(0)->TransferBuffer, nullptr);
  EXPECT_EQ(first.Close(), STATUS_INVALID_HANDLE);
  EXPECT_EQ(first.Write(data.data(), 1).status, STATUS_INVALID_HANDLE);

  ASSERT_EQ(second.Open(u"\\Device\\NorvUSB1"), STATUS_SUCCESS);
  EXPECT_EQ(second.Write(data.data(), ULONG(data.size())).status, STATUS_SUCCESS);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(200, std::chrono::seconds(5)));
  EXPECT_EQ(host::DeviceHandle().Open("\\\\.\\NorvUSB9"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(OpenCloseTest, OpenMarksEveryPipeAndGivesABounceBufferThatCloseTakesBack) {
  host::BridgePlan plan;
  // More endpoints in the configuration than in the selected setting: only its two pipes are marked.
  plan.bridge.configuration = host::hardware::AlternateSettingConfiguration();
  BootWith(1, plan);
  EXPECT_EQ(PipeMarks(0), (std::vector<ULONG>{0, 0}));
  {
    host::DeviceHandle port;
    ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
    EXPECT_EQ(PipeMarks(0), (std::vector<ULONG>{1, 1}));
    ASSERT_NE(Fdo(0)->TransferBuffer, nullptr);
    EXPECT_EQ(Fdo(0)->TransferBufferSize, kDefaultMax);
  }  // the handle goes: cleanup and close
  EXPECT_EQ(PipeMarks(0), (std::vector<ULONG>{0, 0}));
  EXPECT_EQ(Fdo(0)->TransferBuffer, nullptr);
  EXPECT_EQ(Fdo(0)->Opened, 0);
}

TEST_F(OpenCloseTest, WithoutPoolForTheBounceBufferTheOpenSucceedsAndEveryTransferFails) {
  BootWith(1);
  host::lowres::FailTag(NORVUSB_POOL_TAG);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  host::lowres::Clear();
  EXPECT_EQ(Fdo(0)->TransferBuffer, nullptr);
  uint8_t buffer[16] = {};
  uint64_t vendor = Seen(0, host::usb::RequestKind::Vendor);
  EXPECT_EQ(port.Write(buffer, sizeof buffer).status, STATUS_INSUFFICIENT_RESOURCES);
  host::IoResult read = port.Read(buffer, sizeof buffer);
  EXPECT_EQ(read.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(read.information, 0u);
  // The read's mode switch still went out: it comes before the transfer.
  EXPECT_EQ(Seen(0, host::usb::RequestKind::Vendor), vendor + 1);
  EXPECT_EQ(Seen(0, host::usb::RequestKind::BulkOut) + Seen(0, host::usb::RequestKind::BulkIn), 0u);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  // And a later open gets its buffer.
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(port.Write(buffer, sizeof buffer).status, STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, ABufferSizeChangedByAnotherBridgesAddDeviceNeverOutgrowsTheOpenHandlesBuffer) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  ASSERT_EQ(Fdo(0)->TransferBufferSize, kDefaultMax);

  host::pnp::SetDriverDefault(host::Machine::kService, "MaxTransferSize", 3 * kDefaultMax);
  machine_->Plug(PlanFor(1));
  ASSERT_EQ(DriverGlobals.MaxTransferSize, 3 * kDefaultMax);
  std::vector<uint8_t> big = Pattern(3 * kDefaultMax, 2);
  host::IoResult refused = port.Write(big.data(), ULONG(big.size()));
  EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(refused.information, 0u);
  host::IoResult bigRead = port.Read(big.data(), kDefaultMax + 1);
  EXPECT_EQ(bigRead.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port.Write(big.data(), kDefaultMax).status, STATUS_SUCCESS);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(kDefaultMax, std::chrono::seconds(5)));
  EXPECT_EQ(machine_->Printer(0).Received(), std::vector<uint8_t>(big.begin(), big.begin() + kDefaultMax));

  // Reopened, the handle gets a buffer of the size current now.
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(Fdo(0)->TransferBufferSize, 3 * kDefaultMax);
  host::pnp::ClearDriverDefaults(host::Machine::kService);
}

// A stop would take the pipes from under the open handle's job: it is
// refused, and the job goes on. A stopped port opens for nobody, not even by
// its device name, until the next start. An interface selection leaves the
// handle with unmarked pipes, until the port is opened again.
TEST_F(OpenCloseTest, AStopIsRefusedWhileOpenAndAnInterfaceSelectionLeavesTheHandleWithUnmarkedPipes) {
  BootWith(1);
  const std::string path = machine_->View(0).instancePath;
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);

  EXPECT_EQ(host::pnp::RestartDevice(path), STATUS_DEVICE_BUSY);
  EXPECT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  ASSERT_EQ(host::pnp::StopDevice(path), STATUS_SUCCESS);
  EXPECT_EQ(port.Open(u"\\Device\\NorvUSB1"), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(host::pnp::StartDevice(path), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);

  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SELECT_INTERFACE, {0, 0}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Fdo(0)->Opened, PortOpen);
  EXPECT_EQ(PipeMarks(0), (std::vector<ULONG>{0, 0}));
  EXPECT_EQ(port.Write(data, sizeof data).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port.Read(data, sizeof data).status, STATUS_INVALID_PARAMETER);
  // With no pipe marked, pipe maintenance has nothing to act on.
  uint64_t resets = Seen(0, host::usb::RequestKind::ResetPipe), clears = Seen(0, host::usb::RequestKind::Clear);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_RESET_PIPE, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(0, host::usb::RequestKind::ResetPipe), resets);
  EXPECT_EQ(Seen(0, host::usb::RequestKind::Clear), clears);
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(32, std::chrono::seconds(5)));
}

TEST_F(OpenCloseTest, AHandleClosedWithAReadPendingCancelsItAsTheThreadsExitWould) {
  BootWith(1);
  host::OpenOptions options;
  options.stuckRequestTimeout = 2 * kSecond;
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0), options), STATUS_SUCCESS);
  uint8_t buffer[64];
  auto read = port.StartRead(buffer, sizeof buffer);  // the back channel is empty: it stays pending
  EXPECT_FALSE(read->Wait(kSecond / 10));
  // Cleanup does not end it; the close waits, then cancels it.
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(read->Result().information, 0u);
  EXPECT_EQ(Fdo(0)->CurrentTransfer, nullptr);
  EXPECT_EQ(Fdo(0)->TransferBusy, 0);
  // The port works again.
  machine_->Printer(0).QueueBackChannel("ok");
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  host::IoResult again = port.Read(buffer, sizeof buffer);
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(again.information, 2u);
}

// Only the Windows 98 generation removes a bridge with a handle open: at
// once after an unplug. It defers no deletion, so the inert device stays.
TEST_F(OpenCloseTest, ABridgeRemovedWithAHandleOpenAnswersEveryRequestAndGoesWithTheClose) {
  kernelOptions_.wdmVersion = 0x0100;
  BootWith(1);
  PDEVICE_OBJECT bridge = BridgeDevice(0);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  uint8_t data[16] = {};
  ASSERT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);

  machine_->Unplug(0);
  ASSERT_EQ(bridge->DeviceExtension, nullptr);
  EXPECT_EQ(port.Write(data, sizeof data).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(port.Read(data, sizeof data).status, STATUS_DELETE_PENDING);
  std::vector<uint8_t> out;
  host::IoResult control = Control(port, IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 18, &out);
  EXPECT_EQ(control.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(control.information, 0u);
  EXPECT_EQ(out, std::vector<uint8_t>(18, 0xEE));
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_RESET_DEVICE, {}, 0).status, STATUS_DELETE_PENDING);
  // The close frees the bounce buffer (the leak check at shutdown sees to
  // it); the device object stays, as that system leaves it.
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), bridge);
  IoDeleteDevice(bridge);  // what that system never does; the kernel's leak check wants it gone
}

// A request sent straight to a device object by a kernel-mode caller.
NTSTATUS SendStraight(PDEVICE_OBJECT device, UCHAR major, ULONG code, PVOID buffer, ULONG length) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  sp->Parameters.DeviceIoControl.InputBufferLength = length;
  sp->Parameters.DeviceIoControl.OutputBufferLength = length;
  irp->AssociatedIrp.SystemBuffer = buffer;
  PMDL mdl = nullptr;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    sp->Parameters.Read.Length = length;
    mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    mdl->MappedSystemVa = buffer;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  IofCallDriver(device, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  if (mdl != nullptr) IoFreeMdl(mdl);
  IoFreeIrp(irp);
  return status;
}

TEST_F(OpenCloseTest, TheChildPrinterDeviceRefusesUserIoWithoutTouchingTheBridge) {
  BootWith(1);
  auto printer = host::pnp::FindDevice(*machine_->View(0).printerInstancePath);
  ASSERT_TRUE(printer.has_value());
  PDEVICE_OBJECT child = printer->pdo;
  ASSERT_NE(ChildExtension(child), nullptr);

  host::DeviceHandle handle;
  EXPECT_EQ(handle.Open(child), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_FALSE(handle.IsOpen());
  EXPECT_EQ(child->ReferenceCount, 0);
  EXPECT_EQ(Fdo(0)->Opened, 0);

  std::vector<uint8_t> buffer(64, 0x5A);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE})
    EXPECT_EQ(SendStraight(child, major, 0, buffer.data(), ULONG(buffer.size())), STATUS_INVALID_DEVICE_REQUEST)
        << "major " << int(major);
  for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL})
    for (ULONG code : {IOCTL_BRIDGE_RESET_DEVICE, IOCTL_BRIDGE_GET_DEVICE_ID, IOCTL_BRIDGE_SELECT_INTERFACE})
      EXPECT_EQ(SendStraight(child, major, code, buffer.data(), ULONG(buffer.size())), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0x5A));
  EXPECT_EQ(Seen(0, host::usb::RequestKind::BulkOut) + Seen(0, host::usb::RequestKind::BulkIn), 0u);
  EXPECT_EQ(Fdo(0)->Opened, 0);
  EXPECT_EQ(Fdo(0)->TransferBuffer, nullptr);

  // The bridge is unaffected.
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  EXPECT_EQ(port.Write(buffer.data(), 8).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace userio
