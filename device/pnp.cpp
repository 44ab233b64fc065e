// Plug and Play requests: start, stop, remove, and what goes down unchanged.
#include "device.h"

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
// it. *Status receives what the call returned, or for a request the lower
// stack pended, the status it ended with.
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
    *Status = Irp->IoStatus.Status;
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

  VendorCommand(DeviceObject, Irp, BRIDGE_SUBCOMMAND_PORT_CONFIG, BRIDGE_PORT_CONFIG_DEFAULT, nullptr);
  NTSTATUS IdStatus = ReadDeviceId(DeviceObject, Irp, Extension->DeviceIdBuffer, NORVUSB_DEVICE_ID_BUFFER_SIZE);
  VendorCommand(DeviceObject, Irp, BRIDGE_SUBCOMMAND_PRINTER_INIT, 0, nullptr);
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
  // Only an error-severity result stops the start: the call's, or for a
  // pended start the status it completed with.
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
  // A port held by a stop may be opened again.
  MoveOpenState(Extension, PortHeld, PortFree, nullptr);
  BOOLEAN ReportChild = Extension->DeviceIdValid == 1;
  PDEVICE_OBJECT PhysicalDeviceObject = Extension->PhysicalDeviceObject;
  IoGateRelease(DeviceObject);
  if (ReportChild) {
    IoInvalidateDeviceRelations(PhysicalDeviceObject, BusRelations);
  }
  return Status;
}

// The result is not looked at: the link may never have been created, or a
// surprise removal deleted it already.
static VOID DeleteDosLink(FdoExtension *Extension) {
  UNICODE_STRING LinkName;
  RtlInitUnicodeString(&LinkName, Extension->DosDeviceName);
  IoDeleteSymbolicLink(&LinkName);
}

VOID StopCleanup(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr || Extension->Started == 0) {
    return;
  }
  Extension->Started = 0;
  DeleteDosLink(Extension);

  SetPipeMarks(DeviceObject, NORVUSB_PIPE_CLOSED);

  // The child printer device keeps a copy of its own of the text.
  if (Extension->DeviceIdBuffer != nullptr) {
    ExFreePool(Extension->DeviceIdBuffer);
    Extension->DeviceIdBuffer = nullptr;
  }
}

// A query-stop while the port is open is refused: the pipes a stop takes
// away would be gone under the open handle, and its job with them. (A
// transfer runs only on an open port.) Once agreed, the port is held: no
// open until the stop is cancelled or the bridge starts again.
static NTSTATUS QueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  NTSTATUS Status = STATUS_DEVICE_BUSY;
  if (MoveOpenState(Extension, PortFree, PortHeld, nullptr) ||
      NorvUsbReadUchar(&Extension->Opened) == PortHeld) {
    Status = STATUS_SUCCESS;
  }
  return CommonEnding(DeviceObject, Irp, Status);
}

static NTSTATUS CancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  MoveOpenState(BridgeExtension(DeviceObject), PortHeld, PortFree, nullptr);
  return PassDownAndLeave(DeviceObject, Irp);
}

// A stop must not fail: it always goes down as a success, even when the
// stack could not be told to unconfigure (no pool for the request).
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  // A stop that no query announced (the Windows 98 generation's, after a
  // failed start) holds a free port all the same.
  MoveOpenState(BridgeExtension(DeviceObject), PortFree, PortHeld, nullptr);
  StopCleanup(DeviceObject);
  UnconfigureDevice(DeviceObject);
  return PassDownAndLeave(DeviceObject, Irp);
}

// The bridge was pulled out (IRP_MN_SURPRISE_REMOVAL). From Windows 2000 on
// the remove comes only after the last handle has closed; until then nothing
// may open or use a device that is gone. New opens and I/O are refused from
// here on, what is in flight is ended and the port's link goes now. The
// request goes down as a success, as the platform asks of a function driver.
static NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  // Before the cancel: a transfer published after it sees the mark.
  NorvUsbWriteUchar(&Extension->DeviceGone, 1);
  CancelCurrentTransfer(DeviceObject);
  AbortPipes(DeviceObject, nullptr);
  DeleteDosLink(Extension);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDownAndLeave(DeviceObject, Irp);
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
    // A function driver does not handle these two, nor 0x18 below: it passes
    // them down with their status as it came.
    case IRP_MN_QUERY_BUS_INFORMATION:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
    // IRP_MN_QUERY_LEGACY_BUS_INFORMATION, which mingw-w64's headers lack.
    case 0x18:
      return PassDownAndLeave(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return QueryStopDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return CancelStopDevice(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemoval(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        return ReportBusRelations(DeviceObject, Irp);
      }
      return CommonEnding(DeviceObject, Irp, STATUS_SUCCESS);
    default:
      return CommonEnding(DeviceObject, Irp, STATUS_SUCCESS);
  }
}
