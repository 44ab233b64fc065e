// Plug and Play requests: start, stop, remove, and what goes down unchanged.
#include "device.h"

NTSTATUS PassRequestDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(LowerDeviceObject, Irp);
}

static NTSTATUS PassDownAndLeave(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status = PassRequestDown(BridgeExtension(DeviceObject)->LowerDeviceObject, Irp);
  IoGateRelease(DeviceObject);
  return Status;
}

// A failure is completed here; anything else goes down to the USB stack.
static NTSTATUS CommonEnding(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  if (!NT_SUCCESS(Status)) {
    CompleteRequest(Irp, Status, Irp->IoStatus.Information);
    IoGateRelease(DeviceObject);
    return Status;
  }
  return PassDownAndLeave(DeviceObject, Irp);
}

NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
  // The request comes back to the start routine, which completes it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the start request down and waits until the lower stack is done with
// it. *Status receives what the call returned.
static BOOLEAN StartLowerStack(FdoExtension *Extension, PIRP Irp, NTSTATUS *Status) {
  PKEVENT StartEvent = (PKEVENT)AllocatePool(NonPagedPool, sizeof(KEVENT));
  if (StartEvent == nullptr) {
    return FALSE;
  }
  KeInitializeEvent(StartEvent, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, StartCompletion, StartEvent, TRUE, TRUE, TRUE);
  *Status = IoCallDriver(Extension->LowerDeviceObject, Irp);
  if (*Status == STATUS_PENDING) {
    KeWaitForSingleObject(StartEvent, Suspended, KernelMode, FALSE, nullptr);
  }
  ExFreePool(StartEvent);
  return TRUE;
}

// Reads the printer's device ID and, when that works, creates the DOS link.
static VOID ReadPrinterDeviceId(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  // Zero-filled so that the text always ends in a null inside the buffer: the
  // read never writes its last two bytes. A buffer left by an earlier start
  // without stop is replaced, not leaked.
  if (Extension->DeviceIdBuffer != nullptr) {
    ExFreePool(Extension->DeviceIdBuffer);
  }
  Extension->DeviceIdBuffer =
      (PUCHAR)AllocatePool(NonPagedPool, NORVUSB_DEVICE_ID_BUFFER_SIZE);
  if (Extension->DeviceIdBuffer == nullptr) {
    return;
  }
  RtlZeroMemory(Extension->DeviceIdBuffer, NORVUSB_DEVICE_ID_BUFFER_SIZE);

  VendorCommand(DeviceObject, Irp, 2, 0x0104, nullptr);
  NTSTATUS IdStatus = ReadDeviceId(DeviceObject, Irp, Extension->DeviceIdBuffer, NORVUSB_DEVICE_ID_BUFFER_SIZE);
  VendorCommand(DeviceObject, Irp, 3, 0, nullptr);
  if (!NT_SUCCESS(IdStatus)) {
    return;
  }
  Extension->DeviceIdValid = 1;
  UNICODE_STRING LinkName;
  UNICODE_STRING DeviceName;
  RtlInitUnicodeString(&LinkName, Extension->DosDeviceName);
  RtlInitUnicodeString(&DeviceName, Extension->DeviceName);
  IoCreateSymbolicLink(&LinkName, &DeviceName);
}

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  NTSTATUS LowerStatus = STATUS_SUCCESS;
  if (!StartLowerStack(Extension, Irp, &LowerStatus)) {
    CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    IoGateRelease(DeviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Only an error-severity result of the call stops the start; a failure
  // reported later in the status block does not.
  if (IsErrorSeverity(LowerStatus)) {
    CompleteRequest(Irp, LowerStatus, Irp->IoStatus.Information);
    IoGateRelease(DeviceObject);
    return LowerStatus;
  }

  NTSTATUS Status = ConfigureDevice(DeviceObject);
  if (IsErrorSeverity(Status)) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
  } else {
    ReadPrinterDeviceId(DeviceObject, Irp);
  }
  // The status block keeps what the lower driver (or a failed configuration)
  // put there, and the start returns that same status: the PnP manager takes
  // the returned one for a request that was not pended. A DOS link that could
  // not be created fails nothing.
  Status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  NorvUsbWriteUchar(&Extension->DeviceRemoved, 0);
  BOOLEAN ReportChild = Extension->DeviceIdValid == 1;
  PDEVICE_OBJECT PhysicalDeviceObject = Extension->PhysicalDeviceObject;
  IoGateRelease(DeviceObject);
  if (ReportChild) {
    IoInvalidateDeviceRelations(PhysicalDeviceObject, BusRelations);
  }
  return Status;
}

VOID StopCleanup(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr || Extension->Started == 0) {
    return;
  }
  Extension->Started = 0;
  UNICODE_STRING LinkName;
  RtlInitUnicodeString(&LinkName, Extension->DosDeviceName);
  IoDeleteSymbolicLink(&LinkName);

  SetPipeMarks(DeviceObject, 0);

  // The child printer device keeps a copy of its own of the text.
  if (Extension->DeviceIdBuffer != nullptr) {
    ExFreePool(Extension->DeviceIdBuffer);
    Extension->DeviceIdBuffer = nullptr;
  }
}

static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  StopCleanup(DeviceObject);
  return CommonEnding(DeviceObject, Irp, UnconfigureDevice(DeviceObject));
}

static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  // From here on the gate admits nothing, an open included.
  NorvUsbWriteUchar(&BridgeExtension(DeviceObject)->DeviceRemoved, 1);
  BOOLEAN HandleKept = FALSE;
  // The device object may be gone when this returns.
  NTSTATUS Status = HandleRemove(DeviceObject, Irp, &HandleKept);
  // A kept handle keeps its bridge's name counted.
  if (NT_SUCCESS(Status) && !HandleKept) {
    DriverGlobals.NameCounter--;
  }
  return Status;
}

static NTSTATUS PowerFromPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  BOOLEAN Finished = FALSE;
  NTSTATUS Status = BridgePowerRequest(DeviceObject, Irp, &Finished);
  if (Finished) {
    IoGateRelease(DeviceObject);
    return Status;
  }
  Irp->IoStatus.Status = Status;
  return CommonEnding(DeviceObject, Irp, Status);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (ChildExtension(DeviceObject) != nullptr) {
    return ChildPnpDispatch(DeviceObject, Irp);
  }
  if (!IoGateAcquire(DeviceObject)) {
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }

  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      return PassDownAndLeave(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        return ReportBusRelations(DeviceObject, Irp);
      }
      return CommonEnding(DeviceObject, Irp, STATUS_SUCCESS);
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
      return PowerFromPnp(DeviceObject, Irp);
    default:
      return CommonEnding(DeviceObject, Irp, STATUS_SUCCESS);
  }
}
