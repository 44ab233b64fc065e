// The Plug and Play and power managers: the device tree, driver loading,
// enumeration of buses, the device life cycle (start, stop, remove, surprise
// removal, disable) and power transitions.
//
// Every request the managers send goes from the PnP manager's one worker
// thread, one at a time, as the platform's enumeration does. The operations
// below queue their work on that thread and wait for its outcome; the tree
// can be read at any time through the snapshot calls.
//
// host/pnp, the top of the kernel's three rooms, owns the device tree and the
// PnP and power managers. It may call host/kernel and host/io; nothing there
// includes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/api/hostwdm.h"

namespace host::pnp {

// ------------------------------------------------------------------ device nodes
enum class DeviceState {
  Initialized,      // reported by its bus, identifiers read, no driver yet
  DriversAdded,     // the function driver's AddDevice succeeded
  Started,
  StopPending,      // query-stop succeeded, stop not yet sent
  Stopped,
  RemovePending,    // query-remove succeeded, remove not yet sent
  SurpriseRemoved,  // gone from its bus; remove follows when the last handle closes
  Removed,          // orderly removed, still reported by its bus
  Disabled,
  Failed,           // see the problem code
};
const char *DeviceStateName(DeviceState state);

// The platform's CM_PROB_* numbers, for the situations this manager meets.
namespace problem {
constexpr uint32_t kNone = 0;
constexpr uint32_t kOutOfMemory = 3;          // CM_PROB_OUT_OF_MEMORY
constexpr uint32_t kInvalidData = 9;          // CM_PROB_INVALID_DATA: the bus returned bad identifiers
constexpr uint32_t kFailedStart = 10;         // CM_PROB_FAILED_START
constexpr uint32_t kDisabled = 22;            // CM_PROB_DISABLED
constexpr uint32_t kDeviceNotThere = 24;      // CM_PROB_DEVICE_NOT_THERE: surprise-removed, remove pending
constexpr uint32_t kFailedInstall = 28;       // CM_PROB_FAILED_INSTALL: no driver, and a raw start failed
constexpr uint32_t kFailedAdd = 31;           // CM_PROB_FAILED_ADD: AddDevice failed
constexpr uint32_t kFailedDriverEntry = 37;   // CM_PROB_FAILED_DRIVER_ENTRY
constexpr uint32_t kDuplicateDevice = 42;     // CM_PROB_DUPLICATE_DEVICE: instance path already in the tree
}  // namespace problem

struct DeviceNodeInfo {
  std::string instancePath;  // "<device ID>\<instance ID, parent-prefixed unless UniqueID>"
  std::string deviceId;
  std::string instanceId;    // as the bus returned it (normalised)
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string service;       // the function driver's service name; empty when started raw
  DeviceState state = DeviceState::Initialized;
  uint32_t problem = problem::kNone;
  NTSTATUS problemStatus = 0;  // the status behind the problem code, when a request failed
  DEVICE_CAPABILITIES capabilities{};
  DEVICE_POWER_STATE powerState = PowerDeviceUnspecified;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT top = nullptr;  // top of the attachment stack above the PDO
  std::string parent;            // instance path of the parent ("" for the root)
  std::vector<std::string> children;
  int depth = 0;                 // the root is 0
};

// The whole tree, depth first from the root ("HTREE\ROOT\0").
std::vector<DeviceNodeInfo> Snapshot();
std::optional<DeviceNodeInfo> FindDevice(const std::string &instancePath);
std::optional<DeviceNodeInfo> FindDeviceByPdo(PDEVICE_OBJECT pdo);
constexpr const char *kRootInstancePath = "HTREE\\ROOT\\0";

// Registry paths of a device node's keys, as IoOpenDeviceRegistryKey opens
// them ("" when the node has no such key: no node, or no driver for the driver key).
std::string DeviceKeyPath(const std::string &instancePath);
std::string DriverKeyPath(const std::string &instancePath);

// ------------------------------------------------------------------ drivers
// A function driver for a hardware or compatible ID (matched without regard
// to case; the first matching hardware ID, then compatible ID, wins). The
// driver is loaded (DriverEntry) the first time a device needs it and stays
// loaded until the machine shuts down.
void RegisterDriver(const std::string &id, const std::string &service, PDRIVER_INITIALIZE entry);
// A value written into the driver key of every new device node the service
// serves, before AddDevice (what an installation file's AddReg does).
void SetDriverDefault(const std::string &service, const std::string &valueName, uint32_t value);
void ClearDriverDefaults(const std::string &service);
PDRIVER_OBJECT LoadedDriver(const std::string &service);  // null until loaded

// ------------------------------------------------------------------ buses
// A device already started by its own bus driver (a USB root hub) becomes a
// node under the root, and its bus relations are enumerated. Returns the
// node's instance path.
std::string RegisterBus(PDEVICE_OBJECT busDevice);

// ------------------------------------------------------------------ operations
// Each runs on the worker, waits for it, and returns the outcome.
NTSTATUS StopDevice(const std::string &instancePath);     // query-stop, stop (refused: cancel-stop)
NTSTATUS StartDevice(const std::string &instancePath);    // a stopped node
NTSTATUS RestartDevice(const std::string &instancePath);  // stop, then start
NTSTATUS RemoveDevice(const std::string &instancePath);   // query-remove, remove, children first
NTSTATUS DisableDevice(const std::string &instancePath);  // as remove; the node stays, disabled
NTSTATUS EnableDevice(const std::string &instancePath);   // a disabled, removed or failed node: load, add, start
// Queue a bus-relations enumeration of a node (as IoInvalidateDeviceRelations).
void Reenumerate(const std::string &instancePath);
// What registering for device-change notification on a handle does first
// (RegisterDeviceNotification with a handle, IoRegisterPlugPlayNotification
// for EventCategoryTargetDeviceChange): IRP_MN_QUERY_DEVICE_RELATIONS for
// TargetDeviceRelation to the stack the file object is open on, which the bus
// driver answers with the stack's PDO. STATUS_SUCCESS fills *pdo; the
// verifier checks the answer. STATUS_NO_SUCH_DEVICE for a stack the manager
// does not know.
NTSTATUS QueryTargetDevice(PFILE_OBJECT file, PDEVICE_OBJECT *pdo);
// Returns when every queued piece of work (PnP and power) is done.
void WaitIdle();

// Every PnP request the manager sent, in order, with its final status.
struct PnpRequestRecord {
  std::string instancePath;  // "" while a new node's identifiers are being read
  PDEVICE_OBJECT pdo = nullptr;
  UCHAR minor = 0;
  ULONG detail = 0;  // relation type or ID type, where the request has one
  NTSTATUS status = 0;
};
std::vector<PnpRequestRecord> PnpRequestLog();
void ClearPnpRequestLog();  // the invalidations too
// Calls of IoInvalidateDeviceRelations(BusRelations) for this device object
// since boot or the last ClearPnpRequestLog, known to the manager or not.
size_t BusInvalidations(PDEVICE_OBJECT deviceObject);

// ------------------------------------------------------------------ power
// The system to a sleep state and back. Going to sleep: system query-power to
// every started node (children first; a refusal sends set-power for the
// working state to those queried and ends there), then system set-power,
// children first. Waking: system set-power for the working state, parents
// first. The manager sends no device power request: those come from a
// device's power policy owner (PoRequestPowerIrp), which maps the system
// state to a device state; a successful device set-power updates the node's
// power state.
NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemPowerState();

struct PowerRequestRecord {
  std::string instancePath;
  UCHAR minor = 0;  // IRP_MN_SET_POWER or IRP_MN_QUERY_POWER
  POWER_STATE_TYPE type = SystemPowerState;
  ULONG state = 0;  // SYSTEM_POWER_STATE or DEVICE_POWER_STATE
  NTSTATUS status = 0;
};
std::vector<PowerRequestRecord> PowerRequestLog();
void ClearPowerRequestLog();

// ------------------------------------------------------------------ identifiers
// The rules the manager applies to every identifier a bus returns.
namespace ids {
constexpr size_t kMaxDeviceIdLen = 200;  // MAX_DEVICE_ID_LEN, the terminating null included
enum class Kind { DeviceId, InstanceId, HardwareId };
// Validates one identifier (printable ASCII 0x20..0x7F, no comma, length,
// the device ID's bus separator, no backslash in an instance ID) and returns
// it with every space turned into an underscore; nullopt when invalid.
std::optional<std::string> Normalise(const std::u16string &id, Kind kind);
// Splits a REG_MULTI_SZ list of at most `maxChars` characters (the buffer's
// room); nullopt when it does not end in two nulls within that room or an
// entry is invalid.
std::optional<std::vector<std::string>> ParseMultiSz(const WCHAR *list, size_t maxChars);
// The parent ID prefix the platform gives to the children of a node that do
// not claim UniqueID, made from the parent's instance path and depth.
std::string ParentIdPrefix(const std::string &parentInstancePath, int parentDepth);
bool EqualIds(const std::string &a, const std::string &b);  // without regard to case
}  // namespace ids

}  // namespace host::pnp
