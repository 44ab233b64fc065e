// The power manager: PoCallDriver and PoStartNextPowerIrp, and the system and
// device power transitions the manager drives.
//
// As on the older platforms, a device takes one set-power or query-power
// request at a time: PoCallDriver holds the next one back until the driver
// calls PoStartNextPowerIrp for the active one. A request the manager sent
// also frees its devices when it comes back finished, so that a driver that
// forgets PoStartNextPowerIrp delays nothing but its own stack's next request.
#include <map>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/pnp_manager.h"
#include "host/kernel/power_manager.h"

namespace host::pnp {

namespace {

struct DevicePowerQueue {
  PIRP active = nullptr;
  std::deque<PIRP> waiting;
};

struct PowerManager {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, DevicePowerQueue> devices;
  std::vector<PowerRequestRecord> log;
  SYSTEM_POWER_STATE systemState = PowerSystemWorking;
  internal::WorkQueue dispatcher;  // passes held-back requests on, at passive level
};

PowerManager &P() {
  static PowerManager manager;
  return manager;
}

bool Serialised(PIO_STACK_LOCATION location) {
  return location->MajorFunction == IRP_MJ_POWER &&
         (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER);
}

// The device's active request is done with: the next one held back goes on.
// Caller holds the lock.
void StartNextLocked(std::map<PDEVICE_OBJECT, DevicePowerQueue>::iterator entry) {
  auto &queue = entry->second;
  if (queue.waiting.empty()) {
    P().devices.erase(entry);
    return;
  }
  PIRP next = queue.waiting.front();
  queue.waiting.pop_front();
  queue.active = next;
  PDEVICE_OBJECT device = entry->first;
  P().dispatcher.Post([device, next] { IoCallDriver(device, next); });
}

// ------------------------------------------------------------------ requests of the manager

NTSTATUS SendPower(const internal::PowerTarget &target, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.Power.Type = type;
  if (type == SystemPowerState) {
    parameters.Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
  } else {
    parameters.Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
  }
  const bool working = type == SystemPowerState ? state == PowerSystemWorking : state == PowerDeviceD0;
  parameters.Parameters.Power.ShutdownType =
      working ? PowerActionNone : (state == PowerSystemShutdown && type == SystemPowerState ? PowerActionShutdown
                                                                                            : PowerActionSleep);
  auto outcome = internal::SendIrp(target.top, IRP_MJ_POWER, minor, parameters, internal::kRequestWatchdog);
  {
    std::lock_guard lock(P().mutex);
    P().log.push_back({target.instancePath, minor, type, state, outcome.status});
  }
  if (minor == IRP_MN_SET_POWER && type == DevicePowerState && NT_SUCCESS(outcome.status)) {
    internal::NotePowerState(target.instancePath, static_cast<DEVICE_POWER_STATE>(state));
  }
  return outcome.status;
}

NTSTATUS DevicePowerRequest(const std::string &instancePath, UCHAR minor, DEVICE_POWER_STATE state) {
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return STATUS_INVALID_PARAMETER;
  return internal::RunOnWorker([&]() -> NTSTATUS {
    auto target = internal::StartedNode(instancePath);
    if (!target) return STATUS_INVALID_DEVICE_REQUEST;
    return SendPower(*target, minor, DevicePowerState, state);
  });
}

// The device state that goes with a system sleep state: the device's own
// mapping from its capabilities when it gives one, otherwise D3.
DEVICE_POWER_STATE DeviceStateFor(const internal::PowerTarget &target, SYSTEM_POWER_STATE state) {
  const DEVICE_POWER_STATE mapped = target.capabilities.DeviceState[state];
  return mapped >= PowerDeviceD1 && mapped <= PowerDeviceD3 ? mapped : PowerDeviceD3;
}

NTSTATUS Sleep(SYSTEM_POWER_STATE state) {
  auto targets = internal::StartedNodes();
  std::vector<internal::PowerTarget> childrenFirst(targets.rbegin(), targets.rend());
  std::vector<const internal::PowerTarget *> queried;
  for (const auto &target : childrenFirst) {
    queried.push_back(&target);
    NTSTATUS status = SendPower(target, IRP_MN_QUERY_POWER, SystemPowerState, state);
    if (!NT_SUCCESS(status)) {
      // Refused: everyone queried is told the system stays working.
      for (const auto *told : queried) SendPower(*told, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
      return status;
    }
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (const auto &target : childrenFirst) {
    NTSTATUS system = SendPower(target, IRP_MN_SET_POWER, SystemPowerState, state);
    NTSTATUS device = SendPower(target, IRP_MN_SET_POWER, DevicePowerState, DeviceStateFor(target, state));
    if (NT_SUCCESS(result)) result = !NT_SUCCESS(system) ? system : device;
  }
  std::lock_guard lock(P().mutex);
  P().systemState = state;
  return result;
}

NTSTATUS Wake() {
  NTSTATUS result = STATUS_SUCCESS;
  for (const auto &target : internal::StartedNodes()) {
    NTSTATUS system = SendPower(target, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    NTSTATUS device = SendPower(target, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    if (NT_SUCCESS(result)) result = !NT_SUCCESS(system) ? system : device;
  }
  std::lock_guard lock(P().mutex);
  P().systemState = PowerSystemWorking;
  return result;
}

}  // namespace

// ------------------------------------------------------------------ public API

NTSTATUS SetDevicePower(const std::string &instancePath, DEVICE_POWER_STATE state) {
  return DevicePowerRequest(instancePath, IRP_MN_SET_POWER, state);
}

NTSTATUS QueryDevicePower(const std::string &instancePath, DEVICE_POWER_STATE state) {
  return DevicePowerRequest(instancePath, IRP_MN_QUERY_POWER, state);
}

NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state) {
  if (state < PowerSystemWorking || state > PowerSystemShutdown) return STATUS_INVALID_PARAMETER;
  return internal::RunOnWorker([&]() -> NTSTATUS {
    SYSTEM_POWER_STATE current;
    {
      std::lock_guard lock(P().mutex);
      current = P().systemState;
    }
    if (state == current) return STATUS_SUCCESS;
    if (state == PowerSystemWorking) return Wake();
    if (current != PowerSystemWorking) return STATUS_INVALID_DEVICE_REQUEST;  // wake first
    return Sleep(state);
  });
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
  std::lock_guard lock(P().mutex);
  return P().systemState;
}

std::vector<PowerRequestRecord> PowerRequestLog() {
  std::lock_guard lock(P().mutex);
  return P().log;
}

void ClearPowerRequestLog() {
  std::lock_guard lock(P().mutex);
  P().log.clear();
}

// ------------------------------------------------------------------ between the managers

namespace internal {

void PowerReset() {
  P().dispatcher.Stop();
  std::lock_guard lock(P().mutex);
  P().devices.clear();
  P().log.clear();
  P().systemState = PowerSystemWorking;
}

void PowerIrpFinished(PIRP irp) {
  std::lock_guard lock(P().mutex);
  for (auto entry = P().devices.begin(); entry != P().devices.end();) {
    auto current = entry++;
    if (current->second.active == irp) StartNextLocked(current);
  }
}

void PowerWaitIdle() { P().dispatcher.WaitIdle(); }

}  // namespace internal

}  // namespace host::pnp

// ------------------------------------------------------------------ the kernel API

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::PoCallDriver, Irp)) return STATUS_INVALID_DEVICE_STATE;
  host::detail::MarkPowerCall(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (Serialised(next)) {
    std::lock_guard lock(P().mutex);
    auto &queue = P().devices[DeviceObject];
    if (queue.active != nullptr) {
      // Held back until the active request is done with; the caller sees a
      // pending request, so its completion runs as for one.
      next->Control |= SL_PENDING_RETURNED;
      queue.waiting.push_back(Irp);
      return STATUS_PENDING;
    }
    queue.active = Irp;
  }
  return IoCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::PoStartNextPowerIrp, Irp)) return;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  std::lock_guard lock(P().mutex);
  auto entry = P().devices.find(device);
  if (entry == P().devices.end() || entry->second.active != Irp) {
    // The stack location does not name the device: look the request up.
    entry = std::find_if(P().devices.begin(), P().devices.end(),
                         [&](const auto &candidate) { return candidate.second.active == Irp; });
  }
  if (entry != P().devices.end()) StartNextLocked(entry);
}

}  // extern "C"
