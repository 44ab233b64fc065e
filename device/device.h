// Routines shared between the files of the bridge device's Plug and Play and
// power handling.
#pragma once

#include "norvusb.h"

// The bridge's handling of an IRP_MJ_POWER request: completed or passed
// down here; returns its status.
NTSTATUS BridgePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
