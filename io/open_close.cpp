// Open, close and cleanup of a bridge port: one opener at a time; opening
// gives the handle the bounce buffer and marks the pipes open, closing takes
// both away again.
#include "io_internal.h"

BOOLEAN CompleteIfNotBridge(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS OrphanStatus, NTSTATUS *Status) {
  if (ChildExtension(DeviceObject) != nullptr) {
    *Status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return TRUE;
  }
  if (BridgeExtension(DeviceObject) == nullptr) {
    *Status = CompleteRequest(Irp, OrphanStatus, 0);
    return TRUE;
  }
  return FALSE;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  // A bridge left without extension opens and changes nothing.
  if (CompleteIfNotBridge(DeviceObject, Irp, STATUS_SUCCESS, &Status)) {
    return Status;
  }
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension->Opened != 0) {
    return CompleteRequest(Irp, STATUS_OBJECT_NAME_COLLISION, 0);
  }
  Extension->Opened = 1;
  // The size as it stands now: a later AddDevice may change the setting,
  // and the transfer engine bounds itself by what was allocated here.
  ULONG Size = DriverGlobals.MaxTransferSize;
  Extension->TransferBuffer =
      Size != 0 ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, NORVUSB_POOL_TAG) : nullptr;
  // Without pool the open still succeeds; each transfer then fails.
  Extension->TransferBufferSize = Extension->TransferBuffer != nullptr ? Size : 0;
  SetPipeMarks(DeviceObject, 1);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  if (ChildExtension(DeviceObject) == nullptr && BridgeExtension(DeviceObject) == nullptr) {
    // The handle that kept a removed bridge alive goes: the bridge goes too.
    Status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    ReleaseOrphanedBridge(DeviceObject);
    return Status;
  }
  if (CompleteIfNotBridge(DeviceObject, Irp, STATUS_SUCCESS, &Status)) {
    return Status;
  }
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  SetPipeMarks(DeviceObject, 0);
  Extension->Opened = 0;
  if (Extension->TransferBuffer != nullptr) {
    ExFreePoolWithTag(Extension->TransferBuffer, NORVUSB_POOL_TAG);
    Extension->TransferBuffer = nullptr;
  }
  Extension->TransferBufferSize = 0;
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  if (CompleteIfNotBridge(DeviceObject, Irp, STATUS_SUCCESS, &Status)) {
    return Status;
  }
  // Neither cancels nor waits for a transfer in flight.
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
