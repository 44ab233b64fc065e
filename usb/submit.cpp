// Synchronous requests to the USB stack: one URB or a port reset, waited for
// at most 2 seconds before the request is cancelled; and the reset
// sequence's pause.
#include "norvusb.h"

namespace {

// 2 seconds, relative, in 100-ns units: held as a signed 32-bit value and
// widened by sign extension, as DelayFor widens its count.
const LONG SubmitTimeLimit = -20000000;
static_assert((ULONG)SubmitTimeLimit == 0xFECED300u, "the 2-second limit");

// How a synchronous request went.
struct SyncOutcome {
  NTSTATUS WaitResult;   // the call's status when it did not pend; else the wait's result
  NTSTATUS FinalStatus;  // the request's final status
};

// Sends one internal request down and waits for it. When nothing could be
// sent (no pool for the event or the request) *Outcome holds that status in
// both fields.
VOID SendAndWait(PDEVICE_OBJECT DeviceObject, ULONG ControlCode, PURB Urb, SyncOutcome *Outcome) {
  FdoExtension *Extension = (FdoExtension *)DeviceObject->DeviceExtension;
  PKEVENT Event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), NORVUSB_POOL_TAG);
  if (Event == nullptr) {
    Outcome->WaitResult = Outcome->FinalStatus = STATUS_NO_MEMORY;
    return;
  }
  KeInitializeEvent(Event, NotificationEvent, FALSE);

  IO_STATUS_BLOCK IoStatus;
  IoStatus.Status = STATUS_SUCCESS;
  IoStatus.Information = 0;
  PIRP Irp = IoBuildDeviceIoControlRequest(ControlCode, Extension->LowerDeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                           Event, &IoStatus);
  if (Irp == nullptr) {
    ExFreePoolWithTag(Event, NORVUSB_POOL_TAG);
    Outcome->WaitResult = Outcome->FinalStatus = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  if (Urb != nullptr) {
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;
  }

  NTSTATUS CallStatus = IofCallDriver(Extension->LowerDeviceObject, Irp);
  if (CallStatus == STATUS_PENDING) {
    LARGE_INTEGER Limit;
    Limit.QuadPart = (LONGLONG)SubmitTimeLimit;
    NTSTATUS WaitResult = KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, &Limit);
    if (WaitResult == STATUS_TIMEOUT) {
      IoCancelIrp(Irp);
      // The I/O manager writes the event and the status block at completion:
      // neither may go before the cancelled request has finished.
      KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, nullptr);
    }
    Outcome->WaitResult = WaitResult;
  } else {
    IoStatus.Status = CallStatus;
    Outcome->WaitResult = CallStatus;
  }
  Outcome->FinalStatus = IoStatus.Status;
  ExFreePoolWithTag(Event, NORVUSB_POOL_TAG);
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  SyncOutcome Outcome;
  SendAndWait(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &Outcome);
  return Outcome.FinalStatus;
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
  // Reports how the wait went, not the reset's own completion status.
  SyncOutcome Outcome;
  SendAndWait(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &Outcome);
  return Outcome.WaitResult;
}

NTSTATUS DelayFor(LONG Count) {
  LARGE_INTEGER Interval;
  Interval.QuadPart = -(LONGLONG)Count;  // negative: relative to now
  return KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}
