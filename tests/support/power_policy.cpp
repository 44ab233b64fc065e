#include "tests/support/power_policy.h"

namespace support {
namespace {

struct Requested {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI RequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto *requested = static_cast<Requested *>(context);
  requested->status = status->Status;
  KeSetEvent(&requested->done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS RequestDevicePower(PDEVICE_OBJECT device, UCHAR minor, DEVICE_POWER_STATE state) {
  Requested requested;
  KeInitializeEvent(&requested.done, NotificationEvent, FALSE);
  POWER_STATE power;
  power.DeviceState = state;
  const NTSTATUS status = PoRequestPowerIrp(device, minor, power, RequestDone, &requested, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&requested.done, Executive, KernelMode, FALSE, nullptr);
  return requested.status;
}

}  // namespace support
