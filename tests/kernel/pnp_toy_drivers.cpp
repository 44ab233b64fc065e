#include "tests/support/forward.h"
#include "tests/kernel/pnp_toy_drivers.h"

#include <algorithm>

#include "host/kernel/registry.h"
#include "tests/support/toy_setting.h"

namespace toy {

namespace {

constexpr ULONG kTag = 0x20796F54;  // 'Toy '
constexpr ULONG kMagic = 0x546F7921;

struct Extension {
  ULONG magic;
  Bus *bus;          // the bus device, and every child PDO
  Child *child;      // child PDOs only
  PDEVICE_OBJECT lower;  // function device objects only
};

Extension *Ext(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// An identifier buffer from the paged pool, as a bus driver hands it over.
ULONG_PTR IdBuffer(const std::vector<std::u16string> &entries, bool multi, bool terminated = true) {
  std::u16string text;
  for (const auto &entry : entries) {
    text += entry;
    if (multi || terminated) text += u'\0';
  }
  if (multi) text += u'\0';
  if (text.empty()) return 0;
  auto *buffer = static_cast<WCHAR *>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), kTag));
  if (buffer == nullptr) return 0;
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  return reinterpret_cast<ULONG_PTR>(buffer);
}

NTSTATUS QueryId(PIRP irp, const ChildSpec &wanted) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      irp->IoStatus.Information = IdBuffer({wanted.deviceId}, false, !wanted.unterminatedDeviceId);
      break;
    case BusQueryHardwareIDs:
      irp->IoStatus.Information = IdBuffer(wanted.hardwareIds, true);
      break;
    case BusQueryCompatibleIDs:
      irp->IoStatus.Information = IdBuffer(wanted.compatibleIds, true);
      break;
    case BusQueryInstanceID:
      irp->IoStatus.Information = IdBuffer({wanted.instanceId}, false);
      break;
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
  return Complete(irp, STATUS_SUCCESS);
}

// A relation list from the paged pool, each object referenced unless told not to.
NTSTATUS CompleteRelations(PIRP irp, const std::vector<PDEVICE_OBJECT> &objects, bool reference = true) {
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * std::max<size_t>(objects.size(), 1), kTag));
  if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  relations->Count = 0;
  for (PDEVICE_OBJECT object : objects) {
    if (reference) ObReferenceObject(object);
    relations->Objects[relations->Count++] = object;
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return Complete(irp, STATUS_SUCCESS);
}

// ------------------------------------------------------------------ the bus device

NTSTATUS ReportChildren(Bus &bus, PIRP irp) {
  std::vector<PDEVICE_OBJECT> present;
  {
    std::lock_guard lock(bus.mutex);
    bus.relationQueries++;
    if (bus.failRelations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    for (auto &child : bus.children)
      if (child->present) present.push_back(child->pdo);
  }
  return CompleteRelations(irp, present);
}

NTSTATUS BusDevicePnp(PDEVICE_OBJECT device, PIRP irp) {
  Bus &bus = *Ext(device)->bus;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportChildren(bus, irp);
      return Complete(irp, irp->IoStatus.Status);
    case IRP_MN_QUERY_ID: {
      ChildSpec self;
      self.deviceId = u"TOYBUS\\ROOT";
      self.hardwareIds = {u"TOYBUS\\ROOT"};
      self.instanceId = std::u16string(1, static_cast<char16_t>(u'0' + bus.index));
      return QueryId(irp, self);
    }
    case IRP_MN_REMOVE_DEVICE: {
      // The bus goes, and its children with it.
      std::vector<PDEVICE_OBJECT> doomed;
      {
        std::lock_guard lock(bus.mutex);
        for (auto &child : bus.children) {
          if (!child->deleted) doomed.push_back(child->pdo);
          child->deleted = true;
        }
        bus.device_ = nullptr;
      }
      for (PDEVICE_OBJECT pdo : doomed) IoDeleteDevice(pdo);
      Complete(irp, STATUS_SUCCESS);
      IoDeleteDevice(device);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

// ------------------------------------------------------------------ child PDOs

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  Bus &bus = *Ext(device)->bus;
  Child &child = *Ext(device)->child;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  bool deleteNow = false;
  {
    std::lock_guard lock(bus.mutex);
    child.pnpMinors.push_back(sp->MinorFunction);
    // A child its bus no longer reports goes at its remove.
    if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE && !child.present && !child.deleted) {
      child.deleted = true;
      deleteNow = true;
    }
  }
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
      return QueryId(irp, child.wanted);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      const TargetAnswer answer = child.wanted.target;
      if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation || answer == TargetAnswer::Ignored)
        return Complete(irp, irp->IoStatus.Status);
      if (answer == TargetAnswer::EmptyList) return CompleteRelations(irp, {});
      return CompleteRelations(irp, {device}, answer == TargetAnswer::Referenced);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, child.wanted.surpriseRemovalStatus);
    case IRP_MN_QUERY_CAPABILITIES:
      sp->Parameters.DeviceCapabilities.Capabilities->UniqueID = child.wanted.uniqueId ? 1 : 0;
      sp->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
      return Complete(irp, child.wanted.startStatus);
    case IRP_MN_REMOVE_DEVICE:
      Complete(irp, STATUS_SUCCESS);
      if (deleteNow) IoDeleteDevice(device);
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  return Ext(device)->child != nullptr ? ChildPnp(device, irp) : BusDevicePnp(device, irp);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (Child *child = Ext(device)->child) {
    std::lock_guard lock(Ext(device)->bus->mutex);
    child->powerSeen.emplace_back(sp->Parameters.Power.Type, static_cast<ULONG>(sp->Parameters.Power.State.DeviceState));
    if (sp->MinorFunction == IRP_MN_QUERY_POWER && child->wanted.refuseQueryPower) {
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER && child->wanted.holdPowerIrps > 0) {
      child->wanted.holdPowerIrps--;
      IoMarkIrpPending(irp);
      child->heldPower.push_back(irp);
      return STATUS_PENDING;
    }
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, STATUS_SUCCESS);
}

// No WMI here: a request ends with the status it came with.
NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, irp->IoStatus.Status); }

support::ToySetting<int> g_busLeavesOut{-1};

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
  if (const int leftOut = g_busLeavesOut.Get(); leftOut >= 0) driver->MajorFunction[leftOut] = nullptr;  // the loader's default
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT g_busDriver = nullptr;

// ------------------------------------------------------------------ the function driver

FunctionDriverState g_function;

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  NTSTATUS status = support::ForwardAndWait(lower, irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = Ext(device)->lower;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  bool veto = false;
  {
    std::lock_guard lock(g_function.mutex);
    veto = (minor == IRP_MN_QUERY_STOP_DEVICE && g_function.vetoQueryStop) ||
           (minor == IRP_MN_QUERY_REMOVE_DEVICE && g_function.vetoQueryRemove);
  }
  if (veto) return Complete(irp, STATUS_UNSUCCESSFUL);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return ForwardAndWait(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(lower, irp);
    default:
      return PassDown(lower, irp);
  }
}

NTSTATUS NTAPI FunctionSystemControl(PDEVICE_OBJECT device, PIRP irp) { return PassDown(Ext(device)->lower, irp); }

// As a power policy owner: the system request is finished once the device
// request it asked for is done.
VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto *systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *fdo = static_cast<PDEVICE_OBJECT>(context);
  POWER_STATE wanted;
  const auto system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  wanted.DeviceState = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  PoRequestPowerIrp(Ext(fdo)->lower, IRP_MN_SET_POWER, wanted, DevicePowerDone, irp, nullptr);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  bool owner = false;
  {
    std::lock_guard lock(g_function.mutex);
    owner = g_function.powerPolicyOwner;
  }
  if (owner && location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == SystemPowerState) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemPowerDone, device, TRUE, TRUE, TRUE);
    PoCallDriver(Ext(device)->lower, irp);
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI FunctionOpenClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Information = 0;
  return Complete(irp, STATUS_SUCCESS);
}

void ReadDriverKey(PDEVICE_OBJECT pdo) {
  HANDLE key = nullptr;
  uint32_t value = 0;
  if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) {
    if (auto path = host::registry::KeyPathOfHandle(key)) {
      value = host::registry::GetDword(*path, "MaxTransferSize").value_or(0);
    }
    ZwClose(key);
  }
  std::lock_guard lock(g_function.mutex);
  g_function.maxTransferSizeSeen.push_back(value);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  int n = 0;
  {
    std::lock_guard lock(g_function.mutex);
    g_function.addDeviceCalls++;
    n = g_function.fdoCount++;
  }
  ReadDriverKey(pdo);
  std::u16string name = FdoName(n);
  UNICODE_STRING unicodeName;
  RtlInitUnicodeString(&unicodeName, name.c_str());
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &unicodeName, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext(fdo)->magic = kMagic;
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= pdo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  HANDLE key = nullptr;
  NTSTATUS fdoKey = IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (NT_SUCCESS(fdoKey)) ZwClose(key);
  std::lock_guard lock(g_function.mutex);
  g_function.fdoKeyStatus.push_back(fdoKey);
  return STATUS_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------------ public

Bus::Bus(int busIndex) : index(busIndex) {
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(LoadBusDriver(), sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  Ext(device)->magic = kMagic;
  Ext(device)->bus = this;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  device_ = device;
}

Bus::~Bus() = default;

Child &Bus::Add(ChildSpec wanted) {
  auto child = std::make_unique<Child>();
  child->wanted = std::move(wanted);
  PDEVICE_OBJECT pdo = nullptr;
  IoCreateDevice(LoadBusDriver(), sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
  Ext(pdo)->magic = kMagic;
  Ext(pdo)->bus = this;
  Ext(pdo)->child = child.get();
  pdo->Flags |= DO_POWER_PAGABLE;
  if (!child->wanted.leaveInitializing) pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  child->pdo = pdo;
  std::lock_guard lock(mutex);
  children.push_back(std::move(child));
  return *children.back();
}

void Bus::Unplug(Child &child) {
  std::lock_guard lock(mutex);
  child.present = false;
}

void Bus::Invalidate() { IoInvalidateDeviceRelations(device_, BusRelations); }

void Bus::ReleaseHeldPower(Child &child) {
  PIRP irp = nullptr;
  {
    std::lock_guard lock(mutex);
    if (child.heldPower.empty()) return;
    irp = child.heldPower.front();
    child.heldPower.erase(child.heldPower.begin());
  }
  PoStartNextPowerIrp(irp);
  Complete(irp, STATUS_SUCCESS);
}

FunctionDriverState &FunctionDriver() { return g_function; }

void Reset() {
  g_busLeavesOut.Set(-1);  // waits for the managers: before the lock their requests take
  std::lock_guard lock(g_function.mutex);
  g_function.driverEntryCalls = 0;
  g_function.addDeviceCalls = 0;
  g_function.maxTransferSizeSeen.clear();
  g_function.fdoKeyStatus.clear();
  g_function.vetoQueryStop = false;
  g_function.vetoQueryRemove = false;
  g_function.powerPolicyOwner = false;
  g_function.fdoCount = 0;
  g_busDriver = nullptr;
}

NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FunctionSystemControl;
  driver->MajorFunction[IRP_MJ_CREATE] = FunctionOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FunctionOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = FunctionOpenClose;
  driver->DriverExtension->AddDevice = FunctionAddDevice;
  std::lock_guard lock(g_function.mutex);
  g_function.driverEntryCalls++;
  return STATUS_SUCCESS;
}

std::u16string FdoName(int n) { return u"\\Device\\ToyFn" + std::u16string(1, static_cast<char16_t>(u'0' + n)); }

PDRIVER_OBJECT LoadBusDriver() {
  if (g_busDriver == nullptr) g_busDriver = host::CreateDriverObject(u"\\Driver\\toybus", BusEntry);
  return g_busDriver;
}

void LeaveOutOfBusDriver(UCHAR major) { g_busLeavesOut.Set(major); }

}  // namespace toy

// ------------------------------------------------------------------ the fixture

void PnpFixture::SetUp() {
  KernelFixture::SetUp();
  toy::Reset();
}

void PnpFixture::TearDown() {
  for (const auto &path : busPaths_) {
    EXPECT_EQ(host::pnp::RemoveDevice(path), STATUS_SUCCESS) << path;
  }
  host::pnp::WaitIdle();
  if (!buses_.empty()) host::DeleteDriverObject(toy::LoadBusDriver());
  KernelFixture::TearDown();
  buses_.clear();
}

toy::Bus &PnpFixture::AddBus(const std::vector<toy::ChildSpec> &children) {
  buses_.push_back(std::make_unique<toy::Bus>(static_cast<int>(buses_.size())));
  toy::Bus &bus = *buses_.back();
  for (const auto &wanted : children) bus.Add(wanted);
  busPaths_.push_back(host::pnp::RegisterBus(bus.Device()));
  host::pnp::WaitIdle();
  return bus;
}

void PnpFixture::UseFunctionDriver() {
  host::pnp::RegisterDriver("toy\\widget_hw", "toyfn", toy::FunctionDriverEntry);
}

host::pnp::DeviceNodeInfo PnpFixture::Node(const toy::Child &child) {
  auto node = host::pnp::FindDeviceByPdo(child.pdo);
  EXPECT_TRUE(node.has_value()) << "no device node for the child";
  return node.value_or(host::pnp::DeviceNodeInfo{});
}

bool PnpFixture::HasNode(const toy::Child &child) { return host::pnp::FindDeviceByPdo(child.pdo).has_value(); }

std::vector<uint64_t> PnpFixture::Violations() {
  std::vector<uint64_t> rules;
  for (const auto &check : TakeBugChecks())
    rules.push_back(check.code == host::bugcheck::kIoManagerViolation ? check.parameters[0] : check.code);
  return rules;
}

int PnpFixture::Received(toy::Bus &bus, const toy::Child &child, UCHAR minor) {
  std::lock_guard lock(bus.mutex);
  return static_cast<int>(std::count(child.pnpMinors.begin(), child.pnpMinors.end(), minor));
}
