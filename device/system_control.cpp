// WMI requests. The driver has no WMI data of its own, but every driver in a
// stack must let these reach the device below: the bridge passes them down
// untouched (the child printer device answers in enum/child.cpp).
#include "device.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS Status;
  if (ChildExtension(DeviceObject) != nullptr) {
    Status = ChildSystemControlDispatch(DeviceObject, Irp);
  } else if (!IoGateAcquire(DeviceObject)) {
    // Also a bridge that remove left without extension: nothing below any more.
    Status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  } else {
    IoSkipCurrentIrpStackLocation(Irp);
    Status = IoCallDriver(BridgeExtension(DeviceObject)->LowerDeviceObject, Irp);
    IoGateRelease(DeviceObject);
  }
  return Status;
}
