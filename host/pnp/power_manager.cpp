// The power manager: PoCallDriver, PoStartNextPowerIrp and PoRequestPowerIrp,
// and the system power transitions the manager drives.
//
// As on the older platforms, a device takes one system and one device
// set-power or query-power request at a time: PoCallDriver holds the next
// one of a kind back until the driver calls PoStartNextPowerIrp for the
// active one. A request the manager sent also frees its devices when it
// comes back finished, so that a driver that forgets PoStartNextPowerIrp
// delays nothing but its own stack's next request.
//
// The manager sends system power requests only. Device power requests come
// from a device's power policy owner, through PoRequestPowerIrp.
#include <map>

#include "host/kernel/scheduler.h"
#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/pnp/pnp_manager.h"
#include "host/pnp/power_manager.h"
#include "host/kernel/watchdog.h"

namespace host::pnp {

namespace {

struct DevicePowerQueue {
  PIRP active = nullptr;
  std::deque<PIRP> waiting;
};

// One queue per device and kind of request (system or device power).
using QueueKey = std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>;

struct PowerManager {
  host::Mutex mutex;
  std::map<QueueKey, DevicePowerQueue> devices;
  std::vector<PowerRequestRecord> log;
  SYSTEM_POWER_STATE systemState = PowerSystemWorking;
  internal::WorkQueue dispatcher;  // passes held-back requests on, at passive level
  internal::WorkQueue requested;   // sends the requests of PoRequestPowerIrp
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
void StartNextLocked(std::map<QueueKey, DevicePowerQueue>::iterator entry) {
  auto &queue = entry->second;
  if (queue.waiting.empty()) {
    P().devices.erase(entry);
    return;
  }
  PIRP next = queue.waiting.front();
  queue.waiting.pop_front();
  queue.active = next;
  PDEVICE_OBJECT device = entry->first.first;
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

// A request of PoRequestPowerIrp, sent from the manager's own thread to the
// top of the stack; the requester's callback runs when it is done.
void SendRequested(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                   PVOID context) {
  PDEVICE_OBJECT pdo = ::host::detail::AttachmentBase(device);
  const auto node = FindDeviceByPdo(pdo);
  internal::PowerTarget target{node ? node->instancePath : "", ::host::detail::AttachedDeviceTop(pdo), {}};
  IO_STATUS_BLOCK status{};
  status.Status = SendPower(target, minor, DevicePowerState, state.DeviceState);
  if (completion != nullptr) completion(device, minor, state, context, &status);
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
    if (NT_SUCCESS(result)) result = system;
  }
  std::lock_guard lock(P().mutex);
  P().systemState = state;
  return result;
}

NTSTATUS Wake() {
  NTSTATUS result = STATUS_SUCCESS;
  for (const auto &target : internal::StartedNodes()) {
    NTSTATUS system = SendPower(target, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    if (NT_SUCCESS(result)) result = system;
  }
  std::lock_guard lock(P().mutex);
  P().systemState = PowerSystemWorking;
  return result;
}

}  // namespace

// ------------------------------------------------------------------ public API

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
  P().requested.Stop();
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

void PowerWaitIdle() {
  P().requested.WaitIdle();
  P().dispatcher.WaitIdle();
}

}  // namespace internal

}  // namespace host::pnp

// ------------------------------------------------------------------ the kernel API

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const host::sched::AfterEffect afterEffect("PoCallDriver");
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::PoCallDriver, Irp)) return STATUS_INVALID_DEVICE_STATE;
  host::detail::MarkPowerCall(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (Serialised(next)) {
    std::lock_guard lock(P().mutex);
    auto &queue = P().devices[{DeviceObject, next->Parameters.Power.Type}];
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
  const host::sched::AfterEffect afterEffect("PoStartNextPowerIrp");
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::PoStartNextPowerIrp, Irp)) return;
  host::detail::MarkPowerStarted(Irp);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  std::lock_guard lock(P().mutex);
  auto entry = P().devices.find({location->DeviceObject, location->Parameters.Power.Type});
  if (entry == P().devices.end() || entry->second.active != Irp) {
    // The stack location does not name the device: look the request up.
    entry = std::find_if(P().devices.begin(), P().devices.end(),
                         [&](const auto &candidate) { return candidate.second.active == Irp; });
  }
  if (entry != P().devices.end()) StartNextLocked(entry);
}

// What a device's power policy owner calls to have a device power request
// sent to the top of the device's stack. The request goes from the manager's
// own thread; the callback runs there when the stack has finished it.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
  const host::sched::AfterEffect afterEffect("PoRequestPowerIrp");
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::PoRequestPowerIrp, DeviceObject)) return STATUS_INVALID_DEVICE_STATE;
  if (Irp != nullptr) *Irp = nullptr;  // the request may be gone before the caller looks
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
    // Waking is not modelled; anything else is not a power request to ask for.
    return MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER_2;
  }
  if (DeviceObject == nullptr || PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3)
    return STATUS_INVALID_PARAMETER;
  P().requested.Post([=] { SendRequested(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context); });
  return STATUS_PENDING;
}

}  // extern "C"
