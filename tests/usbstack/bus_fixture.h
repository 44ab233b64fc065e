// A booted kernel, a USB bus with a loopback device on port 1, and helpers
// that send URBs to its PDO the way a function driver does.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "host/usbstack/usb_bus.h"
#include "loopback_device.h"
#include "tests/support/kernel_fixture.h"

namespace usbtest {

// One request in flight: the IRP's event and status block must outlive it.
struct PendingUrb {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;

  // Waits for completion (no limit) and returns the final status.
  NTSTATUS Wait() {
    if (returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return returned == STATUS_PENDING ? iosb.Status : returned;
  }
  // Waits at most `units` of model time; STATUS_TIMEOUT if still pending.
  NTSTATUS WaitFor(int64_t units) {
    if (returned != STATUS_PENDING) return returned;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -units;
    const NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    return wait == STATUS_TIMEOUT ? STATUS_TIMEOUT : iosb.Status;
  }
};

// A URB block with room for a select-configuration request of one interface.
struct UrbBlock {
  alignas(16) std::byte bytes[512]{};
  PURB urb() { return reinterpret_cast<PURB>(bytes); }
};

// Public, so that a test's own small drivers (helpers outside the fixture) can use it.
class BusTest : public KernelFixture {
 public:
  explicit BusTest(host::usb::Timing timing = host::usb::Timing::Instant) : timing_(timing) {}

  void SetUp() override {
    KernelFixture::SetUp();
    device = std::make_shared<LoopbackDevice>();
    host::usb::BusOptions options;
    options.timing = timing_;
    bus = std::make_unique<host::usb::UsbBus>(options);
    port = bus->Attach(device);
    pdo = bus->Pdo(port);
    ASSERT_NE(pdo, nullptr);
    // No Plug and Play manager here: the test starts the PDO as it would.
    ASSERT_EQ(SendToPdo(IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  }
  void TearDown() override {
    bus.reset();  // the bus's objects go before the kernel checks for leaks
    KernelFixture::TearDown();
  }

  std::unique_ptr<PendingUrb> SubmitAsync(PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    auto pending = std::make_unique<PendingUrb>();
    KeInitializeEvent(&pending->event, NotificationEvent, FALSE);
    pending->irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &pending->event,
                                                 &pending->iosb);
    EXPECT_NE(pending->irp, nullptr);
    IoGetNextIrpStackLocation(pending->irp)->Parameters.Others.Argument1 = urb;
    pending->returned = IoCallDriver(pdo, pending->irp);
    return pending;
  }
  NTSTATUS Submit(PURB urb) { return SubmitAsync(urb)->Wait(); }

  // A Plug and Play or power request to the PDO, as the managers send one,
  // and waited for (the bus pends these under force-pending).
  struct PdoRequest {
    NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver or PoCallDriver returned
    NTSTATUS status = STATUS_PENDING;    // the final status
  };
  PdoRequest SendToPdoAndWait(UCHAR major, UCHAR minor, DEVICE_POWER_STATE power = PowerDeviceUnspecified) {
    PdoRequest outcome;
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
      location->Parameters.Power.Type = DevicePowerState;
      location->Parameters.Power.State.DeviceState = power;
    }
    Finished finished;
    KeInitializeEvent(&finished.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepStatus, &finished, TRUE, TRUE, TRUE);
    outcome.returned = major == IRP_MJ_POWER ? PoCallDriver(pdo, irp) : IoCallDriver(pdo, irp);
    KeWaitForSingleObject(&finished.done, Executive, KernelMode, FALSE, nullptr);
    outcome.status = finished.result.Status;
    return outcome;
  }
  NTSTATUS SendToPdo(UCHAR major, UCHAR minor, DEVICE_POWER_STATE power = PowerDeviceUnspecified) {
    return SendToPdoAndWait(major, minor, power).status;
  }
  NTSTATUS ResetPort() { return SubmitAsync(nullptr, IOCTL_INTERNAL_USB_RESET_PORT)->Wait(); }

  // Selects configuration 1 with its one interface; fills `in` and `out` handles.
  NTSTATUS Configure(ULONG maxTransfer = 4096) {
    configDescriptor = device->ConfigurationDescriptor();
    auto *urb = select.urb();
    const size_t length = offsetof(_URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                          2 * sizeof(USBD_PIPE_INFORMATION);
    urb->UrbHeader.Length = static_cast<USHORT>(length);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor.data());
    auto &interface = urb->UrbSelectConfiguration.Interface;
    interface.Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
    interface.NumberOfPipes = 2;
    interface.Pipes[0].MaximumTransferSize = maxTransfer;
    interface.Pipes[1].MaximumTransferSize = maxTransfer;
    const NTSTATUS status = Submit(urb);
    out = interface.Pipes[0].PipeHandle;
    in = interface.Pipes[1].PipeHandle;
    return status;
  }

  struct Finished {
    KEVENT done;
    IO_STATUS_BLOCK result{};
  };
  static NTSTATUS NTAPI KeepStatus(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *finished = static_cast<Finished *>(context);
    finished->result = irp->IoStatus;
    IoFreeIrp(irp);
    KeSetEvent(&finished->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  static void Bulk(UrbBlock &block, USBD_PIPE_HANDLE pipe, ULONG flags, void *buffer, ULONG length) {
    auto &bulk = block.urb()->UrbBulkOrInterruptTransfer;
    bulk = {};
    bulk.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = pipe;
    bulk.TransferFlags = flags;
    bulk.TransferBuffer = buffer;
    bulk.TransferBufferLength = length;
  }
  static void Vendor(UrbBlock &block, void *buffer, ULONG length,
                     ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) {
    auto &v = block.urb()->UrbControlVendorClassRequest;
    v = {};
    v.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    v.TransferFlags = flags;
    v.TransferBuffer = buffer;
    v.TransferBufferLength = length;
    v.Request = 4;
    v.Value = 1;
    v.Index = 0x0104;
  }
  static void PipeRequest(UrbBlock &block, USHORT function, USBD_PIPE_HANDLE pipe) {
    auto &p = block.urb()->UrbPipeRequest;
    p = {};
    p.Hdr.Length = static_cast<USHORT>(offsetof(_URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE));
    p.Hdr.Function = function;
    p.PipeHandle = pipe;
  }
  static void Descriptor(UrbBlock &block, UCHAR type, void *buffer, ULONG length) {
    auto &d = block.urb()->UrbControlDescriptorRequest;
    d = {};
    d.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = type;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
  }

  host::usb::Timing timing_;
  std::shared_ptr<LoopbackDevice> device;
  std::unique_ptr<host::usb::UsbBus> bus;
  host::usb::Port port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<uint8_t> configDescriptor;
  UrbBlock select;
  USBD_PIPE_HANDLE in = nullptr, out = nullptr;
};

class FullSpeedBusTest : public BusTest {
 protected:
  FullSpeedBusTest() : BusTest(host::usb::Timing::FullSpeed) {}
};

}  // namespace usbtest
