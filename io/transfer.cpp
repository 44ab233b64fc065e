// The bulk transfer engine behind read and write: one bulk transfer per
// request, through the bounce buffer, passed down on the request itself and
// finished by BulkTransferComplete.
//
// One transfer at a time per bridge: a read or write first claims
// TransferBusy, and a second one meanwhile is refused with
// STATUS_DEVICE_BUSY without touching the bounce buffer, CurrentTransfer or
// the bridge's transfer mode. The claim is given back when the transfer has
// finished or failed.
//
// CurrentTransfer is published, complete, under TransferLock and cleared
// under it by the completion routine. The reset sequence takes a reference
// on the record under the same lock, so the record and its request stay
// alive until its cancel has been issued: whoever lets go of the last
// reference finishes the request.
#include "io_internal.h"

namespace {

PUCHAR CallerAddress(PMDL Mdl) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return (PUCHAR)Mdl->MappedSystemVa;
  }
  return (PUCHAR)MmMapLockedPages(Mdl, KernelMode);  // null when the system is out of mappings
}

BOOLEAN ClaimTransfer(FdoExtension *Extension) {
  return InterlockedCompareExchange(&Extension->TransferBusy, 1, 0) == 0;
}

VOID ReleaseTransfer(FdoExtension *Extension) { InterlockedExchange(&Extension->TransferBusy, 0); }

VOID FillBulkRequest(TransferContext *Context, const USBD_PIPE_INFORMATION *Pipe, PUCHAR Buffer, ULONG Length) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *Urb = &Context->Urb;
  Urb->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  Urb->PipeHandle = Pipe->PipeHandle;
  Urb->TransferFlags = USBD_SHORT_TRANSFER_OK | (Context->ReadDirection ? USBD_TRANSFER_DIRECTION_IN : 0);
  Urb->TransferBufferLength = Length;
  Urb->TransferBuffer = Buffer;
  Urb->TransferBufferMDL = nullptr;
  Urb->UrbLink = nullptr;
}

// Everything up to passing the request down. Returns STATUS_PENDING once
// the request belongs to the USB stack, or the status to fail it with.
NTSTATUS StartTransfer(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension, PIRP Irp, ULONG PipeIndex,
                       UCHAR ReadDirection) {
  USBD_PIPE_INFORMATION Pipe;
  if (!CopyPipe(DeviceObject, PipeIndex, &Pipe) || Pipe.PipeFlags != 1) {
    return STATUS_INVALID_PARAMETER;
  }
  PMDL Mdl = Irp->MdlAddress;
  ULONG Length = Mdl != nullptr ? MmGetMdlByteCount(Mdl) : 0;
  if (Length == 0 || Length > NorvUsbReadUlong(&DriverGlobals.MaxTransferSize)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Extension->TransferBuffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The setting may have grown since the open; the buffer has not.
  if (Length > Extension->TransferBufferSize) {
    return STATUS_INVALID_PARAMETER;
  }
  // Mapped now for both directions, so that a read never finds it cannot
  // hand back data already taken from the device.
  PUCHAR Caller = CallerAddress(Mdl);
  if (Caller == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Extension->TransferBuffer, Extension->TransferBufferSize);
  if (!ReadDirection) {
    RtlCopyMemory(Extension->TransferBuffer, Caller, Length);
  }
  TransferContext *Context =
      (TransferContext *)ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferContext), NORVUSB_POOL_TAG);
  if (Context == nullptr) {
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(Context, sizeof(TransferContext));
  Context->ReadDirection = ReadDirection;
  Context->CallerBuffer = Caller;
  Context->References = 1;
  IoMarkIrpPending(Irp);
  FillBulkRequest(Context, &Pipe, Extension->TransferBuffer, Length);
  Context->Cancelled = 0;

  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  Next->Parameters.Others.Argument1 = &Context->Urb;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(Irp, BulkTransferComplete, Context, TRUE, TRUE, TRUE);
  Context->Irp = Irp;

  KIRQL Irql;
  KeAcquireSpinLock(&Extension->TransferLock, &Irql);
  Extension->CurrentTransfer = Context;
  KeReleaseSpinLock(&Extension->TransferLock, Irql);
  // From here on the request and the record belong to the completion side.
  IofCallDriver(Extension->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

// Settles the request's outcome as the completion found it: status,
// bytes moved, and for a read the data handed to the caller. Returns the
// completion's result.
NTSTATUS SettleOutcome(FdoExtension *Extension, TransferContext *Context, BOOLEAN Cancelled) {
  PIRP Irp = Context->Irp;
  if (Cancelled) {
    // Nothing is handed back, even if some data had moved.
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    return STATUS_CANCELLED;
  }
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status;
  }
  // Never more than the caller asked for, whatever the stack reports.
  ULONG Moved = Context->Urb.TransferBufferLength;
  ULONG Asked = MmGetMdlByteCount(Irp->MdlAddress);
  if (Moved > Asked) {
    Moved = Asked;
  }
  Irp->IoStatus.Information = Moved;
  if (Context->ReadDirection) {
    RtlCopyMemory(Context->CallerBuffer, Extension->TransferBuffer, Moved);
  }
  return STATUS_SUCCESS;
}

// Frees the record and gives the bounce buffer back.
VOID ReleaseRecord(FdoExtension *Extension, TransferContext *Context) {
  ExFreePool(Context);
  ReleaseTransfer(Extension);
}

// Claims the bounce buffer and puts the bridge in the transfer's mode. On
// failure nothing is claimed.
NTSTATUS ClaimInMode(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension, PIRP Irp, UCHAR Mode) {
  if (!ClaimTransfer(Extension)) {
    return STATUS_DEVICE_BUSY;
  }
  if (Extension->TransferMode == Mode) {
    return STATUS_SUCCESS;
  }
  // Only an error-severity status stops the transfer; a warning lets it go on.
  NTSTATUS Status = VendorCommand(DeviceObject, Irp, BRIDGE_SUBCOMMAND_TRANSFER_MODE, Mode, nullptr);
  if (IsErrorSeverity(Status)) {
    ReleaseTransfer(Extension);
    return Status;
  }
  return STATUS_SUCCESS;
}

// Read and write share everything but the mode, the pipe and the direction.
NTSTATUS DispatchTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Mode, ULONG PipeIndex,
                          UCHAR ReadDirection) {
  NTSTATUS Status;
  FdoExtension *Extension = BridgeOrComplete(DeviceObject, Irp, STATUS_DELETE_PENDING, &Status);
  if (Extension == nullptr) {
    return Status;
  }
  // The change of mode talks to the device too: it runs inside the gate, so
  // that remove waits for it rather than detach under it.
  if (!IoGateAcquire(DeviceObject)) {
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  Status = ClaimInMode(DeviceObject, Extension, Irp, Mode);
  // BulkTransfer takes a unit of its own, kept until the transfer finishes.
  Status = NT_SUCCESS(Status) ? BulkTransfer(DeviceObject, Irp, PipeIndex, ReadDirection)
                              : CompleteRequest(Irp, Status, 0);
  IoGateRelease(DeviceObject);
  return Status;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return DispatchTransfer(DeviceObject, Irp, 0, 0, 0);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return DispatchTransfer(DeviceObject, Irp, 1, 1, 1);
}

// The caller holds the bridge's transfer claim; every path gives it back.
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PipeIndex, UCHAR ReadDirection) {
  Irp->IoStatus.Information = 0;
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    // Removed meanwhile with the handle open: nothing of the bridge is left.
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  if (!IoGateAcquire(DeviceObject)) {
    ReleaseTransfer(Extension);
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  NTSTATUS Status = StartTransfer(DeviceObject, Extension, Irp, PipeIndex, ReadDirection);
  if (Status != STATUS_PENDING) {
    ReleaseTransfer(Extension);
    CompleteRequest(Irp, Status, 0);
    IoGateRelease(DeviceObject);
  }
  return Status;
}

NTSTATUS NTAPI BulkTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Irp);
  TransferContext *Transfer = (TransferContext *)Context;
  FdoExtension *Extension = BridgeExtension(DeviceObject);  // kept by the gate unit
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->TransferLock, &Irql);
  if (Extension->CurrentTransfer == Transfer) {
    Extension->CurrentTransfer = nullptr;
  }
  BOOLEAN Cancelled = Transfer->Cancelled != 0;
  KeReleaseSpinLock(&Extension->TransferLock, Irql);
  NTSTATUS Result = SettleOutcome(Extension, Transfer, Cancelled);
  if (InterlockedDecrement(&Transfer->References) != 0) {
    // A reset sequence is cancelling this transfer right now; it finishes
    // the request once its cancel has been issued.
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ReleaseRecord(Extension, Transfer);
  IoGateRelease(DeviceObject);
  return Result;
}

VOID CancelTransfer(TransferContext *Context) {
  // The reset sequence marks the record under TransferLock already.
  if (!Context->Cancelled) {
    Context->Cancelled = 1;
  }
  IoCancelIrp(Context->Irp);  // its result does not matter
}

BOOLEAN CancelCurrentTransfer(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return FALSE;
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->TransferLock, &Irql);
  TransferContext *Transfer = Extension->CurrentTransfer;
  if (Transfer != nullptr) {
    InterlockedIncrement(&Transfer->References);
    // Marked here, so that the completion routine, which reads the mark
    // under the same lock, reports the transfer cancelled.
    Transfer->Cancelled = 1;
  }
  KeReleaseSpinLock(&Extension->TransferLock, Irql);
  if (Transfer == nullptr) {
    return FALSE;
  }
  // Not under the lock: the stack may complete the request from inside the
  // cancel, and the completion routine takes the lock.
  CancelTransfer(Transfer);
  if (InterlockedDecrement(&Transfer->References) == 0) {
    // The completion routine ran meanwhile and left the request to us.
    PIRP Irp = Transfer->Irp;
    ReleaseRecord(Extension, Transfer);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoGateRelease(DeviceObject);
  }
  return TRUE;
}
