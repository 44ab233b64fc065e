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

BOOLEAN IoGateAcquireForIo(PDEVICE_OBJECT DeviceObject) {
  BOOLEAN Admitted = IoGateAcquire(DeviceObject);
  // After a surprise removal the device is gone: only the Plug and Play and
  // power requests still pass, for the remove that follows the last close.
  if (Admitted && NorvUsbReadUchar(&BridgeExtension(DeviceObject)->DeviceGone) != 0) {
    IoGateRelease(DeviceObject);
    Admitted = FALSE;
  }
  return Admitted;
}
