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
  // A close may be freeing it at this very moment.
  FreeTransferBuffer(Extension);
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

// The remove never fails and always reaches the stack below. With a handle
// still open the device object stays inert (no extension) for that handle's
// close. Windows 2000 and later defer the deletion of a device object with
// open files until the last one goes, so it is deleted now; the Windows 98
// generation documents no such deferral and sends remove straight after an
// unplug with the spooler's handle open, so there the object is left in
// place. Nothing here touches the device object after IoDeleteDevice: that
// handle may have closed already.
NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *HandleKept) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);

  // The remove request's own unit, then, once a transfer in flight has been
  // aborted, the device's own unit; the event fires when the last request has
  // left. An open works inside the gate too, so none is half done after this.
  IoGateRelease(DeviceObject);
  AbortPipes(DeviceObject, nullptr);
  // A transfer that passed the gate before the flag was set and went down
  // after the abort is cancelled here: publishing looks at the flag under
  // the lock this takes, so a transfer is either found now or never sent.
  CancelCurrentTransfer(DeviceObject);
  IoGateRelease(DeviceObject);
  KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

  StopCleanup(DeviceObject);
  DeleteChildren(Extension);
  AllocatePortName(Extension->PhysicalDeviceObject, 0, &Extension->PortIndex);

  PDEVICE_OBJECT LowerDeviceObject = Extension->LowerDeviceObject;
  // Nothing can use the resources any more (the gate admits nothing from now
  // on); a close racing this frees the bounce buffer itself or finds it gone.
  FreeDeviceResources(DeviceObject);
  IoDetachDevice(LowerDeviceObject);
  *HandleKept = NorvUsbReadLong(&DeviceObject->ReferenceCount) > 0 ? TRUE : FALSE;
  if (*HandleKept) {
    // Every later request on the handle finds the bridge without extension.
    InterlockedExchangePointer((PVOID volatile *)&DeviceObject->DeviceExtension, nullptr);
  }
  if (!*HandleKept || IoIsWdmVersionAvailable(1, 0x10)) {
    IoDeleteDevice(DeviceObject);
  }
  return PassRequestDown(LowerDeviceObject, Irp);
}
