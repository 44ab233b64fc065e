#include "host/kernel/scheduler.h"
#include "tests/support/test_thread.h"
#include "tests/support/forward.h"
#include "tests/lifecycle/lifecycle_support.h"

#include <mutex>
#include <thread>
#include <vector>

#include "host/kernel/force_pending.h"
#include "host/kernel/registry.h"

namespace lifecycle {

host::BridgePlan PlanWith(const std::string &deviceId, int serial) {
  host::BridgePlan plan;
  plan.printer.deviceId = deviceId;
  plan.bridge.identity.serialNumber = "NB1284-" + std::to_string(serial);
  return plan;
}

// ------------------------------------------------------------------ the lower filter

namespace {

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

PDRIVER_OBJECT g_filterDriver = nullptr;
PDRIVER_ADD_DEVICE g_bridgeAddDevice = nullptr;
std::mutex g_mutex;
PIRP g_held = nullptr;
std::vector<TestThread> g_completers;

using support::ForwardAndWait;

NTSTATUS PendStartThenFail(PDEVICE_OBJECT lower, PIRP irp, NTSTATUS failure) {
  ForwardAndWait(lower, irp);
  IoMarkIrpPending(irp);
  std::lock_guard lock(g_mutex);
  g_completers.emplace_back([irp, failure] {
    irp->IoStatus.Status = failure;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  return STATUS_PENDING;
}

NTSTATUS FilterRemove(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, PIRP irp) {
  NTSTATUS status = ForwardAndWait(lower, irp);
  if (NTSTATUS failure = Script().removeFails.load()) status = failure;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoDetachDevice(lower);
  IoDeleteDevice(self);
  Script().filtersAlive--;
  return status;
}

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

bool IsChangeToD0(PIO_STACK_LOCATION location) {
  return location->MinorFunction == 0x17 && location->Parameters.Power.Type == DevicePowerState &&
         location->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

NTSTATUS AnswerD0(PDEVICE_OBJECT lower, PIRP irp) {
  Script().d0Seen++;
  switch (Script().toD0.load()) {
    case D0Answer::Fail:
      irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_UNSUCCESSFUL;
    case D0Answer::Hold: {
      IoMarkIrpPending(irp);
      std::lock_guard lock(g_mutex);
      g_held = irp;
      return STATUS_PENDING;
    }
    case D0Answer::PassOn:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER ? PoCallDriver(lower, irp)
                                                                       : IoCallDriver(lower, irp);
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT self, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<FilterExtension *>(self->DeviceExtension)->lower;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction == IRP_MJ_PNP) {
    Script().pnpSeen[location->MinorFunction & 0x1F]++;
    NTSTATUS failure = Script().startFailsLater.load();
    if (location->MinorFunction == IRP_MN_START_DEVICE && failure != 0) return PendStartThenFail(lower, irp, failure);
    if (location->MinorFunction == IRP_MN_REMOVE_DEVICE) return FilterRemove(self, lower, irp);
  }
  if (IsChangeToD0(location)) return AnswerD0(lower, irp);
  if (location->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  // Force-pending: the filter pends what it passes on, whatever the stack
  // below returns.
  if (host::forcepending::ShouldPend()) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PropagatePending, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    return STATUS_PENDING;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &routine : driver->MajorFunction) routine = FilterDispatch;
  return STATUS_SUCCESS;
}

// The filter goes below the bridge's function device, as a lower filter of
// the device's installation would: attached to the PDO before AddDevice.
NTSTATUS NTAPI FilteredAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT filter = nullptr;
  NTSTATUS status =
      IoCreateDevice(g_filterDriver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, pdo);
  static_cast<FilterExtension *>(filter->DeviceExtension)->lower = lower;
  filter->Flags |= pdo->Flags & DO_POWER_PAGABLE;
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  Script().filtersAlive++;
  status = g_bridgeAddDevice(driver, pdo);
  if (!NT_SUCCESS(status)) {
    IoDetachDevice(lower);
    IoDeleteDevice(filter);
    Script().filtersAlive--;
  }
  return status;
}

NTSTATUS NTAPI FilteredDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status = DriverEntry(driver, registryPath);
  g_bridgeAddDevice = driver->DriverExtension->AddDevice;
  driver->DriverExtension->AddDevice = FilteredAddDevice;
  return status;
}

void ResetScript() {
  FilterScript &script = Script();
  script.startFailsLater = 0;
  script.removeFails = 0;
  script.toD0 = D0Answer::PassOn;
  for (auto &seen : script.pnpSeen) seen = 0;
  script.d0Seen = 0;
  script.filtersAlive = 0;
}

void JoinCompleters() {
  std::vector<TestThread> threads;
  {
    std::lock_guard lock(g_mutex);
    threads.swap(g_completers);
  }
  for (auto &thread : threads) thread.join();
}

}  // namespace

FilterScript &Script() {
  static FilterScript script;
  return script;
}

bool ReleaseHeldRequest(NTSTATUS status) {
  PIRP irp = nullptr;
  {
    std::lock_guard lock(g_mutex);
    std::swap(irp, g_held);
  }
  if (irp == nullptr) return false;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

// ------------------------------------------------------------------ a request sent by hand

struct SentIrp::State {
  host::Mutex mutex;
  host::sched::CondVar done;
  bool completed = false;
  IO_STATUS_BLOCK status{};
  bool pendingReturned = false;
};

namespace {

NTSTATUS NTAPI SentIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *state = static_cast<SentIrp::State *>(context);
  {
    std::lock_guard lock(state->mutex);
    state->status = irp->IoStatus;
    state->pendingReturned = irp->PendingReturned != 0;
    state->completed = true;
  }
  state->done.NotifyAll();
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

SentIrp Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const IO_STACK_LOCATION &parameters) {
  SentIrp sent;
  sent.state = std::make_shared<SentIrp::State>();
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) {
    sent.returned = STATUS_INSUFFICIENT_RESOURCES;
    return sent;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // as the platform requires of PnP and power requests
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->Parameters = parameters.Parameters;
  location->FileObject = parameters.FileObject;
  location->MajorFunction = major;
  location->MinorFunction = minor;
  // The state outlives the request: the completion routine holds it until it has run.
  IoSetCompletionRoutine(irp, SentIrpDone, sent.state.get(), TRUE, TRUE, TRUE);
  sent.returned = major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
  return sent;
}

bool SentIrp::Wait(int milliseconds) {
  host::sched::Lock lock(state->mutex);
  const int64_t deadline = host::clock::Now() + int64_t{milliseconds} * host::sched::kUnitsPerMillisecond;
  return state->done.WaitUntil(lock, deadline, "a request sent by hand", [&] { return state->completed; });
}

bool SentIrp::Done() const {
  std::lock_guard lock(state->mutex);
  return state->completed;
}

NTSTATUS SentIrp::Status() const {
  std::lock_guard lock(state->mutex);
  return state->status.Status;
}

ULONG_PTR SentIrp::Information() const {
  std::lock_guard lock(state->mutex);
  return state->status.Information;
}

bool SentIrp::PendingReturned() const {
  std::lock_guard lock(state->mutex);
  return state->pendingReturned;
}

IO_STACK_LOCATION DevicePower(DEVICE_POWER_STATE state) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.Power.Type = DevicePowerState;
  parameters.Parameters.Power.State.DeviceState = state;
  return parameters;
}

// ------------------------------------------------------------------ the fixture

void LifecycleTest::UseLowerFilter() {
  ResetScript();
  g_filterDriver = host::CreateDriverObject(u"\\Driver\\lowerfilter", FilterEntry);
  ASSERT_NE(g_filterDriver, nullptr);
  // The bridge's first hardware ID (with its revision) is matched before the
  // one the machine registered the driver for.
  char revision[16];
  std::snprintf(revision, sizeof revision, "&REV_%04X", host::hardware::DeviceIdentity{}.bcdDevice);
  host::pnp::RegisterDriver(host::BridgeHardwareId() + revision, host::Machine::kService, FilteredDriverEntry);
  filterUsed_ = true;
}

void LifecycleTest::TearDown() {
  ReleaseHeldRequest(STATUS_SUCCESS);
  if (filterUsed_ && machine_) {
    // Every filter goes with its bridge's remove; the filter's driver after them.
    for (size_t i = 0; i < machine_->BridgeCount(); ++i) machine_->Unplug(i);
    machine_->WaitIdle();
    JoinCompleters();
    EXPECT_EQ(Script().filtersAlive.load(), 0);
    host::DeleteDriverObject(g_filterDriver);
    g_filterDriver = nullptr;
  }
  JoinCompleters();
  MachineFixture::TearDown();
}

PDEVICE_OBJECT LifecycleTest::Fdo(size_t index) const {
  std::u16string name = machine_->View(index).deviceName;
  return name.empty() ? nullptr : host::LookupDevice(name);
}

FdoExtension *LifecycleTest::Extension(size_t index) const {
  PDEVICE_OBJECT fdo = Fdo(index);
  return fdo != nullptr ? static_cast<FdoExtension *>(fdo->DeviceExtension) : nullptr;
}

std::optional<host::pnp::DeviceNodeInfo> LifecycleTest::BridgeNode(size_t index) const {
  return host::pnp::FindDeviceByPdo(machine_->Bus().Pdo(machine_->Port(index)));
}

std::optional<host::pnp::DeviceNodeInfo> LifecycleTest::PrinterNode(size_t index) const {
  auto bridge = BridgeNode(index);
  if (!bridge || bridge->children.empty()) return std::nullopt;
  return host::pnp::FindDevice(bridge->children.front());
}

bool LifecycleTest::LinkExists(const std::string &portName) {
  for (const auto &link : host::SymbolicLinks()) {
    if (link == u"\\DosDevices\\" + host::registry::ToUtf16(portName)) return true;
  }
  return false;
}

std::vector<NTSTATUS> LifecycleTest::RelationQueries(const std::string &instancePath) {
  std::vector<NTSTATUS> statuses;
  for (const auto &record : host::pnp::PnpRequestLog()) {
    if (record.instancePath == instancePath && record.minor == IRP_MN_QUERY_DEVICE_RELATIONS &&
        record.detail == BusRelations)
      statuses.push_back(record.status);
  }
  return statuses;
}

}  // namespace lifecycle
