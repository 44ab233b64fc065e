// Cancellation: the cancel spin lock and IoCancelIrp, as the platform has them.
#include "host/kernel/scheduler.h"
#include "host/io/io_internal.h"
#include "host/kernel/watchdog.h"

namespace host::io {
namespace {

KSPIN_LOCK gCancelLock = 0;

}  // namespace

void CancelReset() { KeInitializeSpinLock(&gCancelLock); }

}  // namespace host::io

using namespace host::io;

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  const host::sched::AfterEffect afterEffect("IoAcquireCancelSpinLock");
  if (!host::irql::Allows(host::irql::Routine::IoAcquireCancelSpinLock, &gCancelLock)) {
    *Irql = host::irql::Current();
    return;
  }
  *Irql = KfAcquireSpinLock(&gCancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&gCancelLock, Irql); }

// The caller keeps the IRP alive across the call (it owns it, or it waits for
// the IRP's completion before freeing it). The cancel routine is called with
// the cancel lock held and releases it.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const host::sched::AfterEffect afterEffect("IoCancelIrp");
  if (!host::irql::Allows(host::irql::Routine::IoCancelIrp, Irp)) return FALSE;
  if (!IsLiveIrp(Irp)) {
    Violation(check::kCallNotIrp, Irp, nullptr, "IoCancelIrp on " + Hex(Irp) + ", which is not a live IRP");
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  bool dispatched = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount;
  routine(dispatched ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr, Irp);
  return TRUE;
}

}  // extern "C"
