// The bridge's answer to a bus-relations query: its one child printer device.
// A list with the child goes down the stack; a query with nothing new to
// report is failed here, which leaves the manager's view as it was.
#include "enum.h"

static NTSTATUS FinishRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  CompleteRequest(Irp, Status, Irp->IoStatus.Information);
  IoGateRelease(DeviceObject);
  return Status;
}

static ULONG CountChildren(FdoExtension *Bridge) {
  ULONG Count = 0;
  for (PLIST_ENTRY Entry = Bridge->ChildList.Flink; Entry != &Bridge->ChildList; Entry = Entry->Flink) {
    Count++;
  }
  return Count;
}

NTSTATUS ReportBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FdoExtension *Bridge = BridgeExtension(DeviceObject);
  PDEVICE_RELATIONS Previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
  ULONG PreviousCount = Previous != nullptr ? Previous->Count : 0;

  // The child is reported once, on the first query after a start that read
  // the device ID.
  if (Bridge->DeviceIdValid != 1 || PreviousCount != 0 || Bridge->ChildCount != 0) {
    return FinishRelations(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
  }

  PDEVICE_OBJECT Child = nullptr;
  NTSTATUS Created = CreateChildDevice(DeviceObject->DriverObject, DeviceObject, &Child);
  if (!NT_SUCCESS(Created)) {
    return FinishRelations(DeviceObject, Irp, Created);
  }

  KIRQL OldIrql;
  KeAcquireSpinLock(&Bridge->ChildListLock, &OldIrql);
  // Room for every child in the list: sizeof gives the count and one entry.
  ULONG Children = CountChildren(Bridge);
  PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)AllocatePool(NonPagedPool, sizeof(DEVICE_RELATIONS) + Children * sizeof(PDEVICE_OBJECT));
  if (Relations == nullptr) {
    // A child that is not reported is not kept: every child in the list then
    // holds the reference that remove drops.
    RemoveEntryList(&ChildExtension(Child)->Link);
    KeReleaseSpinLock(&Bridge->ChildListLock, OldIrql);
    FreeChildDevice(Child);
    return FinishRelations(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  Relations->Count = 0;
  for (PLIST_ENTRY Entry = Bridge->ChildList.Flink; Entry != &Bridge->ChildList; Entry = Entry->Flink) {
    PDEVICE_OBJECT Reported = CONTAINING_RECORD(Entry, PdoExtension, Link)->Self;
    Relations->Objects[Relations->Count++] = Reported;
    ObReferenceObject(Reported);
    Bridge->ChildCount++;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = (ULONG_PTR)Relations;
  KeReleaseSpinLock(&Bridge->ChildListLock, OldIrql);
  // The incoming list comes from paged pool, which may not be freed at the
  // lock's DISPATCH_LEVEL: it is replaced under the lock and freed here.
  if (Previous != nullptr) {
    ExFreePool(Previous);
  }

  // The list goes down, so that the drivers below may add to it.
  NTSTATUS Status = PassRequestDown(Bridge->LowerDeviceObject, Irp);
  IoGateRelease(DeviceObject);
  return Status;
}
