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

// Completion routine of a synchronous request: wakes the waiting thread and
// keeps the request alive, so that a time-out can still cancel it safely.
NTSTATUS NTAPI SyncRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one internal request down and waits for it. When nothing could be
// sent (no pool for the event or the request, or a bridge already removed)
// *Outcome holds that status in both fields.
//
// The request is held by its completion routine until this thread is done
// with it: cancelling after a time-out must never reach a request the I/O
// manager has already freed. Only then is the completion let go on, and the
// event and the status block outlive the I/O manager's last writes to them.
VOID SendAndWait(PDEVICE_OBJECT DeviceObject, ULONG ControlCode, PURB Urb, SyncOutcome *Outcome) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    Outcome->WaitResult = Outcome->FinalStatus = STATUS_DELETE_PENDING;
    return;
  }
  PDEVICE_OBJECT Lower = Extension->LowerDeviceObject;
  PKEVENT Event = (PKEVENT)AllocatePool(NonPagedPool, sizeof(KEVENT));
  if (Event == nullptr) {
    Outcome->WaitResult = Outcome->FinalStatus = STATUS_NO_MEMORY;
    return;
  }
  KeInitializeEvent(Event, NotificationEvent, FALSE);

  IO_STATUS_BLOCK IoStatus;
  IoStatus.Status = STATUS_SUCCESS;
  IoStatus.Information = 0;
  PIRP Irp = IoBuildDeviceIoControlRequest(ControlCode, Lower, nullptr, 0, nullptr, 0, TRUE, Event, &IoStatus);
  if (Irp == nullptr) {
    ExFreePool(Event);
    Outcome->WaitResult = Outcome->FinalStatus = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  if (Urb != nullptr) {
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;
  }
  IoSetCompletionRoutine(Irp, SyncRequestDone, Event, TRUE, TRUE, TRUE);

  NTSTATUS CallStatus = IofCallDriver(Lower, Irp);
  NTSTATUS WaitResult = CallStatus;
  if (CallStatus == STATUS_PENDING) {
    LARGE_INTEGER Limit;
    Limit.QuadPart = (LONGLONG)SubmitTimeLimit;
    WaitResult = KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, &Limit);
    if (WaitResult == STATUS_TIMEOUT) {
      IoCancelIrp(Irp);
      KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, nullptr);
    }
    Outcome->FinalStatus = Irp->IoStatus.Status;
  } else {
    Outcome->FinalStatus = CallStatus;
  }
  Outcome->WaitResult = WaitResult;

  // Let the I/O manager finish the request (status block, event, freeing)
  // and wait until it has. The event is made not signalled again by
  // initialising it, which every target imports, rather than KeClearEvent.
  KeInitializeEvent(Event, NotificationEvent, FALSE);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
  ExFreePool(Event);
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
