// Routines shared between the files of the printer enumeration.
#pragma once

#include "norvusb.h"

// Frees the child's own copy of the device-ID text and deletes its device
// object; the child must no longer be in its bridge's list.
VOID FreeChildDevice(PDEVICE_OBJECT ChildDeviceObject);
