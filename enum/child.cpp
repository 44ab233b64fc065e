// The child printer device, the bus driver's side of the printer: its
// creation and deletion, and its answers to Plug and Play, power and WMI
// requests. It has no device below it, so it completes every request itself.
#include "enum.h"

static const WCHAR EnumeratorPrefix[] = NORVUSB_WIDE("LPTENUM\\");
// "\DosDevices\" ahead of the port name in the bridge's link name.
#define DOS_DEVICES_PREFIX_CHARS 12
// "NorvUSB": the port name without its number.
#define PORT_NAME_STEM_CHARS 7

// The child keeps its own copy of the device-ID text, so that it never reads
// the bridge's buffer after a stop freed it. The text ends at the first null,
// and never beyond the buffer.
static NTSTATUS CopyDeviceId(PdoExtension *Child, const UCHAR *DeviceIdBuffer) {
  ULONG Length = 0;
  while (Length < NORVUSB_DEVICE_ID_BUFFER_SIZE - 1 && DeviceIdBuffer[Length] != 0) {
    Length++;
  }
  Child->DeviceIdCopy = (PCHAR)AllocatePool(NonPagedPool, Length + 1);
  if (Child->DeviceIdCopy == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Child->DeviceIdCopy, DeviceIdBuffer, Length);
  Child->DeviceIdCopy[Length] = '\0';
  RtlInitAnsiString(&Child->DeviceId, Child->DeviceIdCopy);
  return STATUS_SUCCESS;
}

NTSTATUS CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ParentDeviceObject,
                           PDEVICE_OBJECT *ChildDeviceObject) {
  FdoExtension *Bridge = BridgeExtension(ParentDeviceObject);
  PDEVICE_OBJECT DeviceObject = nullptr;
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  PdoExtension *Child = (PdoExtension *)DeviceObject->DeviceExtension;
  Child->IsFdo = 0;
  Child->ParentFdo = ParentDeviceObject;
  Child->LowerDeviceObject = nullptr;
  Child->Self = DeviceObject;
  if (Bridge->DeviceIdBuffer != nullptr) {
    Status = CopyDeviceId(Child, Bridge->DeviceIdBuffer);
    if (!NT_SUCCESS(Status)) {
      IoDeleteDevice(DeviceObject);
      return Status;
    }
  }

  KIRQL OldIrql;
  KeAcquireSpinLock(&Bridge->ChildListLock, &OldIrql);
  InsertTailList(&Bridge->ChildList, &Child->Link);
  KeReleaseSpinLock(&Bridge->ChildListLock, OldIrql);
  *ChildDeviceObject = DeviceObject;
  return STATUS_SUCCESS;
}

VOID FreeChildDevice(PDEVICE_OBJECT ChildDeviceObject) {
  PdoExtension *Child = ChildExtension(ChildDeviceObject);
  if (Child->DeviceIdCopy != nullptr) {
    ExFreePool(Child->DeviceIdCopy);
    Child->DeviceIdCopy = nullptr;
  }
  IoDeleteDevice(ChildDeviceObject);
}

VOID DeleteChildDevice(PDEVICE_OBJECT ChildDeviceObject) {
  // The reference taken when the child was reported in bus relations belongs
  // to the PnP manager, which drops it when it forgets the child's device
  // node; dropping it here as well would free the object under the manager.
  RemoveEntryList(&ChildExtension(ChildDeviceObject)->Link);
  FreeChildDevice(ChildDeviceObject);
}

// Bytes of the capability record that the child writes, by position: its
// flag word, the first two device states and the flag byte. Size and
// Version are the sender's, and Address and UINumber come filled in as
// unknown: the child has neither, and leaves all four as they came.
#define CAPS_FLAGS_FROM 4
#define CAPS_FLAGS_BYTES 4
#define CAPS_STATES_FROM 16
#define CAPS_STATES_BYTES 8
#define CAPS_FLAG_BYTE 24
#define CAPS_FLAG_BYTE_KEPT 0x82  // bits 1 and 7
#define CAPS_FLAG_BYTE_SET 0x01

static_assert(sizeof(DEVICE_CAPABILITIES) > CAPS_FLAG_BYTE, "capability record reaches the flag byte");
static_assert(FIELD_OFFSET(DEVICE_CAPABILITIES, Address) == CAPS_FLAGS_FROM + CAPS_FLAGS_BYTES,
              "Address and UINumber lie between the flags and the device states");
static_assert(FIELD_OFFSET(DEVICE_CAPABILITIES, DeviceState) == CAPS_STATES_FROM, "the device states");

static VOID WriteCapabilities(PDEVICE_CAPABILITIES Capabilities) {
  PUCHAR Record = (PUCHAR)Capabilities;
  RtlZeroMemory(Record + CAPS_FLAGS_FROM, CAPS_FLAGS_BYTES);
  RtlZeroMemory(Record + CAPS_STATES_FROM, CAPS_STATES_BYTES);
  Record[CAPS_FLAG_BYTE] = (UCHAR)((Record[CAPS_FLAG_BYTE] & CAPS_FLAG_BYTE_KEPT) | CAPS_FLAG_BYTE_SET);
}

// One identifier in a new paged-pool buffer, zero-filled so that the text ends
// in (two) wide nulls: [prefix] identifier text [port name stem].
static NTSTATUS QueryChildId(PdoExtension *Child, BUS_QUERY_ID_TYPE IdType, PIRP Irp) {
  UNICODE_STRING Text;
  if (!BuildDeviceId(&Text, &Child->DeviceId)) {
    Irp->IoStatus.Information = 0;
    return STATUS_UNSUCCESSFUL;
  }
  ULONG PrefixBytes = IdType == BusQueryDeviceID ? sizeof(EnumeratorPrefix) - sizeof(WCHAR) : 0;
  ULONG SuffixBytes = IdType == BusQueryInstanceID ? PORT_NAME_STEM_CHARS * sizeof(WCHAR) : 0;
  ULONG Size = PrefixBytes + Text.Length + SuffixBytes + 2 * sizeof(WCHAR);
  PUCHAR Buffer = (PUCHAR)AllocatePool(PagedPool, Size);
  if (Buffer != nullptr) {
    RtlZeroMemory(Buffer, Size);
    RtlCopyMemory(Buffer, EnumeratorPrefix, PrefixBytes);
    RtlCopyMemory(Buffer + PrefixBytes, Text.Buffer, Text.Length);
    FdoExtension *Bridge = BridgeExtension(Child->ParentFdo);
    if (SuffixBytes != 0 && Bridge != nullptr) {
      RtlCopyMemory(Buffer + PrefixBytes + Text.Length, Bridge->DosDeviceName + DOS_DEVICES_PREFIX_CHARS,
                    SuffixBytes);
    }
  }
  RtlFreeUnicodeString(&Text);
  Irp->IoStatus.Information = (ULONG_PTR)Buffer;
  // Success with no text would tell the manager the child has no such ID.
  return Buffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The child is the target of its own device node: a one-entry list, from
// paged pool as relation lists are, holding the child with a reference for
// the one who asked.
static NTSTATUS ReportTargetRelation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_RELATIONS Relations =
      (PDEVICE_RELATIONS)AllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
  if (Relations == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Relations->Count = 1;
  Relations->Objects[0] = DeviceObject;
  ObReferenceObject(DeviceObject);
  Irp->IoStatus.Information = (ULONG_PTR)Relations;
  return STATUS_SUCCESS;
}

NTSTATUS ChildPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PdoExtension *Child = ChildExtension(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS Status = Irp->IoStatus.Status;
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:  // the bridge deletes its children at its own remove
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:  // must not fail: the child goes with its bridge's remove
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      // Only the target relation is the child's to answer; a list someone
      // already put there is left alone.
      if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation && Irp->IoStatus.Information == 0) {
        Status = ReportTargetRelation(DeviceObject, Irp);
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      WriteCapabilities(Stack->Parameters.DeviceCapabilities.Capabilities);
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_ID:
      switch (Stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs:
        case BusQueryInstanceID:
          Status = QueryChildId(Child, Stack->Parameters.QueryId.IdType, Irp);
          break;
        case BusQueryCompatibleIDs:
          Status = STATUS_SUCCESS;
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return CompleteRequest(Irp, Status, Irp->IoStatus.Information);
}

// It accepts every power state. The power route wants PoStartNextPowerIrp
// before the request is completed.
NTSTATUS ChildPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS Status = Irp->IoStatus.Status;
  if (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER) {
    Status = STATUS_SUCCESS;
  }
  PoStartNextPowerIrp(Irp);
  return CompleteRequest(Irp, Status, Irp->IoStatus.Information);
}

// WMI: no data of its own, so the request ends with the status it came with.
NTSTATUS ChildSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  NTSTATUS Status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
