// The PnP manager: the device tree, driver loading, bus enumeration and the
// device life cycle. All requests go from the one worker thread; the tree is
// changed only there, under the tree lock, and read under it from anywhere.
// The lock is never held while a driver runs.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/pnp/pnp_manager.h"
#include "host/pnp/power_manager.h"
#include "host/kernel/registry.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/watchdog.h"

namespace host::pnp {

namespace {

constexpr const char *kEnumKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr const char *kClassKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

struct DevNode {
  uint64_t serial = 0;
  DevNode *parent = nullptr;
  std::vector<DevNode *> children;
  PDEVICE_OBJECT pdo = nullptr;  // the node holds one reference on it
  int depth = 0;

  std::string deviceId;
  std::string instanceId;
  std::string instancePath;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  DEVICE_CAPABILITIES capabilities{};
  std::string childPrefix;  // parent ID prefix given to its children, made once

  DeviceState state = DeviceState::Initialized;
  uint32_t problem = problem::kNone;
  NTSTATUS problemStatus = 0;
  DEVICE_POWER_STATE powerState = PowerDeviceUnspecified;
  std::string service;    // "" = no function driver (raw)
  std::string driverKey;  // "" until a driver was installed
  bool removeSent = true;        // nothing to tear down until drivers are added or a start is sent
  bool removeWhenClosed = false; // surprise-removed: remove once no handle is open in the subtree
  bool present = true;           // still reported by its parent
};

struct DriverRegistration {
  std::string id;
  std::string service;
  PDRIVER_INITIALIZE entry = nullptr;
};

struct Manager {
  host::Mutex mutex;  // the tree, drivers, defaults, the log
  std::vector<std::unique_ptr<DevNode>> nodes;
  // The same nodes by PDO and by serial: an enumeration of a hub with many
  // children finds each without a walk over the tree.
  std::unordered_map<PDEVICE_OBJECT, DevNode *> byPdo;
  std::unordered_map<uint64_t, DevNode *> bySerial;
  DevNode *root = nullptr;
  uint64_t nextSerial = 1;
  std::vector<DriverRegistration> drivers;
  std::map<std::string, PDRIVER_OBJECT> loaded;
  std::map<std::string, std::vector<std::pair<std::string, uint32_t>>> defaults;
  std::map<std::string, unsigned> driverKeysMade;
  std::set<uint64_t> pendingEnumerations;
  std::vector<PnpRequestRecord> log;
  std::vector<PDEVICE_OBJECT> busInvalidations;  // IoInvalidateDeviceRelations(BusRelations) calls, in order
  internal::WorkQueue worker;

  Manager() { MakeRoot(); }

  void MakeRoot() {
    auto node = std::make_unique<DevNode>();
    node->serial = nextSerial++;
    node->deviceId = "HTREE\\ROOT";
    node->instanceId = "0";
    node->instancePath = kRootInstancePath;
    node->state = DeviceState::Started;
    node->powerState = PowerDeviceD0;
    root = node.get();
    bySerial.emplace(node->serial, root);
    nodes.push_back(std::move(node));
  }
};

Manager &M() {
  static Manager manager;
  return manager;
}

// ------------------------------------------------------------------ tree lookups (caller holds the lock or is the worker)

DevNode *NodeByPath(const std::string &path) {
  for (auto &node : M().nodes) {
    if (ids::EqualIds(node->instancePath, path)) return node.get();
  }
  return nullptr;
}

DevNode *NodeByPdo(PDEVICE_OBJECT pdo) {
  auto found = M().byPdo.find(pdo);
  return pdo != nullptr && found != M().byPdo.end() ? found->second : nullptr;
}

DevNode *NodeBySerial(uint64_t serial) {
  auto found = M().bySerial.find(serial);
  return found != M().bySerial.end() ? found->second : nullptr;
}

void PreOrder(DevNode *node, std::vector<DevNode *> &out) {
  out.push_back(node);
  for (DevNode *child : node->children) PreOrder(child, out);
}

// Children before their parents: the order of removal.
std::vector<DevNode *> PostOrder(DevNode *node) {
  std::vector<DevNode *> order;
  PreOrder(node, order);
  std::reverse(order.begin(), order.end());
  return order;
}

bool HasDriversAttached(DeviceState state) {
  switch (state) {
    case DeviceState::DriversAdded:
    case DeviceState::Started:
    case DeviceState::StopPending:
    case DeviceState::Stopped:
    case DeviceState::RemovePending:
      return true;
    default:
      return false;
  }
}

PDEVICE_OBJECT TopOf(const DevNode *node) {
  return node->pdo != nullptr ? detail::AttachedDeviceTop(node->pdo) : nullptr;
}

DeviceNodeInfo Describe(const DevNode *node) {
  DeviceNodeInfo info;
  info.instancePath = node->instancePath;
  info.deviceId = node->deviceId;
  info.instanceId = node->instanceId;
  info.hardwareIds = node->hardwareIds;
  info.compatibleIds = node->compatibleIds;
  info.service = node->service;
  info.state = node->state;
  info.problem = node->problem;
  info.problemStatus = node->problemStatus;
  info.capabilities = node->capabilities;
  info.powerState = node->powerState;
  info.pdo = node->pdo;
  info.top = TopOf(node);
  info.parent = node->parent != nullptr ? node->parent->instancePath : "";
  for (const DevNode *child : node->children) info.children.push_back(child->instancePath);
  info.depth = node->depth;
  return info;
}

// ------------------------------------------------------------------ changes (worker only)

void SetState(DevNode *node, DeviceState state, uint32_t problemCode = problem::kNone, NTSTATUS status = 0) {
  std::lock_guard lock(M().mutex);
  node->state = state;
  node->problem = problemCode;
  node->problemStatus = status;
}

DevNode *AddChildNode(DevNode *parent, PDEVICE_OBJECT pdo) {
  auto node = std::make_unique<DevNode>();
  DevNode *raw = node.get();
  std::lock_guard lock(M().mutex);
  node->serial = M().nextSerial++;
  node->parent = parent;
  node->pdo = pdo;
  node->depth = parent->depth + 1;
  parent->children.push_back(raw);
  M().byPdo.emplace(pdo, raw);
  M().bySerial.emplace(raw->serial, raw);
  M().nodes.push_back(std::move(node));
  return raw;
}

// Forgets a node that has been removed (its children are gone already) and
// drops the reference the node held on its PDO.
void DeleteNode(DevNode *node) {
  PDEVICE_OBJECT pdo = nullptr;
  {
    std::lock_guard lock(M().mutex);
    if (node->parent != nullptr) std::erase(node->parent->children, node);
    for (DevNode *child : node->children) child->parent = nullptr;
    M().pendingEnumerations.erase(node->serial);
    pdo = node->pdo;
    M().byPdo.erase(pdo);
    M().bySerial.erase(node->serial);
    std::erase_if(M().nodes, [&](const auto &owned) { return owned.get() == node; });
  }
  if (pdo != nullptr) ObDereferenceObject(pdo);
}

void QueueEnumeration(uint64_t serial);

// ------------------------------------------------------------------ requests

// Whether a request leaves the stack closed to new handles (true), open again
// (false), or as it was.
std::optional<bool> RemovePendingAfter(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      return true;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_START_DEVICE:
      return false;
    default:
      return std::nullopt;
  }
}

internal::IrpOutcome SendPnp(DevNode *node, UCHAR minor, const IO_STACK_LOCATION &parameters = {}, ULONG detail = 0) {
  internal::IrpOutcome outcome;
  const std::optional<bool> removePending = RemovePendingAfter(minor);
  // Closed before a removal request goes out, so that no open slips in while
  // the drivers tear down; opened again only once a cancel has gone through.
  if (removePending == true && node->pdo != nullptr) ::host::detail::SetStackRemovePending(node->pdo, true);
  const bool teardown = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
  std::vector<PDEVICE_OBJECT> stack;
  if (teardown && node->pdo != nullptr) stack = ::host::detail::ReferenceDevicesAbove(node->pdo);
  if (PDEVICE_OBJECT top = TopOf(node)) {
    outcome = internal::SendIrp(top, IRP_MJ_PNP, minor, parameters, internal::kRequestWatchdog);
  }
  // A remove answered with a failure (a driver keeping its device for an open
  // handle) tears down only what it reached.
  ::host::detail::VerifyDevicesAfter(outcome.abandoned || !NT_SUCCESS(outcome.status) ? 0 : minor, stack);
  if (removePending == false && node->pdo != nullptr) ::host::detail::SetStackRemovePending(node->pdo, false);
  std::lock_guard lock(M().mutex);
  M().log.push_back({node->instancePath, node->pdo, minor, detail, outcome.status});
  return outcome;
}

void SendRemove(DevNode *node) {
  SendPnp(node, IRP_MN_REMOVE_DEVICE);
  node->removeSent = true;
}

// The buffer a bus returned in Information for an ID query, with the room its
// pool block gives (0 when it is not pool memory); read no further than that.
struct IdReply {
  bool answered = false;  // success with a buffer
  const WCHAR *buffer = nullptr;
  size_t roomChars = 0;
};

IdReply QueryId(DevNode *node, BUS_QUERY_ID_TYPE type) {
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.QueryId.IdType = type;
  auto outcome = SendPnp(node, IRP_MN_QUERY_ID, parameters, type);
  IdReply reply;
  if (!NT_SUCCESS(outcome.status) || outcome.information == 0) return reply;
  reply.answered = true;
  reply.buffer = reinterpret_cast<const WCHAR *>(outcome.information);
  reply.roomChars = internal::PoolRoom(reply.buffer) / sizeof(WCHAR);
  return reply;
}

void FreeIdBuffer(const IdReply &reply) {
  // A buffer that is not pool memory is the driver's error; it is left alone
  // rather than handed to ExFreePool.
  if (reply.buffer != nullptr && reply.roomChars > 0) ExFreePool(const_cast<WCHAR *>(reply.buffer));
}

std::optional<std::string> SingleId(DevNode *node, BUS_QUERY_ID_TYPE type, ids::Kind kind, bool &answered) {
  IdReply reply = QueryId(node, type);
  answered = reply.answered;
  std::optional<std::string> id;
  const size_t limit = std::min(reply.roomChars, ids::kMaxDeviceIdLen);
  for (size_t i = 0; reply.buffer != nullptr && i < limit; ++i) {
    if (reply.buffer[i] == 0) {
      id = ids::Normalise(std::u16string(reply.buffer, reply.buffer + i), kind);
      break;
    }
  }
  FreeIdBuffer(reply);
  return id;
}

std::optional<std::vector<std::string>> IdList(DevNode *node, BUS_QUERY_ID_TYPE type) {
  IdReply reply = QueryId(node, type);
  if (!reply.answered) return std::vector<std::string>{};  // no list is an empty list
  auto list = reply.roomChars > 0 ? ids::ParseMultiSz(reply.buffer, reply.roomChars) : std::nullopt;
  FreeIdBuffer(reply);
  return list;
}

DEVICE_CAPABILITIES QueryCapabilities(DevNode *node) {
  // Initialised as the platform does before any driver sees the record.
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
  SendPnp(node, IRP_MN_QUERY_CAPABILITIES, parameters);
  return capabilities;
}

// ------------------------------------------------------------------ registry keys

std::string InstanceKey(const DevNode *node) { return kEnumKey + node->instancePath; }
std::string DeviceKey(const DevNode *node) { return InstanceKey(node) + "\\Device Parameters"; }

void WriteMultiSz(const std::string &key, const std::string &name, const std::vector<std::string> &values) {
  std::u16string text;
  for (const auto &value : values) text += registry::ToUtf16(value) + u'\0';
  text += u'\0';
  std::vector<uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  registry::SetValue(key, name, REG_MULTI_SZ, std::move(data));
}

void WriteInstanceKey(const DevNode *node) {
  const std::string key = InstanceKey(node);
  registry::CreateKey(DeviceKey(node));
  WriteMultiSz(key, "HardwareID", node->hardwareIds);
  WriteMultiSz(key, "CompatibleIDs", node->compatibleIds);
}

// The node's driver key; a new one gets the service's default values.
void EnsureDriverKey(DevNode *node, const std::string &service) {
  if (!node->driverKey.empty() && node->service == service) return;
  std::vector<std::pair<std::string, uint32_t>> defaults;
  std::string key;
  {
    std::lock_guard lock(M().mutex);
    char index[16];
    std::snprintf(index, sizeof index, "%04u", M().driverKeysMade[service]++);
    key = kClassKey + service + "\\" + index;
    node->driverKey = key;
    node->service = service;
    defaults = M().defaults[service];
  }
  registry::CreateKey(key);
  for (const auto &[name, value] : defaults) registry::SetDword(key, name, value);
  registry::SetString(InstanceKey(node), "Service", service);
  registry::SetString(InstanceKey(node), "Driver", key.substr(std::string(kClassKey).size()));
}

// ------------------------------------------------------------------ drivers

std::optional<DriverRegistration> MatchDriver(const DevNode *node) {
  std::lock_guard lock(M().mutex);
  for (const auto *list : {&node->hardwareIds, &node->compatibleIds}) {
    for (const auto &id : *list) {
      for (const auto &driver : M().drivers) {
        if (ids::EqualIds(driver.id, id)) return driver;
      }
    }
  }
  return std::nullopt;
}

PDRIVER_OBJECT LoadDriver(const DriverRegistration &driver) {
  {
    std::lock_guard lock(M().mutex);
    if (auto it = M().loaded.find(driver.service); it != M().loaded.end()) return it->second;
  }
  PDRIVER_OBJECT object = host::CreateDriverObject(registry::ToUtf16("\\Driver\\" + driver.service), driver.entry);
  if (object != nullptr) {
    std::lock_guard lock(M().mutex);
    M().loaded[driver.service] = object;
  }
  return object;
}

// ------------------------------------------------------------------ relation answers

// The objects of a relation list a driver returned, read no further than its
// pool block reaches; the list itself is freed.
std::vector<PDEVICE_OBJECT> TakeRelationList(ULONG_PTR information) {
  std::vector<PDEVICE_OBJECT> objects;
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  const size_t room = relations != nullptr ? internal::PoolRoom(relations) : 0;
  if (room == 0) return objects;  // none, or not pool memory: the driver's error, left alone
  const size_t capacity =
      room > offsetof(DEVICE_RELATIONS, Objects) ? (room - offsetof(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT) : 0;
  const size_t count = capacity > 0 ? std::min<size_t>(relations->Count, capacity) : 0;
  objects.assign(relations->Objects, relations->Objects + count);
  ExFreePool(relations);
  return objects;
}

// The stack's target device, which its bus driver answers with the PDO. The
// platform asks when a handle registers for device-change notification, and
// its verifier asks each stack that has just started.
NTSTATUS QueryTargetOf(DevNode *node, PDEVICE_OBJECT *target) {
  const uint64_t referencesBefore = ::host::detail::ReferenceCalls(node->pdo);
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  auto outcome = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, parameters, TargetDeviceRelation);
  const std::vector<PDEVICE_OBJECT> listed =
      NT_SUCCESS(outcome.status) ? TakeRelationList(outcome.information) : std::vector<PDEVICE_OBJECT>{};
  const bool referenced = ::host::detail::ReferenceCalls(node->pdo) > referencesBefore;
  if (!::host::detail::VerifyTargetRelation(node->pdo, outcome.status, listed, referenced))
    return NT_SUCCESS(outcome.status) ? STATUS_UNSUCCESSFUL : outcome.status;
  // The host keeps no registration: the reference that came with the PDO
  // goes at once.
  if (referenced) ObDereferenceObject(node->pdo);
  *target = node->pdo;
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------------ start

void Fail(DevNode *node, uint32_t problemCode, NTSTATUS status) { SetState(node, DeviceState::Failed, problemCode, status); }

NTSTATUS StartNode(DevNode *node) {
  const bool raw = node->service.empty();
  node->removeSent = false;
  auto outcome = SendPnp(node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(outcome.status)) {
    // A failed start is followed by a remove, which tears the stack down.
    SendRemove(node);
    Fail(node, raw ? problem::kFailedInstall : problem::kFailedStart, outcome.status);
    return outcome.status;
  }
  SetState(node, DeviceState::Started);
  {
    std::lock_guard lock(M().mutex);
    node->powerState = PowerDeviceD0;
  }
  // The verifier's test of a stack that has just started: its bus driver
  // must answer for the child.
  PDEVICE_OBJECT target = nullptr;
  QueryTargetOf(node, &target);
  // Every newly started device is asked for its children.
  QueueEnumeration(node->serial);
  return STATUS_SUCCESS;
}

// Loads the function driver, calls AddDevice and starts; with no driver the
// PDO is started raw.
NTSTATUS InstallAndStart(DevNode *node) {
  auto driver = MatchDriver(node);
  if (!driver) {
    std::lock_guard lock(M().mutex);
    node->service.clear();
  } else {
    PDRIVER_OBJECT object = LoadDriver(*driver);
    if (object == nullptr) {
      Fail(node, problem::kFailedDriverEntry, STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
    EnsureDriverKey(node, driver->service);
    PDRIVER_ADD_DEVICE addDevice = object->DriverExtension != nullptr ? object->DriverExtension->AddDevice : nullptr;
    NTSTATUS status = addDevice != nullptr ? addDevice(object, node->pdo) : STATUS_NOT_IMPLEMENTED;
    if (!NT_SUCCESS(status)) {
      Fail(node, problem::kFailedAdd, status);
      return status;
    }
    ::host::detail::VerifyAddDevice(node->pdo);
    node->removeSent = false;
    SetState(node, DeviceState::DriversAdded);
  }
  return StartNode(node);
}

// ------------------------------------------------------------------ new children

std::string InstancePathFor(DevNode *node) {
  const bool unique = node->capabilities.UniqueID != 0;
  std::string instance = node->instanceId;
  if (!unique) {
    DevNode *parent = node->parent;
    if (parent->childPrefix.empty()) {
      const std::string prefix = ids::ParentIdPrefix(parent->instancePath, parent->depth);
      {
        std::lock_guard lock(M().mutex);
        parent->childPrefix = prefix;
      }
      if (parent->pdo != nullptr) registry::SetString(InstanceKey(parent), "ParentIdPrefix", prefix);
    }
    instance = parent->childPrefix + "&" + instance;
  }
  return node->deviceId + "\\" + instance;
}

// Reads the identifiers and capabilities of a new node and names it. False
// when its identifiers are unusable (the node is then failed and visible).
bool Identify(DevNode *node, size_t position) {
  bool answered = false;
  auto deviceId = SingleId(node, BusQueryDeviceID, ids::Kind::DeviceId, answered);
  auto hardwareIds = IdList(node, BusQueryHardwareIDs);
  auto compatibleIds = IdList(node, BusQueryCompatibleIDs);
  bool instanceAnswered = false;
  auto instanceId = SingleId(node, BusQueryInstanceID, ids::Kind::InstanceId, instanceAnswered);
  if (!instanceAnswered) {
    // No instance ID from the bus: its place among the parent's children.
    char text[16];
    std::snprintf(text, sizeof text, "%zx", position);
    instanceId = text;
  }
  DEVICE_CAPABILITIES capabilities = QueryCapabilities(node);

  const bool valid = deviceId && instanceId && hardwareIds && compatibleIds;
  {
    std::lock_guard lock(M().mutex);
    node->capabilities = capabilities;
    node->deviceId = deviceId.value_or("UNKNOWN\\INVALID_ID");
    node->instanceId = instanceId.value_or(std::to_string(node->serial));
    node->hardwareIds = hardwareIds.value_or(std::vector<std::string>{});
    node->compatibleIds = compatibleIds.value_or(std::vector<std::string>{});
    // A node without usable identifiers still gets a unique, visible name.
    node->instancePath = valid ? "" : "UNKNOWN\\INVALID_ID\\" + std::to_string(node->serial);
  }
  if (!valid) {
    Fail(node, problem::kInvalidData, STATUS_UNSUCCESSFUL);
    return false;
  }
  std::string path = InstancePathFor(node);
  if (path.size() >= ids::kMaxDeviceIdLen) {
    std::lock_guard lock(M().mutex);
    node->instancePath = "UNKNOWN\\INVALID_ID\\" + std::to_string(node->serial);
    node->state = DeviceState::Failed;
    node->problem = problem::kInvalidData;
    return false;
  }
  bool duplicate = false;
  {
    std::lock_guard lock(M().mutex);
    duplicate = NodeByPath(path) != nullptr;
    node->instancePath = duplicate ? path + "#" + std::to_string(node->serial) : path;
  }
  if (duplicate) {
    Fail(node, problem::kDuplicateDevice, STATUS_OBJECT_NAME_COLLISION);
    return false;
  }
  WriteInstanceKey(node);
  return true;
}

void ProcessNewChild(DevNode *node) {
  // The PDO comes as its bus driver's finished object.
  ::host::detail::VerifyReportedChild(node->pdo);
  const auto &siblings = node->parent->children;
  const size_t position = static_cast<size_t>(std::find(siblings.begin(), siblings.end(), node) - siblings.begin());
  if (Identify(node, position)) InstallAndStart(node);
}

// ------------------------------------------------------------------ removal

bool HandlesOpen(DevNode *subtree) {
  std::vector<DevNode *> nodes;
  PreOrder(subtree, nodes);
  for (DevNode *node : nodes) {
    for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
      if (__atomic_load_n(&device->ReferenceCount, __ATOMIC_ACQUIRE) > 0) return true;
    }
  }
  return false;
}

// Removes every node below `node` and forgets them; `node` itself gets its
// remove too and is forgotten when its bus no longer reports it.
void RemoveSubtree(DevNode *node, DeviceState finalState, uint32_t problemCode) {
  for (DevNode *member : PostOrder(node)) {
    // A device its bus no longer reports gets a remove even when its stack
    // had one before (a failed start, an orderly remove): that one left the
    // bus's device object in place, this one lets the bus delete it.
    const bool gone = member == node && !node->present;
    if (!member->removeSent || gone) SendRemove(member);
    if (member != node) DeleteNode(member);
  }
  {
    std::lock_guard lock(M().mutex);
    node->removeWhenClosed = false;
    node->powerState = PowerDeviceUnspecified;
  }
  if (!node->present) {
    DeleteNode(node);
    return;
  }
  SetState(node, finalState, problemCode);
}

void TryFinishSurpriseRemoval(DevNode *node) {
  if (!node->removeWhenClosed || HandlesOpen(node)) return;
  RemoveSubtree(node, DeviceState::Removed, problem::kNone);
}

// Windows 98 and Me (WDM before 1.10) know no surprise removal: a device
// gone from its bus is removed at once, with its handles still open.
bool SurpriseRemovalKnown() { return IoIsWdmVersionAvailable(1, 0x10) != FALSE; }

// The bus no longer reports `node`: surprise removal for every started
// device of the subtree (children first), then remove once no handle is open.
void Disappeared(DevNode *node) {
  {
    std::lock_guard lock(M().mutex);
    node->present = false;
  }
  if (!SurpriseRemovalKnown()) {
    RemoveSubtree(node, DeviceState::Removed, problem::kNone);
    return;
  }
  for (DevNode *member : PostOrder(node)) {
    if (HasDriversAttached(member->state)) SendPnp(member, IRP_MN_SURPRISE_REMOVAL);
    std::lock_guard lock(M().mutex);
    member->state = DeviceState::SurpriseRemoved;
    member->problem = problem::kDeviceNotThere;
    member->powerState = PowerDeviceUnspecified;
  }
  {
    std::lock_guard lock(M().mutex);
    node->removeWhenClosed = true;
  }
  TryFinishSurpriseRemoval(node);
}

// Cancel-remove to each device queried, the last queried first; each is
// as it was before the query.
void CancelRemove(const std::vector<std::pair<DevNode *, DeviceState>> &queried) {
  for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
    SendPnp(it->first, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetState(it->first, it->second);
  }
}

// Query-remove to every device of the subtree with drivers, children first.
// A refusal, or a handle still open once every driver has agreed (the
// platform's veto for an outstanding open), cancels the query on each
// device that received it, and nothing is removed.
NTSTATUS QueryRemoveSubtree(DevNode *node) {
  std::vector<std::pair<DevNode *, DeviceState>> queried;
  for (DevNode *member : PostOrder(node)) {
    if (!HasDriversAttached(member->state)) continue;
    queried.emplace_back(member, member->state);
    auto outcome = SendPnp(member, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(outcome.status)) {
      CancelRemove(queried);
      return outcome.status;
    }
  }
  for (const auto &[member, before] : queried) SetState(member, DeviceState::RemovePending);
  if (HandlesOpen(node)) {
    CancelRemove(queried);
    return STATUS_PLUGPLAY_QUERY_VETOED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS OrderlyRemove(DevNode *node, DeviceState finalState, uint32_t problemCode) {
  if (node->state == DeviceState::SurpriseRemoved) return STATUS_DELETE_PENDING;
  NTSTATUS status = QueryRemoveSubtree(node);
  if (status != STATUS_SUCCESS) return status;
  RemoveSubtree(node, finalState, problemCode);
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------------ enumeration

void Enumerate(DevNode *node) {
  if (node->state != DeviceState::Started) return;
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.QueryDeviceRelations.Type = BusRelations;
  auto outcome = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, parameters, BusRelations);
  if (!NT_SUCCESS(outcome.status)) return;  // the children stay as they were

  // Every object in the list came with a reference for the manager: a new
  // PDO's becomes its node's, the others are dropped here.
  const std::vector<PDEVICE_OBJECT> reported = TakeRelationList(outcome.information);

  std::unordered_set<DevNode *> seen;
  std::vector<DevNode *> fresh;
  for (PDEVICE_OBJECT pdo : reported) {
    if (pdo == nullptr) continue;
    DevNode *known = NodeByPdo(pdo);
    if (known != nullptr) {
      if (known->parent == node) seen.insert(known);
      ObDereferenceObject(pdo);
      continue;
    }
    DevNode *child = AddChildNode(node, pdo);
    seen.insert(child);
    fresh.push_back(child);
  }

  std::vector<DevNode *> gone;
  std::vector<DevNode *> restart;
  for (DevNode *child : node->children) {
    const bool reportedNow = seen.contains(child);
    if (!reportedNow && child->present) gone.push_back(child);
    if (reportedNow && child->state == DeviceState::Removed) restart.push_back(child);
  }
  for (DevNode *child : gone) Disappeared(child);
  for (DevNode *child : restart) InstallAndStart(child);
  for (DevNode *child : fresh) ProcessNewChild(child);
}

void QueueEnumeration(uint64_t serial) {
  {
    std::lock_guard lock(M().mutex);
    if (!M().pendingEnumerations.insert(serial).second) return;  // one queued enumeration is enough
  }
  M().worker.Post([serial] {
    DevNode *target = nullptr;
    {
      std::lock_guard lock(M().mutex);
      M().pendingEnumerations.erase(serial);
      target = NodeBySerial(serial);
    }
    if (target != nullptr) Enumerate(target);
  });
}

// ------------------------------------------------------------------ operations

template <typename Operation>
NTSTATUS OnNode(const std::string &instancePath, Operation operation) {
  return internal::RunOnWorker([&]() -> NTSTATUS {
    DevNode *node = nullptr;
    {
      std::lock_guard lock(M().mutex);
      node = NodeByPath(instancePath);
    }
    if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
    if (node == M().root) return STATUS_INVALID_DEVICE_REQUEST;
    return operation(node);
  });
}

NTSTATUS Stop(DevNode *node) {
  if (node->state != DeviceState::Started) return STATUS_INVALID_DEVICE_REQUEST;
  auto query = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return query.status;
  }
  SetState(node, DeviceState::StopPending);
  auto stop = SendPnp(node, IRP_MN_STOP_DEVICE);
  SetState(node, DeviceState::Stopped);
  std::lock_guard lock(M().mutex);
  node->powerState = PowerDeviceUnspecified;
  return stop.status;
}

NTSTATUS Start(DevNode *node) {
  if (node->state != DeviceState::Stopped) return STATUS_INVALID_DEVICE_REQUEST;
  return StartNode(node);
}

}  // namespace

// ------------------------------------------------------------------ internal services for the power manager

namespace internal {

NTSTATUS RunOnWorker(const std::function<NTSTATUS()> &work) {
  if (M().worker.OnThread()) return work();
  // Shared with the posted work; whoever lets go of it last (the worker after
  // running it, or a reset that drops it unrun) wakes the caller.
  struct Outcome {
    Mutex mutex;
    sched::CondVar done;
    std::optional<NTSTATUS> status;
    bool dropped = false;
  };
  struct Completion {
    explicit Completion(std::shared_ptr<Outcome> o) : outcome(std::move(o)) {}
    Completion(const Completion &) = delete;
    std::shared_ptr<Outcome> outcome;
    ~Completion() {
      {
        std::lock_guard lock(outcome->mutex);
        outcome->dropped = true;
      }
      outcome->done.NotifyAll();
    }
  };
  auto outcome = std::make_shared<Outcome>();
  auto completion = std::make_shared<Completion>(outcome);
  M().worker.Post([completion, &work] {
    const NTSTATUS status = work();
    std::lock_guard lock(completion->outcome->mutex);
    completion->outcome->status = status;
  });
  completion.reset();
  sched::Lock lock(outcome->mutex);
  outcome->done.Wait(lock, "work queued for the Plug and Play worker", [&] { return outcome->dropped; });
  return outcome->status.value_or(STATUS_CANCELLED);  // none: the manager was reset before the work ran
}

std::vector<PowerTarget> StartedNodes() {
  std::lock_guard lock(M().mutex);
  std::vector<DevNode *> order;
  PreOrder(M().root, order);
  std::vector<PowerTarget> targets;
  for (DevNode *node : order) {
    if (node->pdo != nullptr && node->state == DeviceState::Started) {
      targets.push_back({node->instancePath, TopOf(node), node->capabilities});
    }
  }
  return targets;
}

void NotePowerState(const std::string &instancePath, DEVICE_POWER_STATE state) {
  std::lock_guard lock(M().mutex);
  if (DevNode *node = NodeByPath(instancePath)) node->powerState = state;
}

}  // namespace internal

// ------------------------------------------------------------------ public API

const char *DeviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::Initialized: return "Initialized";
    case DeviceState::DriversAdded: return "DriversAdded";
    case DeviceState::Started: return "Started";
    case DeviceState::StopPending: return "StopPending";
    case DeviceState::Stopped: return "Stopped";
    case DeviceState::RemovePending: return "RemovePending";
    case DeviceState::SurpriseRemoved: return "SurpriseRemoved";
    case DeviceState::Removed: return "Removed";
    case DeviceState::Disabled: return "Disabled";
    case DeviceState::Failed: return "Failed";
  }
  return "?";
}

std::vector<DeviceNodeInfo> Snapshot() {
  std::lock_guard lock(M().mutex);
  std::vector<DevNode *> order;
  PreOrder(M().root, order);
  std::vector<DeviceNodeInfo> infos;
  for (DevNode *node : order) infos.push_back(Describe(node));
  return infos;
}

std::optional<DeviceNodeInfo> FindDevice(const std::string &instancePath) {
  std::lock_guard lock(M().mutex);
  if (DevNode *node = NodeByPath(instancePath)) return Describe(node);
  return std::nullopt;
}

std::optional<DeviceNodeInfo> FindDeviceByPdo(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(M().mutex);
  if (DevNode *node = NodeByPdo(pdo)) return Describe(node);
  return std::nullopt;
}

std::string DeviceKeyPath(const std::string &instancePath) {
  std::lock_guard lock(M().mutex);
  DevNode *node = NodeByPath(instancePath);
  return node != nullptr && node->pdo != nullptr ? DeviceKey(node) : "";
}

std::string DriverKeyPath(const std::string &instancePath) {
  std::lock_guard lock(M().mutex);
  DevNode *node = NodeByPath(instancePath);
  return node != nullptr ? node->driverKey : "";
}

void RegisterDriver(const std::string &id, const std::string &service, PDRIVER_INITIALIZE entry) {
  std::lock_guard lock(M().mutex);
  M().drivers.push_back({id, service, entry});
}

void SetDriverDefault(const std::string &service, const std::string &valueName, uint32_t value) {
  std::lock_guard lock(M().mutex);
  auto &values = M().defaults[service];
  for (auto &[name, existing] : values) {
    if (ids::EqualIds(name, valueName)) {
      existing = value;
      return;
    }
  }
  values.emplace_back(valueName, value);
}

void ClearDriverDefaults(const std::string &service) {
  std::lock_guard lock(M().mutex);
  M().defaults.erase(service);
}

PDRIVER_OBJECT LoadedDriver(const std::string &service) {
  std::lock_guard lock(M().mutex);
  auto it = M().loaded.find(service);
  return it != M().loaded.end() ? it->second : nullptr;
}

std::string RegisterBus(PDEVICE_OBJECT busDevice) {
  std::string path;
  internal::RunOnWorker([&]() -> NTSTATUS {
    DevNode *node = nullptr;
    {
      std::lock_guard lock(M().mutex);
      node = NodeByPdo(busDevice);
    }
    if (node == nullptr) {
      ObReferenceObject(busDevice);
      node = AddChildNode(M().root, busDevice);
      if (!Identify(node, M().root->children.size() - 1)) {
        path = node->instancePath;
        return STATUS_UNSUCCESSFUL;
      }
      // Started by its own bus driver already.
      node->removeSent = false;
      SetState(node, DeviceState::Started);
      std::lock_guard lock(M().mutex);
      node->powerState = PowerDeviceD0;
    }
    path = node->instancePath;
    QueueEnumeration(node->serial);
    return STATUS_SUCCESS;
  });
  return path;
}

NTSTATUS QueryTargetDevice(PFILE_OBJECT file, PDEVICE_OBJECT *pdo) {
  if (pdo == nullptr || file == nullptr || file->DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  *pdo = nullptr;
  return internal::RunOnWorker([&]() -> NTSTATUS {
    DevNode *node = nullptr;
    {
      std::lock_guard lock(M().mutex);
      node = NodeByPdo(::host::detail::AttachmentBase(file->DeviceObject));
    }
    if (node == nullptr || node == M().root) return STATUS_NO_SUCH_DEVICE;
    return QueryTargetOf(node, pdo);
  });
}

NTSTATUS StopDevice(const std::string &instancePath) { return OnNode(instancePath, Stop); }
NTSTATUS StartDevice(const std::string &instancePath) { return OnNode(instancePath, Start); }

NTSTATUS RestartDevice(const std::string &instancePath) {
  return OnNode(instancePath, [](DevNode *node) {
    NTSTATUS status = Stop(node);
    return node->state == DeviceState::Stopped ? Start(node) : status;
  });
}

NTSTATUS RemoveDevice(const std::string &instancePath) {
  return OnNode(instancePath, [](DevNode *node) { return OrderlyRemove(node, DeviceState::Removed, problem::kNone); });
}

NTSTATUS DisableDevice(const std::string &instancePath) {
  return OnNode(instancePath, [](DevNode *node) {
    if (node->state == DeviceState::Disabled) return STATUS_SUCCESS;
    return OrderlyRemove(node, DeviceState::Disabled, problem::kDisabled);
  });
}

NTSTATUS EnableDevice(const std::string &instancePath) {
  return OnNode(instancePath, [](DevNode *node) -> NTSTATUS {
    const bool retryable = node->state == DeviceState::Disabled || node->state == DeviceState::Removed ||
                           (node->state == DeviceState::Failed && node->problem != problem::kInvalidData &&
                            node->problem != problem::kDuplicateDevice);
    if (!retryable) return node->state == DeviceState::Started ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    if (node->state == DeviceState::Failed && !node->removeSent) SendRemove(node);
    SetState(node, DeviceState::Initialized);
    return InstallAndStart(node);
  });
}

void Reenumerate(const std::string &instancePath) {
  uint64_t serial = 0;
  {
    std::lock_guard lock(M().mutex);
    DevNode *node = NodeByPath(instancePath);
    if (node == nullptr) return;
    serial = node->serial;
  }
  QueueEnumeration(serial);
}

void WaitIdle() {
  // Power dispatches may queue PnP work and the other way round: settle both.
  for (;;) {
    M().worker.WaitIdle();
    internal::PowerWaitIdle();
    if (M().worker.OnThread() || M().worker.Idle()) return;
  }
}

std::vector<PnpRequestRecord> PnpRequestLog() {
  std::lock_guard lock(M().mutex);
  return M().log;
}

void ClearPnpRequestLog() {
  std::lock_guard lock(M().mutex);
  M().log.clear();
  M().busInvalidations.clear();
}

size_t BusInvalidations(PDEVICE_OBJECT deviceObject) {
  std::lock_guard lock(M().mutex);
  return size_t(std::count(M().busInvalidations.begin(), M().busInvalidations.end(), deviceObject));
}

}  // namespace host::pnp

// ------------------------------------------------------------------ hooks of the other kernel services

namespace host::detail {

using namespace host::pnp;

void PnpReset() {
  M().worker.Stop();
  internal::PowerReset();
  std::vector<PDEVICE_OBJECT> references;
  std::vector<PDRIVER_OBJECT> drivers;
  {
    std::lock_guard lock(M().mutex);
    for (auto &node : M().nodes) {
      if (node->pdo != nullptr) references.push_back(node->pdo);
    }
    for (auto &[service, object] : M().loaded) drivers.push_back(object);
    M().nodes.clear();
    M().byPdo.clear();
    M().bySerial.clear();
    M().drivers.clear();
    M().loaded.clear();
    M().defaults.clear();
    M().driverKeysMade.clear();
    M().pendingEnumerations.clear();
    M().log.clear();
    M().busInvalidations.clear();
    M().nextSerial = 1;
    M().MakeRoot();
  }
  for (PDEVICE_OBJECT pdo : references) ObDereferenceObject(pdo);
  for (PDRIVER_OBJECT driver : drivers) host::DeleteDriverObject(driver);
}

void PnpOnLastHandleClosed(PDEVICE_OBJECT) {
  // Any surprise-removed subtree may be waiting for this close.
  M().worker.Post([] {
    std::vector<uint64_t> waiting;
    {
      std::lock_guard lock(M().mutex);
      for (auto &node : M().nodes) {
        if (node->removeWhenClosed) waiting.push_back(node->serial);
      }
    }
    for (uint64_t serial : waiting) {
      DevNode *node = nullptr;
      {
        std::lock_guard lock(M().mutex);
        node = NodeBySerial(serial);
      }
      if (node != nullptr) TryFinishSurpriseRemoval(node);
    }
  });
}

}  // namespace host::detail

// ------------------------------------------------------------------ the kernel API

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  const host::sched::AfterEffect afterEffect("IoOpenDeviceRegistryKey");
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::IoOpenDeviceRegistryKey, DeviceObject)) return STATUS_INVALID_DEVICE_STATE;
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  std::string path;
  {
    std::lock_guard lock(M().mutex);
    DevNode *node = NodeByPdo(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO the manager knows
    switch (DevInstKeyType) {
      case PLUGPLAY_REGKEY_DEVICE:
        path = DeviceKey(node);
        break;
      case PLUGPLAY_REGKEY_DRIVER:
        if (node->driverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = node->driverKey;
        break;
      default:
        return STATUS_INVALID_PARAMETER;
    }
  }
  HANDLE handle = host::registry::OpenKeyHandle(path, DesiredAccess);
  if (handle == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *DevInstRegKey = handle;
  return STATUS_SUCCESS;
}

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  const host::sched::AfterEffect afterEffect("IoInvalidateDeviceRelations");
  using namespace host::pnp;
  if (!host::irql::Allows(host::irql::Routine::IoInvalidateDeviceRelations, DeviceObject)) return;
  if (Type != BusRelations) return;  // no other relation is cached by this manager
  uint64_t serial = 0;
  {
    std::lock_guard lock(M().mutex);
    M().busInvalidations.push_back(DeviceObject);
    // A device object the manager does not know (a stack tested on its own)
    // has nothing to enumerate.
    DevNode *node = NodeByPdo(DeviceObject);
    if (node == nullptr) return;
    serial = node->serial;
  }
  // Queued: the caller is often a driver inside a request the worker sent.
  QueueEnumeration(serial);
}

}  // extern "C"
