// Helpers shared by the user I/O routines only.
#pragma once

#include "norvusb.h"

// Returns the bridge's extension, read once (remove may clear the pointer at
// any moment, so callers use what this returned rather than read it again).
// A request that reached something other than a bridge with its extension is
// completed here and null returned: the child printer device (whose
// extension has none of the bridge's fields) gets
// STATUS_INVALID_DEVICE_REQUEST, a bridge that remove left without extension
// gets OrphanStatus; *Status is what the request was completed with.
FdoExtension *BridgeOrComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS OrphanStatus, NTSTATUS *Status);

// Whether a request comes from the handle that opened the port. A request
// without a file object comes from another driver in kernel mode and is let
// through; one from any other file object is not the port's.
BOOLEAN FromOwner(FdoExtension *Extension, PIRP Irp);
