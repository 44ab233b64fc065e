// Routines shared between the files of the bridge device's Plug and Play and
// power handling.
#pragma once

#include "norvusb.h"

// The bridge's handling of a power request, on either route (IRP_MJ_POWER, or
// a Plug and Play request with minor code 0x15 to 0x18). *Finished tells
// whether the request was completed or passed down here; if not, the caller
// finishes it with the returned status.
NTSTATUS BridgePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *Finished);
