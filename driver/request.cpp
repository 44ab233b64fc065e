// Completing a request the driver owns, or handing it to the driver below.
#include "norvusb.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassRequestDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(LowerDeviceObject, Irp);
}
