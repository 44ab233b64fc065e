// Power requests. The driver has no power policy of its own: device power
// changes go to the USB stack, a change to D0 always ends in success.
#include "device.h"

static BOOLEAN OnPowerRoute(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER; }

// The platform wants PoStartNextPowerIrp for every IRP_MJ_POWER request before
// it is completed or passed on, and PoCallDriver to pass it on.
static NTSTATUS CallLowerDriver(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp, BOOLEAN PowerRoute) {
  return PowerRoute ? PoCallDriver(LowerDeviceObject, Irp) : IoCallDriver(LowerDeviceObject, Irp);
}

static NTSTATUS CompletePowerRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  if (OnPowerRoute(Irp)) {
    PoStartNextPowerIrp(Irp);
  }
  return CompleteRequest(Irp, Status, Information);
}

NTSTATUS NTAPI PowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (OnPowerRoute(Irp)) {
    PoStartNextPowerIrp(Irp);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoGateRelease((PDEVICE_OBJECT)Context);
  return STATUS_SUCCESS;
}

// Passes a device power change down; a change to D0 keeps its gate unit until
// PowerCompletion gives it back.
static NTSTATUS PassDevicePowerChange(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN PowerRoute) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN ToD0 = Stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
  PDEVICE_OBJECT LowerDeviceObject = BridgeExtension(DeviceObject)->LowerDeviceObject;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (ToD0) {
    IoSetCompletionRoutine(Irp, PowerCompletion, DeviceObject, TRUE, TRUE, TRUE);
  } else if (PowerRoute) {
    PoStartNextPowerIrp(Irp);
  }
  NTSTATUS Status = CallLowerDriver(LowerDeviceObject, Irp, PowerRoute);
  if (!ToD0) {
    IoGateRelease(DeviceObject);
  } else if (Status != STATUS_PENDING) {
    // PowerCompletion has made the request a success already, and a caller
    // takes the returned status of a request that was not pended.
    Status = STATUS_SUCCESS;
  }
  return Status;
}

// Whatever the handler does not act on goes down untouched on the power
// route, inside the gate, so that the lower driver is still attached.
static NTSTATUS PassPowerRequestOn(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(BridgeExtension(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS BridgePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *Finished) {
  *Finished = TRUE;
  if (!IoGateAcquire(DeviceObject)) {
    return CompletePowerRequest(Irp, STATUS_DELETE_PENDING, 0);
  }

  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN PowerRoute = OnPowerRoute(Irp);
  if (Stack->MinorFunction == 0x17 && Stack->Parameters.Power.Type == DevicePowerState) {
    return PassDevicePowerChange(DeviceObject, Irp, PowerRoute);
  }

  NTSTATUS Status = Stack->MinorFunction == 0x18 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  if (PowerRoute) {
    Status = NT_SUCCESS(Status) ? PassPowerRequestOn(DeviceObject, Irp)
                                : CompletePowerRequest(Irp, Status, Irp->IoStatus.Information);
  } else {
    // The Plug and Play dispatch finishes the request with this status.
    *Finished = FALSE;
  }
  IoGateRelease(DeviceObject);
  return Status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (ChildExtension(DeviceObject) != nullptr) {
    return ChildPowerDispatch(DeviceObject, Irp);
  }
  BOOLEAN Finished = FALSE;
  return BridgePowerRequest(DeviceObject, Irp, &Finished);
}
