// Routines shared between the files of the bridge device's Plug and Play and
// power handling.
#pragma once

#include "norvusb.h"

// Passes a request to the next lower driver with a copy of the current stack
// location; returns the status of the call.
NTSTATUS PassRequestDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp);

// The bridge's handling of a power request, on either route (IRP_MJ_POWER, or
// a Plug and Play request with minor code 0x15 to 0x18). *Finished tells
// whether the request was completed or passed down here; if not, the caller
// finishes it with the returned status.
NTSTATUS BridgePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *Finished);
