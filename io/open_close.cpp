// Open, close and cleanup of a bridge port: one opener at a time; opening
// gives the handle the bounce buffer and marks the pipes open, closing takes
// both away again.
//
// An open works inside the I/O gate, so that remove waits for one in progress
// and refuses one that comes after it began: otherwise an open could hand out
// a bounce buffer that remove has already passed by. Close and cleanup stay
// outside the gate, because they must always succeed; close may therefore
// meet a remove, and both free the bounce buffer through FreeTransferBuffer.
// The extension stays valid for a close even then: the I/O manager keeps the
// device object while a file object on it exists.
//
// Locks: as include/norvusb.h says above the record; here TransferLock
// guards Opened and OwnerFileObject together.
#include "io_internal.h"

// How often close looks whether a cancelled transfer has let go: 1 ms in
// 100-ns units.
static const LONG ClosePollInterval = 10000;

FdoExtension *BridgeOrComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS OrphanStatus, NTSTATUS *Status) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension != nullptr) {
    return Extension;
  }
  *Status = CompleteRequest(Irp, ChildExtension(DeviceObject) != nullptr ? STATUS_INVALID_DEVICE_REQUEST : OrphanStatus,
                            0);
  return nullptr;
}

VOID FreeTransferBuffer(FdoExtension *Extension) {
  PVOID Buffer = InterlockedExchangePointer((PVOID volatile *)&Extension->TransferBuffer, nullptr);
  if (Buffer != nullptr) {
    // Only the one who took the block touches its size.
    Extension->TransferBufferSize = 0;
    ExFreePool(Buffer);
  }
}

BOOLEAN FromOwner(FdoExtension *Extension, PIRP Irp) {
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return FileObject == nullptr ||
         FileObject == (PFILE_OBJECT)NorvUsbReadPointer((PVOID const volatile *)&Extension->OwnerFileObject);
}

// Opened and the owner change together under TransferLock, so that a
// transfer about to be published sees either both or neither. The states
// (PORT_STATE) are such that an open cannot slip in while a close is still
// taking the port apart, nor while the bridge is stopped.
BOOLEAN MoveOpenState(FdoExtension *Extension, UCHAR From, UCHAR To, PFILE_OBJECT Owner) {
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->TransferLock, &Irql);
  BOOLEAN Moved = NorvUsbReadUchar(&Extension->Opened) == From;
  if (Moved) {
    InterlockedExchangePointer((PVOID volatile *)&Extension->OwnerFileObject, Owner);
    NorvUsbWriteUchar(&Extension->Opened, To);
  }
  KeReleaseSpinLock(&Extension->TransferLock, Irql);
  return Moved;
}

// The block holds the largest request and the room a read needs to ask for
// whole packets; a setting too large to add that room to gets no block.
static PUCHAR AllocateBounceBuffer(ULONG Size) {
  if (Size == 0 || Size > 0xFFFFFFFFu - NORVUSB_CARRY_SIZE) {
    return nullptr;
  }
  return (PUCHAR)AllocatePool(NonPagedPool, Size + NORVUSB_CARRY_SIZE);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  // A bridge left without extension opens and changes nothing.
  FdoExtension *Extension = BridgeOrComplete(DeviceObject, Irp, STATUS_SUCCESS, &Status);
  if (Extension == nullptr) {
    return Status;
  }
  if (!IoGateAcquireForIo(DeviceObject)) {
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  if (!MoveOpenState(Extension, PortFree, PortOpen, IoGetCurrentIrpStackLocation(Irp)->FileObject)) {
    // Taken, or held by a stop: the pipes of a stopped bridge are gone.
    Status = NorvUsbReadUchar(&Extension->Opened) == PortHeld ? STATUS_INVALID_DEVICE_STATE
                                                                : STATUS_OBJECT_NAME_COLLISION;
  } else {
    // The size as it stands now: a later AddDevice may change the setting,
    // and the transfer engine bounds itself by what was allocated here.
    ULONG Size = NorvUsbReadUlong(&DriverGlobals.MaxTransferSize);
    PUCHAR Buffer = AllocateBounceBuffer(Size);
    // Without pool the open still succeeds; each transfer then fails.
    FreeTransferBuffer(Extension);
    Extension->TransferBufferSize = Buffer != nullptr ? Size : 0;
    InterlockedExchangePointer((PVOID volatile *)&Extension->TransferBuffer, Buffer);
    SetPipeMarks(DeviceObject, NORVUSB_PIPE_OPEN);
    Status = STATUS_SUCCESS;
  }
  IoGateRelease(DeviceObject);
  return CompleteRequest(Irp, Status, 0);
}

// Close runs at passive level. A transfer claimed before the port was
// marked closed either was cancelled above or finds the mark when it is
// about to be passed down; either way it gives its claim back soon.
static VOID WaitForTransferIdle(FdoExtension *Extension) {
  while (NorvUsbReadLong(&Extension->TransferBusy) != 0) {
    DelayFor(ClosePollInterval);
  }
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  // A bridge left without extension had everything freed by its remove; the
  // remove deleted it too, and it goes once this handle's file object does.
  FdoExtension *Extension = BridgeOrComplete(DeviceObject, Irp, STATUS_SUCCESS, &Status);
  if (Extension == nullptr) {
    return Status;
  }
  // Another file object's close (a refused open that its caller was told
  // had succeeded) leaves the owner's port alone.
  // Only the owner's own file object closes the port, even for another
  // driver (requests without a file object do not open it either).
  PFILE_OBJECT Owner = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (Owner == NorvUsbReadPointer((PVOID const volatile *)&Extension->OwnerFileObject) &&
      MoveOpenState(Extension, PortOpen, PortClosing, Owner)) {
    // The platform closes only after the handle's last request has finished;
    // Wine does not, so a transfer may still own the bounce buffer here.
    CancelCurrentTransfer(DeviceObject);
    WaitForTransferIdle(Extension);
    SetPipeMarks(DeviceObject, NORVUSB_PIPE_CLOSED);
    FreeTransferBuffer(Extension);
    MoveOpenState(Extension, PortClosing, PortFree, nullptr);
  }
  // Nothing of the bridge is touched after this: once the close has finished,
  // a remove may delete the device object.
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  if (BridgeOrComplete(DeviceObject, Irp, STATUS_SUCCESS, &Status) == nullptr) {
    return Status;
  }
  // Neither cancels nor waits for a transfer in flight.
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
