// Power requests. The driver has no power policy of its own: device power
// changes go to the USB stack, a change to D0 always ends in success.
#include "device.h"

// Only IRP_MJ_POWER requests come here. The platform wants
// PoStartNextPowerIrp for every one before it is completed or passed on, and
// PoCallDriver to pass it on.
static NTSTATUS CompletePowerRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  PoStartNextPowerIrp(Irp);
  return CompleteRequest(Irp, Status, Information);
}

NTSTATUS NTAPI PowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoGateRelease((PDEVICE_OBJECT)Context);
  return STATUS_SUCCESS;
}

// Passes a device power change down; a change to D0 keeps its gate unit until
// PowerCompletion gives it back.
static NTSTATUS PassDevicePowerChange(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN ToD0 = Stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
  PDEVICE_OBJECT LowerDeviceObject = BridgeExtension(DeviceObject)->LowerDeviceObject;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (ToD0) {
    IoSetCompletionRoutine(Irp, PowerCompletion, DeviceObject, TRUE, TRUE, TRUE);
  } else {
    PoStartNextPowerIrp(Irp);
  }
  NTSTATUS Status = PoCallDriver(LowerDeviceObject, Irp);
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

// Minor codes 0x17 and 0x18 stay numbers here: on the power route the
// driver gives them meanings of its own (its device power change, and a
// refusal), not the platform's.
NTSTATUS BridgePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IoGateAcquire(DeviceObject)) {
    return CompletePowerRequest(Irp, STATUS_DELETE_PENDING, 0);
  }

  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MinorFunction == 0x17 && Stack->Parameters.Power.Type == DevicePowerState) {
    return PassDevicePowerChange(DeviceObject, Irp);
  }

  NTSTATUS Status = Stack->MinorFunction == 0x18
                        ? CompletePowerRequest(Irp, STATUS_UNSUCCESSFUL, Irp->IoStatus.Information)
                        : PassPowerRequestOn(DeviceObject, Irp);
  IoGateRelease(DeviceObject);
  return Status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (ChildExtension(DeviceObject) != nullptr) {
    return ChildPowerDispatch(DeviceObject, Irp);
  }
  return BridgePowerRequest(DeviceObject, Irp);
}
