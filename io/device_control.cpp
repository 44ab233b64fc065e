// The bridge's private device-control interface. Every request runs on the
// caller's thread inside the I/O gate and is completed before the routine
// returns; only the handle that opened the port (or another driver, without
// a file object) is served. The status says whether the request was accepted; the outcome of
// the USB work shows in IoStatus.Information (clear-halt excepted).
#include "io_internal.h"

namespace {

// Pause between the steps of the reset sequence: 0.5 s in 100-ns units.
const LONG ResetPause = 5000000;

// What a request carries, from its stack location.
struct ControlRequest {
  PIRP Irp;
  PUCHAR Buffer;  // the system buffer; null when both lengths are 0
  ULONG InputLength;
  ULONG OutputLength;
  ULONG Code;
};

VOID Refuse(const ControlRequest *Request) {
  Request->Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
  Request->Irp->IoStatus.Information = 0;
}

BOOLEAN HasRoom(const ControlRequest *Request, ULONG InputNeeded, ULONG OutputNeeded) {
  return Request->Buffer != nullptr && Request->InputLength >= InputNeeded && Request->OutputLength >= OutputNeeded;
}

// Only while a transfer is in flight: cancel it, then abort, reset and
// clear every open pipe and reset the port, each step whatever the one
// before returned. What earlier reads left in the carry is dropped either
// way; what the cancelled transfer moved is reported by its completion.
VOID ResetSequence(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension) {
  InterlockedExchange(&Extension->ReadCarryStale, 1);
  if (!CancelCurrentTransfer(DeviceObject)) {
    return;
  }
  AbortPipes(DeviceObject, nullptr);
  DelayFor(ResetPause);
  ResetPipes(DeviceObject, nullptr);
  DelayFor(ResetPause);
  ResetPort(DeviceObject);
  ClearHalts(DeviceObject, nullptr);
}

VOID DescriptorRequest(PDEVICE_OBJECT DeviceObject, const ControlRequest *Request, USHORT Kind) {
  ULONG OutLength = 0;
  if (NT_SUCCESS(GetDescriptor(DeviceObject, Kind, Request->Buffer, Request->OutputLength, &OutLength))) {
    Request->Irp->IoStatus.Information = OutLength;
  }
}

VOID VendorRequest(PDEVICE_OBJECT DeviceObject, const ControlRequest *Request, UCHAR SubCommand, ULONG InputNeeded,
                   USHORT Argument) {
  if (!HasRoom(Request, InputNeeded, BRIDGE_VENDOR_REPLY_SIZE)) {
    Refuse(Request);
    return;
  }
  VendorCommand(DeviceObject, Request->Irp, SubCommand, Argument, Request->Buffer);
}

// The argument of sub-command 2: two input bytes, least significant first.
USHORT InputWord(const ControlRequest *Request) {
  if (!HasRoom(Request, 2, 0)) {
    return 0;
  }
  return (USHORT)(Request->Buffer[0] | (Request->Buffer[1] << 8));
}

UCHAR InputByte(const ControlRequest *Request) { return HasRoom(Request, 1, 0) ? Request->Buffer[0] : 0; }

VOID CarryOut(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension, const ControlRequest *Request) {
  switch (Request->Code) {
    case IOCTL_BRIDGE_RESET_PIPE:
      MaintainPipes(DeviceObject, URB_FUNCTION_RESET_PIPE, NORVUSB_WRITE_PIPE);
      break;
    case IOCTL_BRIDGE_ABORT_PIPES:
      AbortPipes(DeviceObject, nullptr);
      break;
    case IOCTL_BRIDGE_RESET_DEVICE:
      ResetSequence(DeviceObject, Extension);
      break;
    case IOCTL_BRIDGE_SELECT_INTERFACE:
      if (!HasRoom(Request, 2, 0)) {
        Refuse(Request);
      } else {
        SelectStoredInterface(DeviceObject, Request->Buffer[0], Request->Buffer[1]);
      }
      break;
    case IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR:
      DescriptorRequest(DeviceObject, Request, 0);
      break;
    case IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR:
      DescriptorRequest(DeviceObject, Request, 1);
      break;
    case IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR:
      DescriptorRequest(DeviceObject, Request, 2);
      break;
    case IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS:
      DescriptorRequest(DeviceObject, Request, 3);
      break;
    case IOCTL_BRIDGE_NOP:
      break;
    case IOCTL_BRIDGE_VENDOR_2:
      VendorRequest(DeviceObject, Request, BRIDGE_SUBCOMMAND_PORT_CONFIG, 2, InputWord(Request));
      break;
    case IOCTL_BRIDGE_VENDOR_3:
      VendorRequest(DeviceObject, Request, BRIDGE_SUBCOMMAND_PRINTER_INIT, 0, 0);
      break;
    case IOCTL_BRIDGE_VENDOR_6:
      VendorRequest(DeviceObject, Request, BRIDGE_SUBCOMMAND_FIRMWARE_INFO, 0, 0);
      break;
    case IOCTL_BRIDGE_SET_TRANSFER_MODE:
      VendorRequest(DeviceObject, Request, BRIDGE_SUBCOMMAND_TRANSFER_MODE, 1, InputByte(Request));
      break;
    case IOCTL_BRIDGE_GET_DEVICE_ID:
      if (!HasRoom(Request, 0, 2)) {
        Refuse(Request);
      } else {
        ReadDeviceId(DeviceObject, Request->Irp, Request->Buffer, Request->OutputLength);
      }
      break;
    case IOCTL_BRIDGE_VENDOR_5:
      VendorRequest(DeviceObject, Request, BRIDGE_SUBCOMMAND_PORT_STATUS, 0, 0);
      break;
    case IOCTL_BRIDGE_CLEAR_HALTS:
      Request->Irp->IoStatus.Status = ClearHalts(DeviceObject, nullptr);
      break;
    default:
      Refuse(Request);
      break;
  }
}

}  // namespace

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  FdoExtension *Extension = BridgeOrComplete(DeviceObject, Irp, STATUS_DELETE_PENDING, &Status);
  if (Extension == nullptr) {
    return Status;
  }
  if (!FromOwner(Extension, Irp)) {
    return CompleteRequest(Irp, STATUS_INVALID_HANDLE, 0);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION Location = IoGetCurrentIrpStackLocation(Irp);
  ControlRequest Request;
  Request.Irp = Irp;
  Request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  Request.InputLength = Location->Parameters.DeviceIoControl.InputBufferLength;
  Request.OutputLength = Location->Parameters.DeviceIoControl.OutputBufferLength;
  Request.Code = Location->Parameters.DeviceIoControl.IoControlCode;
  if (!IoGateAcquireForIo(DeviceObject)) {
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  CarryOut(DeviceObject, Extension, &Request);
  Status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoGateRelease(DeviceObject);
  return Status;
}
