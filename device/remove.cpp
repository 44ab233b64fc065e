// Removal of the bridge device.
#include "device.h"

static VOID FreeBlock(PVOID Block) {
  if (Block != nullptr) {
    ExFreePool(Block);
  }
}

VOID FreeDeviceResources(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return;
  }
  // The stored descriptor blocks are swapped under InterfaceLock, which their
  // readers take, and freed after it.
  KIRQL OldIrql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &OldIrql);
  PVOID ConfigurationDescriptor = Extension->ConfigurationDescriptor;
  PVOID DeviceDescriptor = Extension->DeviceDescriptor;
  PVOID InterfaceInfo = Extension->InterfaceInfo;
  Extension->ConfigurationDescriptor = nullptr;
  Extension->ConfigurationDescriptorSize = 0;
  Extension->DeviceDescriptor = nullptr;
  Extension->InterfaceInfo = nullptr;
  KeReleaseSpinLock(&Extension->InterfaceLock, OldIrql);
  FreeBlock(ConfigurationDescriptor);
  FreeBlock(DeviceDescriptor);
  FreeBlock(InterfaceInfo);

  FreeBlock(Extension->DeviceIdBuffer);
  Extension->DeviceIdBuffer = nullptr;
  FreeBlock(Extension->TransferBuffer);
  Extension->TransferBuffer = nullptr;
  Extension->TransferBufferSize = 0;
}

// Children go with their bridge. No lock: the only other user of the list
// serves a Plug and Play request too, and those come one at a time.
static VOID DeleteChildren(FdoExtension *Extension) {
  PLIST_ENTRY Entry = Extension->ChildList.Flink;
  while (Entry != &Extension->ChildList) {
    PLIST_ENTRY Next = Entry->Flink;
    DeleteChildDevice(CONTAINING_RECORD(Entry, PdoExtension, Link)->Self);
    Extension->ChildCount--;
    Entry = Next;
  }
}

NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *Deleted) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  *Deleted = FALSE;

  // The remove request's own unit, then, once a transfer in flight has been
  // aborted, the device's own unit; the event fires when the last request has
  // left.
  IoGateRelease(DeviceObject);
  AbortPipes(DeviceObject, nullptr);
  IoGateRelease(DeviceObject);
  KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

  StopCleanup(DeviceObject);
  DeleteChildren(Extension);
  AllocatePortName(Extension->PhysicalDeviceObject, 0, &Extension->PortIndex);

  PDEVICE_OBJECT LowerDeviceObject = Extension->LowerDeviceObject;
  if (DeviceObject->ReferenceCount > 0) {
    // A handle is still open. Nothing can use the resources any more (the
    // gate admits nothing from now on), so they go now; the device object
    // stays until that handle's close deletes it.
    FreeDeviceResources(DeviceObject);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    IoDetachDevice(LowerDeviceObject);
    return STATUS_CANCELLED;
  }

  IoDetachDevice(LowerDeviceObject);
  FreeDeviceResources(DeviceObject);
  if (DeviceObject->ReferenceCount == 0) {
    IoDeleteDevice(DeviceObject);
    *Deleted = TRUE;
  }
  return PassRequestDown(LowerDeviceObject, Irp);
}

VOID ReleaseOrphanedBridge(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject->DeviceExtension == nullptr) {
    IoDeleteDevice(DeviceObject);
  }
}
