// The verifier's rules for the drivers of a Plug and Play stack that the I/O
// manager and the PnP manager check as a stack is built and used: the
// required dispatch routines, a child as its bus reports it, the answer to
// TargetDeviceRelation, and the requests that must not fail.
#include "host/io/io_internal.h"

namespace host::io {
namespace {

const char *MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    default: return "IRP_MJ_SYSTEM_CONTROL";
  }
}

}  // namespace

void VerifyRequiredDispatch(PDEVICE_OBJECT device, UCHAR major, PIRP irp) {
  bool required = false;
  for (UCHAR each : kRequiredMajors) required = required || each == major;
  PDRIVER_OBJECT driver = device->DriverObject;
  if (!required || driver == nullptr || driver->MajorFunction[major] != DefaultDispatch) return;
  if (!FirstReportOfMissingDispatch(driver, major)) return;
  std::string what = DeviceText(device) + " has no dispatch routine for " + MajorName(major) +
                     ", which every driver of a Plug and Play stack must have";
  if (irp != nullptr) what += "; the default routine completes IRP " + Hex(irp) + " with STATUS_INVALID_DEVICE_REQUEST";
  Violation(check::kRequiredDispatchMissing, irp != nullptr ? static_cast<const void *>(irp) : device,
            irp != nullptr ? static_cast<const void *>(device) : driver, what);
}

// Surprise removal cannot be refused: the device is gone whatever a driver
// answers, so every device object of the stack, the bus driver's child
// included, completes it with success.
void VerifyMayFail(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const NTSTATUS status = irp->IoStatus.Status;
  if (sp->MajorFunction != IRP_MJ_PNP || sp->MinorFunction != IRP_MN_SURPRISE_REMOVAL || NT_SUCCESS(status)) return;
  Violation(check::kFailedIrpThatMustNotFail, irp, sp->DeviceObject,
            DeviceText(sp->DeviceObject) + " completed IRP_MN_SURPRISE_REMOVAL with status " + StatusText(status) +
                " (IRP " + Hex(irp) + "); it must succeed at every device of the stack");
}

}  // namespace host::io

namespace host::detail {

void VerifyReportedChild(PDEVICE_OBJECT pdo) {
  if (pdo->Flags & DO_DEVICE_INITIALIZING) {
    io::Violation(io::check::kStillInitializing, pdo, nullptr,
                  io::DeviceText(pdo) +
                      " was reported in bus relations still DO_DEVICE_INITIALIZING; its bus driver clears the flag "
                      "before it reports the child");
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  for (UCHAR major : io::kRequiredMajors) io::VerifyRequiredDispatch(pdo, major, nullptr);
}

bool VerifyTargetRelation(PDEVICE_OBJECT pdo, NTSTATUS status, const std::vector<PDEVICE_OBJECT> &listed,
                          bool referenced) {
  const std::string query = "IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation";
  if (status == STATUS_NOT_SUPPORTED) {
    io::Violation(io::check::kPdoIgnoredRequiredIrp, pdo, nullptr,
                  query + " came back unanswered from the stack of " + io::DeviceText(pdo) +
                      "; the bus driver answers it for each of its child devices");
    return false;
  }
  if (!NT_SUCCESS(status)) return false;  // a bus driver may fail it, for want of memory say
  if (listed.size() != 1 || listed[0] != pdo) {
    io::Violation(io::check::kTargetRelationNotFilled, pdo, nullptr,
                  query + " to the stack of " + io::DeviceText(pdo) + " succeeded with a list of " +
                      std::to_string(listed.size()) + " entries, not the one entry holding the child");
    return false;
  }
  if (!referenced)
    io::Violation(io::check::kTargetRelationNotReferenced, pdo, nullptr,
                  query + ": the bus driver of " + io::DeviceText(pdo) +
                      " returned the child without ObReferenceObject on it");
  return true;
}

}  // namespace host::detail
