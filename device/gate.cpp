// The I/O gate: keeps the bridge and its extension alive while requests are
// inside, and lets remove wait until the last one has left.
#include "norvusb.h"

static VOID LeaveGate(FdoExtension *Extension) {
  if (InterlockedDecrement(&Extension->PendingIoCount) == 0) {
    KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

BOOLEAN IoGateAcquire(PDEVICE_OBJECT DeviceObject) {
  // A bridge without extension (removed with a handle open) and a child
  // printer device admit nothing.
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return FALSE;
  }
  // The increment comes first: a request counted before remove sets the flag
  // is one remove waits for.
  InterlockedIncrement(&Extension->PendingIoCount);
  if (NorvUsbReadUchar(&Extension->DeviceRemoved) == 0) {
    return TRUE;
  }
  LeaveGate(Extension);
  return FALSE;
}

VOID IoGateRelease(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension != nullptr) {
    LeaveGate(Extension);
  }
}
