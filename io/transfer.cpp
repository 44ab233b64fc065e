// The bulk transfer engine behind read and write: one bulk transfer per
// request, through the bounce buffer, passed down on the request itself and
// finished by BulkTransferComplete.
//
// One transfer at a time per bridge: a read or write first claims
// TransferBusy, and a second one meanwhile is refused with
// STATUS_DEVICE_BUSY without touching the bounce buffer, CurrentTransfer or
// the bridge's transfer mode. The claim is given back when the transfer has
// finished or failed. Only the handle that opened the port transfers: any
// other file object is refused with STATUS_INVALID_HANDLE before the claim.
//
// A read asks the device for whole packets: a device that has more to send
// than the caller asked for fills the last packet, and what the caller did
// not take waits in ReadCarry, which the next read gets before anything is
// asked of the device again.
//
// CurrentTransfer is published, complete (its request set, the request
// ready to go down), under TransferLock and cleared under it by the
// completion routine. Publishing looks at the open state and at removal
// under that lock, and close, remove and surprise removal cancel what they
// find under it after they changed those: a transfer is either seen and
// cancelled or never passed down. The reset sequence takes a reference
// on the record under the same lock, so the record and its request stay
// alive until its cancel has been issued: whoever lets go of the last
// reference finishes the request.
#include "io_internal.h"

namespace {

PUCHAR CallerAddress(PMDL Mdl) { return (PUCHAR)MapLockedBuffer(Mdl); }  // null when the system is out of mappings

// Claims the bounce buffer for the port's owner. The claim comes before the
// look at Opened, and close marks the port closed before it waits for the
// claim to go: so a transfer either sees the close or is waited for.
NTSTATUS ClaimTransfer(FdoExtension *Extension, PIRP Irp) {
  if (!FromOwner(Extension, Irp)) {
    return STATUS_INVALID_HANDLE;
  }
  // A test-and-set: setting a flag that is already 1 changes nothing.
  if (InterlockedExchange(&Extension->TransferBusy, 1) != 0) {
    return STATUS_DEVICE_BUSY;
  }
  if (NorvUsbReadUchar(&Extension->Opened) != PortOpen) {
    InterlockedExchange(&Extension->TransferBusy, 0);
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

VOID ReleaseTransfer(FdoExtension *Extension) { InterlockedExchange(&Extension->TransferBusy, 0); }

// The caller's length, or 0 for one the engine refuses.
ULONG RequestLength(PIRP Irp) {
  PMDL Mdl = Irp->MdlAddress;
  ULONG Length = Mdl != nullptr ? MmGetMdlByteCount(Mdl) : 0;
  return Length > NorvUsbReadUlong(&DriverGlobals.MaxTransferSize) ? 0 : Length;
}

// What a transfer asks of the device, never more than the pipe's
// MaximumTransferSize (the stack of the oldest targets refuses more). A
// read asks for whole packets, so that the device never has to stop inside
// one: the caller's length rounded up, or down where rounding up would pass
// the pipe's limit (a short read is the caller's to repeat). A packet size
// beyond the carry's room is left unrounded.
ULONG DeviceLength(ULONG Length, const USBD_PIPE_INFORMATION *Pipe, UCHAR ReadDirection) {
  ULONG Limit = Pipe->MaximumTransferSize;
  ULONG PacketSize = Pipe->MaximumPacketSize;
  ULONG Asked = Length < Limit ? Length : Limit;
  if (ReadDirection && PacketSize != 0 && PacketSize <= NORVUSB_CARRY_SIZE) {
    ULONG Whole = (Length + PacketSize - 1) / PacketSize * PacketSize;
    if (Whole > Limit) {
      Whole = Limit / PacketSize * PacketSize;
    }
    Asked = Whole != 0 ? Whole : Asked;
  }
  return Asked;
}

VOID FillBulkRequest(TransferContext *Context, const USBD_PIPE_INFORMATION *Pipe, ULONG Length) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *Urb = &Context->Urb;
  Urb->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  Urb->PipeHandle = Pipe->PipeHandle;
  // A short packet may end a read; the flag is for reads only (the stack's
  // rule for bulk transfers).
  Urb->TransferFlags = Context->ReadDirection ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
  Urb->TransferBufferLength = Length;
  Urb->TransferBuffer = Context->BounceBuffer;
  Urb->TransferBufferMDL = nullptr;
  Urb->UrbLink = nullptr;
}

// A new record for a transfer of Length bytes through the bounce buffer,
// with the device's length set up in its URB; null without pool.
TransferContext *NewTransfer(FdoExtension *Extension, const USBD_PIPE_INFORMATION *Pipe, PUCHAR Caller,
                             ULONG Length, UCHAR ReadDirection) {
  TransferContext *Context =
      (TransferContext *)AllocatePool(NonPagedPool, sizeof(TransferContext));
  if (Context == nullptr) {
    return nullptr;
  }
  RtlZeroMemory(Context, sizeof(TransferContext));
  Context->ReadDirection = ReadDirection;
  Context->CallerBuffer = Caller;
  Context->BounceBuffer = Extension->TransferBuffer;
  Context->AskedLength = Length;
  Context->References = 1;
  FillBulkRequest(Context, Pipe, DeviceLength(Length, Pipe, ReadDirection));
  return Context;
}

// Publishes the record unless the port was closed or the bridge removed
// since the claim: close and removal cancel only a transfer they can see.
// The record is complete before anyone can see it: a cancel may come the
// moment the lock is released.
NTSTATUS PublishTransfer(FdoExtension *Extension, TransferContext *Context) {
  NTSTATUS Status = STATUS_SUCCESS;
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->TransferLock, &Irql);
  if (NorvUsbReadUchar(&Extension->DeviceRemoved) != 0 || NorvUsbReadUchar(&Extension->DeviceGone) != 0) {
    Status = STATUS_DELETE_PENDING;
  } else if (NorvUsbReadUchar(&Extension->Opened) != PortOpen) {
    Status = STATUS_CANCELLED;
  } else {
    Extension->CurrentTransfer = Context;
  }
  KeReleaseSpinLock(&Extension->TransferLock, Irql);
  return Status;
}

// Everything up to passing the request down. Returns STATUS_PENDING once
// the request belongs to the USB stack, or the status to fail it with.
NTSTATUS StartTransfer(FdoExtension *Extension, PIRP Irp, const USBD_PIPE_INFORMATION *Pipe,
                       UCHAR ReadDirection) {
  ULONG Length = RequestLength(Irp);
  if (Length == 0) {
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
  PUCHAR Caller = CallerAddress(Irp->MdlAddress);
  if (Caller == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Extension->TransferBuffer, Extension->TransferBufferSize + NORVUSB_CARRY_SIZE);
  if (!ReadDirection) {
    RtlCopyMemory(Extension->TransferBuffer, Caller, Length);
  }
  TransferContext *Context = NewTransfer(Extension, Pipe, Caller, Length, ReadDirection);
  if (Context == nullptr) {
    return STATUS_NO_MEMORY;
  }
  // The lower driver's stack location is ours to fill until the request
  // goes down; a request completed here never reaches it.
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  Next->Parameters.Others.Argument1 = &Context->Urb;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(Irp, BulkTransferComplete, Context, TRUE, TRUE, TRUE);
  Context->Irp = Irp;
  NTSTATUS Status = PublishTransfer(Extension, Context);
  if (!NT_SUCCESS(Status)) {
    ExFreePool(Context);
    return Status;
  }
  // A cancel that comes before the stack has queued the request finds its
  // cancel flag set, and the stack ends it at once.
  IoMarkIrpPending(Irp);
  // From here on the request and the record belong to the completion side.
  IofCallDriver(Extension->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

// Keeps what a read brought beyond the caller's length for the next read.
// A sound stack moves less than a packet more; more than the carry holds is
// not kept.
VOID KeepCarry(FdoExtension *Extension, const UCHAR *Extra, ULONG Count) {
  if (Count > NORVUSB_CARRY_SIZE) {
    Count = NORVUSB_CARRY_SIZE;
  }
  RtlCopyMemory(Extension->ReadCarry, Extra, Count);
  Extension->ReadCarryLength = Count;
}

// Empties the carry when a reset or a new configuration made its bytes
// stale. Only the holder of TransferBusy calls it.
VOID DropStaleCarry(FdoExtension *Extension) {
  if (InterlockedExchange(&Extension->ReadCarryStale, 0) != 0) {
    Extension->ReadCarryLength = 0;
  }
}

// Settles the request's outcome as the completion found it: status,
// bytes moved, and for a read the data handed to the caller. Returns the
// completion's result.
//
// A cancel (ours, or the caller's) may meet a transfer that moved data all
// the same: what moved is reported as a success, since a writer told 0
// resends what the printer already has, and a reader would lose the bytes.
// Only a cancel that moved nothing ends in STATUS_CANCELLED, with 0 bytes.
// Any other failure hands nothing back.
NTSTATUS SettleOutcome(FdoExtension *Extension, TransferContext *Context, BOOLEAN Cancelled) {
  PIRP Irp = Context->Irp;
  NTSTATUS Status = Irp->IoStatus.Status;
  BOOLEAN Cut = Cancelled || Status == STATUS_CANCELLED;
  ULONG Moved = (NT_SUCCESS(Status) || Cut) ? Context->Urb.TransferBufferLength : 0;
  if (Cut) {
    Status = Moved != 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
  }
  DropStaleCarry(Extension);
  ULONG Handed = Moved > Context->AskedLength ? Context->AskedLength : Moved;
  if (Context->ReadDirection && Handed != 0) {
    RtlCopyMemory(Context->CallerBuffer, Context->BounceBuffer, Handed);
  }
  if (Context->ReadDirection && Moved > Handed) {
    KeepCarry(Extension, Context->BounceBuffer + Handed, Moved - Handed);
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Handed;
  return Status;
}

// Frees the record and gives the bounce buffer back.
VOID ReleaseRecord(FdoExtension *Extension, TransferContext *Context) {
  ExFreePool(Context);
  ReleaseTransfer(Extension);
}

// Serves a read from the bytes an earlier read left, without the device.
NTSTATUS ReadFromCarry(FdoExtension *Extension, PIRP Irp) {
  ULONG Length = RequestLength(Irp);
  PUCHAR Caller = Length != 0 ? CallerAddress(Irp->MdlAddress) : nullptr;
  if (Caller == nullptr) {
    return CompleteRequest(Irp, Length == 0 ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  ULONG Count = Length < Extension->ReadCarryLength ? Length : Extension->ReadCarryLength;
  RtlCopyMemory(Caller, Extension->ReadCarry, Count);
  // Moved down byte by byte: the ranges overlap, and the oldest target's
  // kernel has no memmove to import.
  for (ULONG Index = Count; Index < Extension->ReadCarryLength; Index++) {
    Extension->ReadCarry[Index - Count] = Extension->ReadCarry[Index];
  }
  Extension->ReadCarryLength -= Count;
  return CompleteRequest(Irp, STATUS_SUCCESS, Count);
}

// Puts the bridge in the transfer's mode. Only an error-severity status
// stops the transfer; a warning lets it go on.
NTSTATUS SwitchMode(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension, PIRP Irp, UCHAR Mode) {
  if (Extension->TransferMode == Mode) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = VendorCommand(DeviceObject, Irp, BRIDGE_SUBCOMMAND_TRANSFER_MODE, Mode, nullptr);
  return IsErrorSeverity(Status) ? Status : STATUS_SUCCESS;
}

// With the claim held: the carry, or the mode switch and the transfer.
// Every path gives the claim back, BulkTransfer's once the transfer is done.
NTSTATUS TransferClaimed(PDEVICE_OBJECT DeviceObject, FdoExtension *Extension, PIRP Irp, UCHAR Mode,
                         ULONG PipeIndex, UCHAR ReadDirection) {
  NTSTATUS Status;
  DropStaleCarry(Extension);
  if (ReadDirection && Extension->ReadCarryLength != 0) {
    Status = ReadFromCarry(Extension, Irp);
    ReleaseTransfer(Extension);
  } else {
    Status = SwitchMode(DeviceObject, Extension, Irp, Mode);
    if (IsErrorSeverity(Status)) {
      ReleaseTransfer(Extension);
      CompleteRequest(Irp, Status, 0);
    } else {
      Status = BulkTransfer(DeviceObject, Irp, PipeIndex, ReadDirection);
    }
  }
  return Status;
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
  if (!IoGateAcquireForIo(DeviceObject)) {
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  Status = ClaimTransfer(Extension, Irp);
  // BulkTransfer takes a unit of its own, kept until the transfer finishes.
  Status = NT_SUCCESS(Status) ? TransferClaimed(DeviceObject, Extension, Irp, Mode, PipeIndex, ReadDirection)
                              : CompleteRequest(Irp, Status, 0);
  IoGateRelease(DeviceObject);
  return Status;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return DispatchTransfer(DeviceObject, Irp, BRIDGE_MODE_FORWARD, NORVUSB_WRITE_PIPE, NORVUSB_DIRECTION_OUT);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return DispatchTransfer(DeviceObject, Irp, BRIDGE_MODE_REVERSE, NORVUSB_READ_PIPE, NORVUSB_DIRECTION_IN);
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
  USBD_PIPE_INFORMATION Pipe;
  NTSTATUS Status = STATUS_INVALID_PARAMETER;
  if (CopyPipe(DeviceObject, PipeIndex, &Pipe) && Pipe.PipeFlags == NORVUSB_PIPE_OPEN) {
    Status = StartTransfer(Extension, Irp, &Pipe, ReadDirection);
  }
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
