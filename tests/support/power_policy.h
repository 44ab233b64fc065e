// A test standing in for a device's power policy owner: device power
// requests come only through PoRequestPowerIrp, never from the managers.
#pragma once

#include "host/kernel/api/hostwdm.h"

namespace support {

// Asks for a device set-power or query-power request to the stack of
// `device` and waits until its drivers have finished it; returns its final
// status, or what PoRequestPowerIrp refused it with.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT device, UCHAR minor, DEVICE_POWER_STATE state);

}  // namespace support
