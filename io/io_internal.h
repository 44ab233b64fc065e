// Helpers shared by the user I/O routines only.
#pragma once

#include "norvusb.h"

// Completes a request that reached something other than a working bridge:
// the child printer device (whose extension has none of the bridge's
// fields) gets STATUS_INVALID_DEVICE_REQUEST, a bridge that remove left
// without extension gets OrphanStatus. Returns false, touching nothing, for
// a bridge with its extension.
BOOLEAN CompleteIfNotBridge(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS OrphanStatus, NTSTATUS *Status);

// Cancels the transfer in flight, if any, and returns whether there was one.
// The transfer's record stays alive until the cancel has been issued.
BOOLEAN CancelCurrentTransfer(PDEVICE_OBJECT DeviceObject);
